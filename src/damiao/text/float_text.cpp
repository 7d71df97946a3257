// Float text: shortest round-trip digits laid out positionally or with an
// exponent, and four correctly rounded decimals.
#include "damiao/text/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

namespace velkarin::damiao::float_text {
namespace {

// The shortest round-trip digits of a finite, non-negative float, without a
// point, and the decimal exponent of the first digit: x = d.ddd * 10^exp.
struct Digits {
    std::string digits;
    int exp = 0;
};

Digits shortest_digits(float magnitude) {
    // Scientific form is the one that carries the shortest digits without
    // padding: "1.2345e-07", "3.4028235e+38", "0e+00". (The fixed form without
    // a precision prints every binary digit of a large float instead.)
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    (void)ec;  // 32 bytes hold any float in scientific form
    const std::string_view text(buf, static_cast<std::size_t>(end - buf));

    const std::size_t e = text.find('e');
    Digits d;
    for (const char c : text.substr(0, e))
        if (c != '.') d.digits.push_back(c);
    std::string_view exp_text = text.substr(e + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), d.exp);
    return d;
}

// NaN and the infinities, shared by all three formats; nullptr for a finite x.
const char* non_finite(float x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0.0f ? "-inf" : "inf";
    return nullptr;
}

// The digits written positionally: integer digits (at least "0"), then the
// fraction if any digits fall after the point. With `keep_point`, a whole
// number gets ".0".
std::string positional(const Digits& d, bool keep_point) {
    const int n = static_cast<int>(d.digits.size());
    const int int_digits = d.exp + 1;  // digits before the point
    std::string out;
    if (int_digits <= 0) {
        out = "0.";
        out.append(static_cast<std::size_t>(-int_digits), '0');
        out += d.digits;
    } else if (int_digits >= n) {
        out = d.digits;
        out.append(static_cast<std::size_t>(int_digits - n), '0');
        if (keep_point) out += ".0";
    } else {
        out = d.digits.substr(0, static_cast<std::size_t>(int_digits));
        out += '.';
        out += d.digits.substr(static_cast<std::size_t>(int_digits));
    }
    return out;
}

}  // namespace

std::string bound(float x) {
    if (const char* s = non_finite(x)) return s;
    const Digits d = shortest_digits(std::fabs(x));
    std::string out = std::signbit(x) ? "-" : "";
    // Positional for zero and for magnitudes from 1e-4 up to below 1e16, judged
    // on the decimal exponent of the shortest digits.
    if (d.digits == "0" || (d.exp >= -4 && d.exp < 16)) return out + positional(d, true);
    out += d.digits.front();
    if (d.digits.size() > 1) {
        out += '.';
        out.append(d.digits, 1);
    }
    out += 'e';
    out += std::to_string(d.exp);
    return out;
}

std::string shortest(float x) {
    if (const char* s = non_finite(x)) return s;
    const std::string sign = std::signbit(x) ? "-" : "";
    return sign + positional(shortest_digits(std::fabs(x)), false);
}

std::string four_decimals(float x) {
    if (const char* s = non_finite(x)) return s;
    // The fixed form with a precision rounds the exact binary value, ties to
    // even; the widening to double is exact. The sign comes out for -0.0 too.
    // 39 integer digits of the largest float, the point, four decimals, a sign.
    char buf[64];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, static_cast<double>(x),
                                         std::chars_format::fixed, 4);
    (void)ec;
    return std::string(buf, end);
}

}  // namespace velkarin::damiao::float_text
