// Fuzz target: the three float text formats against the C library as oracle:
// strtof round trips, digit minimality against printf("%.*e"), and
// four_decimals against printf("%.4f"). Input: the float's 4 bytes, raw bits.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "damiao/text/float_text.hpp"
#include "fuzz_check.hpp"

namespace ft = velkarin::damiao::float_text;

namespace {

bool reads_back(const std::string& text, float x) {
    char* end = nullptr;
    const float y = std::strtof(text.c_str(), &end);
    return *end == '\0' && std::bit_cast<std::uint32_t>(y) == std::bit_cast<std::uint32_t>(x);
}

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// A decimal as its significant digits (no leading or trailing zeros; "0" for
// zero) and the power of ten of its first digit.
struct Decimal {
    std::string digits;
    int exp = 0;
};

// Reads "ddd", "ddd.ddd" (no sign, no exponent).
Decimal from_positional(std::string_view s) {
    const std::size_t point = s.find('.');
    const std::string_view int_part = s.substr(0, point);
    const std::string_view frac = point == std::string_view::npos ? "" : s.substr(point + 1);
    std::string all = std::string(int_part) + std::string(frac);
    const std::size_t first = all.find_first_not_of('0');
    if (first == std::string::npos) return {"0", 0};
    Decimal d;
    d.exp = static_cast<int>(int_part.size()) - 1 - static_cast<int>(first);
    all.erase(0, first);
    all.erase(all.find_last_not_of('0') + 1);
    d.digits = all;
    return d;
}

// The correctly rounded k-digit decimal of a positive finite x, from printf.
Decimal printf_digits(float x, int k) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", k - 1, static_cast<double>(x));
    const std::string_view s(buf);
    const std::size_t e = s.find('e');
    Decimal d;
    for (const char c : s.substr(0, e))
        if (c != '.') d.digits.push_back(c);
    d.exp = std::atoi(buf + e + 1);
    return d;
}

// "<mantissa>e<exp>" for an integer mantissa m whose last digit has weight 10^scale.
std::string scientific(unsigned long long m, int scale) {
    return std::to_string(m) + "e" + std::to_string(scale);
}

// No decimal with k significant digits reads back as x: checks the nearest
// one and its neighbours on both sides (at a power of two the rounding
// interval is lopsided, so the nearest failing does not settle it alone).
bool no_k_digit_round_trip(float x, int k) {
    const Decimal d = printf_digits(x, k);
    const unsigned long long m = std::stoull(d.digits);
    const int scale = d.exp - (k - 1);
    for (const unsigned long long c : {m - 1, m, m + 1})
        if (c > 0 && reads_back(scientific(c, scale), x)) return false;
    // The nearest is 10^(k-1) at this scale: the neighbour below has k nines
    // one decade lower.
    unsigned long long p = 1;
    for (int i = 1; i < k; ++i) p *= 10;
    if (m == p && reads_back(scientific(10 * p - 1, scale - 1), x)) return false;
    return true;
}

void check_shortest(float x, const std::string& text) {
    const bool neg = std::signbit(x);
    FUZZ_CHECK((text.front() == '-') == neg);
    const std::string_view body = std::string_view(text).substr(neg ? 1 : 0);
    // Positional only: integer digits (no leading zero but a lone "0"), then
    // "." and digits only if any remain, never a trailing zero after the point.
    const std::size_t point = body.find('.');
    const std::string_view int_part = body.substr(0, point);
    FUZZ_CHECK(all_digits(int_part) && (int_part == "0" || int_part.front() != '0'));
    if (point != std::string_view::npos) {
        const std::string_view frac = body.substr(point + 1);
        FUZZ_CHECK(all_digits(frac) && frac.back() != '0');
    }
    FUZZ_CHECK(reads_back(text, x));
    if (x == 0.0f) {
        FUZZ_CHECK(body == "0");
        return;
    }
    const float mag = std::fabs(x);
    const Decimal got = from_positional(body);
    const int k = static_cast<int>(got.digits.size());
    FUZZ_CHECK(k <= 9);  // nine significant digits always suffice for a float
    // Minimal: one digit fewer never reads back.
    if (k > 1) FUZZ_CHECK(no_k_digit_round_trip(mag, k - 1));
    // Of the k-digit strings that read back, the nearest: the correctly
    // rounded one whenever that reads back.
    const Decimal nearest = printf_digits(mag, k);
    if (reads_back(scientific(std::stoull(nearest.digits), nearest.exp - (k - 1)), mag))
        FUZZ_CHECK(got.digits == nearest.digits && got.exp == nearest.exp);
}

void check_bound(float x, const std::string& text, const std::string& shortest) {
    FUZZ_CHECK(reads_back(text, x));
    // The same decimal as the shortest text, only laid out differently.
    const double a = std::strtod(text.c_str(), nullptr);
    const double b = std::strtod(shortest.c_str(), nullptr);
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b));

    const std::string_view body = std::string_view(text).substr(std::signbit(x) ? 1 : 0);
    const Decimal d = from_positional(std::string_view(shortest).substr(std::signbit(x) ? 1 : 0));
    const bool positional = x == 0.0f || (d.exp >= -4 && d.exp < 16);
    const std::size_t e = body.find('e');
    FUZZ_CHECK((e == std::string_view::npos) == positional);
    if (positional) {
        // Always a point with digits after it: "1.0", "0.5", never "1." or "1".
        const std::size_t point = body.find('.');
        FUZZ_CHECK(point != std::string_view::npos);
        const std::string_view frac = body.substr(point + 1);
        FUZZ_CHECK(all_digits(frac) && (frac == "0" || frac.back() != '0'));
        return;
    }
    // "d" or "d.ddd", then "e", then the exponent: no "+", no leading zeros.
    const std::string_view mant = body.substr(0, e);
    const std::string_view exp = body.substr(e + 1);
    FUZZ_CHECK(mant.size() == 1 || (mant[1] == '.' && all_digits(mant.substr(2)) && mant.back() != '0'));
    FUZZ_CHECK(mant[0] >= '1' && mant[0] <= '9');
    const std::string_view exp_digits = exp.substr(exp.front() == '-' ? 1 : 0);
    FUZZ_CHECK(all_digits(exp_digits) && exp_digits.front() != '0');
    FUZZ_CHECK(std::atoi(std::string(exp).c_str()) == d.exp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    velkarin::fuzz::g_input = input;
    if (input.size() != 4) return -1;
    std::uint32_t bits;
    std::memcpy(&bits, input.data(), 4);
    const float x = std::bit_cast<float>(bits);

    const std::string shortest = ft::shortest(x);
    const std::string bound = ft::bound(x);
    const std::string four = ft::four_decimals(x);
    if (std::isnan(x)) {
        FUZZ_CHECK(shortest == "NaN" && bound == "NaN" && four == "NaN");
        return 0;
    }
    if (std::isinf(x)) {
        const char* inf = x < 0.0f ? "-inf" : "inf";
        FUZZ_CHECK(shortest == inf && bound == inf && four == inf);
        return 0;
    }
    check_shortest(x, shortest);
    check_bound(x, bound, shortest);

    // Four decimals, correctly rounded from the exact value, ties to even:
    // exactly what printf does with the (exact) widening to double.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.4f", static_cast<double>(x));
    FUZZ_CHECK(four == buf);
    return 0;
}
