// Tests of the three float text formats: golden examples, and agreement with
// the C library (strtof, printf) over many bit patterns.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "damiao/text/float_text.hpp"

namespace velkarin::damiao::float_text {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

struct TextCase {
    float x;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.text; }

class Bound : public ::testing::TestWithParam<TextCase> {};
TEST_P(Bound, WritesTheGoldenText) { EXPECT_EQ(bound(GetParam().x), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Examples, Bound,
    ::testing::Values(
        TextCase{1.0f, "1.0"}, TextCase{-1.0f, "-1.0"}, TextCase{0.0f, "0.0"},
        TextCase{-0.0f, "-0.0"}, TextCase{500.0f, "500.0"}, TextCase{12.5f, "12.5"},
        TextCase{0.1f, "0.1"}, TextCase{from_bits(0x41490E56), "12.566"},
        TextCase{1e20f, "1e20"}, TextCase{1.5e20f, "1.5e20"}, TextCase{-1e20f, "-1e20"},
        TextCase{1e-5f, "1e-5"}, TextCase{1.2345e-7f, "1.2345e-7"},
        // The positional band is [1e-4, 1e16).
        TextCase{1e-4f, "0.0001"}, TextCase{1.5e-4f, "0.00015"}, TextCase{9.9e-5f, "9.9e-5"},
        TextCase{1e15f, "1000000000000000.0"}, TextCase{1e16f, "1e16"},
        TextCase{FLT_MAX, "3.4028235e38"}, TextCase{kDenormMin, "1e-45"},
        TextCase{kNaN, "NaN"}, TextCase{-kNaN, "NaN"}, TextCase{kInf, "inf"},
        TextCase{-kInf, "-inf"}));

class Shortest : public ::testing::TestWithParam<TextCase> {};
TEST_P(Shortest, WritesTheGoldenText) { EXPECT_EQ(shortest(GetParam().x), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(
    Examples, Shortest,
    ::testing::Values(
        TextCase{30.0f, "30"}, TextCase{12.5f, "12.5"}, TextCase{0.1f, "0.1"},
        TextCase{from_bits(0x41490E56), "12.566"}, TextCase{-2.0f, "-2"},
        TextCase{0.0f, "0"}, TextCase{-0.0f, "-0"}, TextCase{0.5f, "0.5"},
        TextCase{16777216.0f, "16777216"}, TextCase{1e-4f, "0.0001"},
        TextCase{1e20f, "100000000000000000000"}, TextCase{1e-7f, "0.0000001"},
        TextCase{FLT_MAX, "340282350000000000000000000000000000000"},
        TextCase{kDenormMin, "0.000000000000000000000000000000000000000000001"},
        TextCase{kNaN, "NaN"}, TextCase{kInf, "inf"}, TextCase{-kInf, "-inf"}));

class FourDecimals : public ::testing::TestWithParam<TextCase> {};
TEST_P(FourDecimals, WritesTheGoldenText) {
    EXPECT_EQ(four_decimals(GetParam().x), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Examples, FourDecimals,
    ::testing::Values(
        // Odd multiples of 1/32 are the only exact ties at four decimals.
        TextCase{0.03125f, "0.0312"}, TextCase{0.09375f, "0.0938"},
        TextCase{0.15625f, "0.1562"}, TextCase{-0.03125f, "-0.0312"},
        // Near ties decide on the exact binary value.
        TextCase{0.00005f, "0.0000"}, TextCase{0.00015f, "0.0002"},
        TextCase{0.00025f, "0.0003"}, TextCase{0.99995f, "0.9999"},
        TextCase{-12.5f, "-12.5000"}, TextCase{1.0f, "1.0000"}, TextCase{-0.0f, "-0.0000"},
        TextCase{-1e-5f, "-0.0000"},
        TextCase{-0.00019073486f, "-0.0002"}, TextCase{-0.007326126f, "-0.0073"},
        TextCase{-0.00244236f, "-0.0024"},
        TextCase{1e20f, "100000002004087734272.0000"},
        TextCase{FLT_MAX, "340282346638528859811704183484516925440.0000"},
        TextCase{kNaN, "NaN"}, TextCase{kInf, "inf"}, TextCase{-kInf, "-inf"}));

// ---- agreement with the C library ---------------------------------------------

// Bit patterns to check: edges first, then uniform random patterns (all
// magnitudes), then values near 1 where rounding is busy. Non-finite ones are
// left out.
std::vector<float> sample_floats(std::size_t random_count) {
    std::vector<float> out = {0.0f, -0.0f, kDenormMin, -kDenormMin, FLT_MIN, FLT_MAX, -FLT_MAX,
                              from_bits(0x007FFFFF), 1e-4f, 1e16f, 1e-5f, 1.0f};
    for (const float edge : {1e-4f, 1e16f, 1.0f, 0.5f}) {
        out.push_back(std::nextafter(edge, 0.0f));
        out.push_back(std::nextafter(edge, kInf));
    }
    std::mt19937 rng(1234567);
    std::uniform_real_distribution<float> small(-20.0f, 20.0f);
    for (std::size_t i = 0; i < random_count; ++i) {
        const float f = (i % 4 == 3) ? small(rng) : from_bits(static_cast<std::uint32_t>(rng()));
        if (std::isfinite(f)) out.push_back(f);
    }
    return out;
}

std::string printf_text(const char* fmt, int prec, double v) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, prec, v);
    return buf;
}

// The significant digits of a positional decimal text: no sign, no point,
// no leading or trailing zeros ("0" for zero).
std::string significant_digits(const std::string& text) {
    std::string d;
    for (const char c : text)
        if (c >= '0' && c <= '9') d += c;
    const auto first = d.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    d.erase(0, first);
    d.erase(d.find_last_not_of('0') + 1);
    return d;
}

bool reads_back_as(const std::string& text, float x) {
    return bits(std::strtof(text.c_str(), nullptr)) == bits(x);
}

TEST(FourDecimalsAgrees, WithPrintfOnTheWidenedValue) {
    std::vector<float> xs = sample_floats(300000);
    for (int n = 1; n < 200000; n += 2) xs.push_back(static_cast<float>(n) / 32.0f);  // exact ties
    for (const float x : xs) {
        ASSERT_EQ(four_decimals(x), printf_text("%.*f", 4, static_cast<double>(x)))
            << "bits " << std::hex << bits(x);
    }
}

TEST(ShortestAgrees, ReadsBackAndNoShorterOrNearerDigitsDo) {
    for (const float x : sample_floats(300000)) {
        const std::string text = shortest(x);
        ASSERT_TRUE(reads_back_as(text, x)) << text;
        ASSERT_EQ(text.find_first_of("eE+"), std::string::npos) << text;
        const double ax = std::fabs(static_cast<double>(x));
        const int n = static_cast<int>(significant_digits(text).size());
        if (x == 0.0f) continue;

        // Of the n-digit strings the correctly rounded one is nearest to x;
        // when it reads back it must be the one chosen.
        const std::string nearest = printf_text("%.*e", n - 1, ax);
        if (reads_back_as(nearest, std::fabs(x))) {
            ASSERT_EQ(std::strtod(nearest.c_str(), nullptr),
                      std::fabs(std::strtod(text.c_str(), nullptr)))
                << text << " vs " << nearest;
        }

        // No (n-1)-digit string reads back: checking the nearest one and its
        // two neighbours covers every candidate.
        if (n == 1) continue;
        const std::string shorter = printf_text("%.*e", n - 2, ax);
        const long long mant = std::atoll(significant_digits(shorter.substr(0, shorter.find('e'))).c_str());
        const int exp = std::atoi(shorter.c_str() + shorter.find('e') + 1) - (n - 2);
        for (const long long m : {mant - 1, mant, mant + 1}) {
            const std::string cand = std::to_string(m) + "e" + std::to_string(exp);
            ASSERT_FALSE(reads_back_as(cand, std::fabs(x))) << text << " has shorter " << cand;
        }
    }
}

TEST(BoundAgrees, HasTheShortestDigitsInTheRightLayout) {
    for (const float x : sample_floats(200000)) {
        const std::string text = bound(x);
        ASSERT_TRUE(reads_back_as(text, x)) << text;
        // Same decimal value as the shortest text.
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), std::strtod(shortest(x).c_str(), nullptr))
            << text;
        ASSERT_EQ(text.find('+'), std::string::npos) << text;

        const double v = std::fabs(std::strtod(text.c_str(), nullptr));
        // Nine significant digits give the decimal back exactly (and so its exponent).
        const std::string sci = printf_text("%.*e", 8, v);
        const int exp10 = v == 0.0 ? 0 : std::atoi(sci.c_str() + sci.find('e') + 1);
        const bool positional = v == 0.0 || (exp10 >= -4 && exp10 < 16);
        const auto e = text.find('e');
        ASSERT_EQ(e == std::string::npos, positional) << text;
        if (positional) {
            const auto point = text.find('.');
            ASSERT_NE(point, std::string::npos) << text;
            ASSERT_LT(point + 1, text.size()) << text;
        } else {
            // "<d>[.<digits>]e<exp>" with no padding of the exponent.
            const std::string exp_text = text.substr(e + 1);
            ASSERT_EQ(exp_text, std::to_string(exp10)) << text;
            ASSERT_NE(text[e - 1], '0') << text;  // no trailing zeros before the exponent
        }
    }
}

}  // namespace
}  // namespace velkarin::damiao::float_text
