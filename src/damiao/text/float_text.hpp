// The three ways the module writes a 32-bit float as text. Shared by the
// driver's error messages and the Python reprs so that both agree digit for digit.
#pragma once

#include <string>

namespace velkarin::damiao::float_text {

// Shortest round-trip digits; positional with at least one fractional digit
// for zero and magnitudes in [1e-4, 1e16), otherwise exponent form without
// "+" or padding: "1.0", "-1.0", "0.0", "1e20", "1e-5", "NaN", "inf", "-inf".
std::string bound(float x);

// Shortest round-trip digits, always positional, no trailing ".0":
// "30", "12.5", "-0", "0.0000001", "100000000000000000000", "NaN", "inf".
std::string shortest(float x);

// Exactly four digits after the point, correctly rounded from the exact
// binary value, ties to even: "0.0312" for 0.03125, "-0.0000", "NaN", "inf".
std::string four_decimals(float x);

}  // namespace velkarin::damiao::float_text
