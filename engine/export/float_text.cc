#include "engine/export/float_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

namespace kelpo {
namespace {

// For a number from_chars found out of the float range: whether it is too
// large (rather than too small). Its decimal order of magnitude decides: the
// position of its first non-zero digit plus the exponent.
bool too_large(std::string_view s) {
  size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
  int64_t order = 0;
  bool found = false;
  int64_t int_digits = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (found || s[i] != '0') {
      found = true;
      ++int_digits;
    }
  }
  if (found) {
    order = int_digits - 1;
  } else if (i < s.size() && s[i] == '.') {
    ++i;
    int64_t zeros = 0;
    while (i < s.size() && s[i] == '0') ++i, ++zeros;
    order = -zeros - 1;
  }
  while (i < s.size() && s[i] != 'e' && s[i] != 'E') ++i;
  if (i < s.size()) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t exp = 0;
    for (; i < s.size(); ++i) {
      exp = std::min<int64_t>(exp * 10 + (s[i] - '0'), int64_t{1} << 40);  // saturates far beyond any range
    }
    order += negative ? -exp : exp;
  }
  return order > 0;
}

}  // namespace

size_t format_float(float v, char* out) {
  if (!std::isfinite(v)) {
    std::memcpy(out, "null", 4);
    return 4;
  }
  // The shortest digits in scientific form, "[-]d[.ddd]e(+|-)XX", taken apart.
  char sci[kMaxFloatText];
  const std::to_chars_result r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const char* p = sci;
  char* o = out;
  if (*p == '-') *o++ = *p++;
  char digits[12];
  int n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  const bool negative_exp = *p++ == '-';
  int exp = 0;
  std::from_chars(p, r.ptr, exp);
  if (negative_exp) exp = -exp;

  if (exp >= -6 && exp < 13) {
    if (exp >= 0) {
      // Integer part: the first exp + 1 digits, padded with zeros.
      for (int i = 0; i <= exp; ++i) *o++ = i < n ? digits[i] : '0';
      *o++ = '.';
      if (n > exp + 1) {
        for (int i = exp + 1; i < n; ++i) *o++ = digits[i];
      } else {
        *o++ = '0';
      }
    } else {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exp - 1; ++i) *o++ = '0';
      for (int i = 0; i < n; ++i) *o++ = digits[i];
    }
  } else {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      for (int i = 1; i < n; ++i) *o++ = digits[i];
    }
    *o++ = 'e';
    *o++ = negative_exp ? '-' : '+';
    o = std::to_chars(o, out + kMaxFloatText, negative_exp ? -exp : exp).ptr;
  }
  return static_cast<size_t>(o - out);
}

float parse_float(std::string_view number) {
  float f = 0.0f;
  const std::from_chars_result r = std::from_chars(number.data(), number.data() + number.size(), f);
  if (r.ec == std::errc::result_out_of_range) {
    const bool negative = !number.empty() && number[0] == '-';
    const float magnitude = too_large(number) ? std::numeric_limits<float>::infinity() : 0.0f;
    return negative ? -magnitude : magnitude;
  }
  return f;
}

}  // namespace kelpo
