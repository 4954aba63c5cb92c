// The metadata value model: nlohmann-json values (objects keep sorted keys;
// unsigned, signed and float numbers are distinct kinds), with this system's
// own equality and hash, and parsing with a nesting limit.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/util/error.h"

namespace kelpo {

using Json = nlohmann::json;

// A stored metadata value. It never changes once stored (a write replaces
// the pointer), so the table that holds it and every search hit that returns
// it share one copy: a hit costs a reference count, not a deep copy.
using SharedJson = std::shared_ptr<const Json>;

inline SharedJson share_json(std::optional<Json>&& value) {
  return value ? std::make_shared<const Json>(std::move(*value)) : nullptr;
}

// Deepest nesting of arrays and objects accepted from any text we did not
// produce ourselves: "[[1]]" is two levels deep, a scalar none.
inline constexpr size_t kMaxJsonDepth = 128;

// Same kind and value: 1 and 1.0 differ; 0.0 and -0.0 are equal; arrays and
// objects compare deeply. (nlohmann's operator== calls 1 and 1.0 equal.)
// Integers are of the non-negative or the negative kind by their sign, however
// nlohmann stores them: Json(1) (signed storage) equals the parsed text "1"
// (unsigned storage). Floats compare with ==, so NaN equals nothing.
bool json_equal(const Json& a, const Json& b);
// A hash that agrees with json_equal.
size_t json_hash(const Json& v);

struct JsonHash {
  size_t operator()(const Json& v) const { return json_hash(v); }
};
struct JsonEqual {
  bool operator()(const Json& a, const Json& b) const { return json_equal(a, b); }
};

// Compact text: no white space, keys sorted, floats in shortest round-trip
// form. Never throws: bytes of a string that are not UTF-8 (possible only in
// values built in C++) come out as U+FFFD, and NaN or infinite floats as null.
std::string json_dump_compact(const Json& v);

// Appends json_dump_compact(v) to *out, byte for byte, without the
// library's per-call setup: for writing many small values.
void json_append_compact(const Json& v, std::string* out);

// Like json_dump_compact, but fails (returns false, *out unspecified) rather
// than change a string that is not valid UTF-8: for text that must read back
// as the value it was written from.
bool json_dump_compact_exact(const Json& v, std::string* out);

// Whether arrays and objects nest at most max_depth levels. Iterative, so it is
// safe on values of any depth.
bool json_depth_within(const Json& v, size_t max_depth);

struct JsonParseError {
  std::string message;  // the parser's own words, e.g. "syntax error while parsing value: invalid literal"
  size_t line = 0;      // 1-based
  size_t column = 0;    // bytes into the line, counted as the parser counts them (0 right after a line break)
  // "{message} at line {line} column {column}"
  std::string text() const;
};

// Parses one JSON value (trailing white space allowed), refusing nesting deeper
// than kMaxJsonDepth and text that is not UTF-8. Never throws; on failure
// *out is left unchanged and *error (when given) says what and where.
bool json_parse(std::string_view text, Json* out, JsonParseError* error);

}  // namespace kelpo
