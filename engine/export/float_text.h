// Vector components as JSON text: the shortest decimal that reads back as the
// same 32-bit float, laid out so a reader sees a float (never an integer) and
// a person sees an ordinary number where one fits:
//
//   plain decimal when 1e-6 <= |v| < 1e13 (and for zero), with ".0" when there
//   are no fractional digits:          1.0  100.0  0.5  0.000001  -0.0
//   otherwise exponent form, the point after the first digit (none when there
//   is only one), exponent signed and without leading zeros:
//                                      1e-7  1.25e+13  3.4028235e+38  1e-45
//   NaN and infinities:                null
//
// The bounds are those of the decimal text, not of the binary value: the
// float nearest 1e-6 is a little below it, yet its shortest text is 1e-6, so
// it is written 0.000001.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelpo {

// Longest text format_float writes: "-1.2345678e-45" and "-1234567800000.0"
// both fit comfortably.
inline constexpr size_t kMaxFloatText = 32;

// Writes the text of `v` to out[0 ..), returns its length (at most
// kMaxFloatText).
size_t format_float(float v, char* out);

// Reads a JSON number (already checked against the JSON grammar) as the
// nearest 32-bit float, rounded once. (Reading a double and narrowing it
// rounds twice and can miss: 7.038531e-26 is the shortest text of a float it
// does not come back to.) Magnitudes beyond the float range give an
// infinity, as narrowing a Python float does; ones that round to nothing give
// zero, keeping the sign.
float parse_float(std::string_view number);

}  // namespace kelpo
