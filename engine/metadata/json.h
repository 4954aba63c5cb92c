// The metadata value model: nlohmann-json values (objects keep sorted keys;
// unsigned, signed and float numbers are distinct kinds), with this system's
// own equality and hash, and parsing with a nesting limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/util/error.h"

namespace kelpo {

using Json = nlohmann::json;

// Deepest nesting accepted from any text we did not produce ourselves.
inline constexpr size_t kMaxJsonDepth = 128;

// Same kind and value: 1 and 1.0 differ; 0.0 and -0.0 are equal; arrays and
// objects compare deeply. (nlohmann's operator== calls 1 and 1.0 equal.)
bool json_equal(const Json& a, const Json& b);
// A hash that agrees with json_equal.
size_t json_hash(const Json& v);

struct JsonHash {
  size_t operator()(const Json& v) const { return json_hash(v); }
};
struct JsonEqual {
  bool operator()(const Json& a, const Json& b) const { return json_equal(a, b); }
};

// Compact text: no white space, keys sorted.
std::string json_dump_compact(const Json& v);

struct JsonParseError {
  std::string message;  // the parser's own words, e.g. "syntax error: invalid literal"
  size_t line = 0;      // 1-based
  size_t column = 0;    // 1-based
  // "{message} at line {line} column {column}"
  std::string text() const;
};

// Parses one JSON value (trailing white space allowed), refusing nesting deeper
// than kMaxJsonDepth. Never throws.
bool json_parse(std::string_view text, Json* out, JsonParseError* error);

}  // namespace kelpo
