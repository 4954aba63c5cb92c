// The metadata JSON parser: never throws, never recurses past its nesting
// limit, and what it accepts prints to text that parses back to an equal value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/metadata/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  Json value;
  JsonParseError error;
  if (!json_parse(std::string_view(reinterpret_cast<const char*>(data), size), &value, &error)) {
    (void)error.text();
    return 0;
  }
  if (!json_depth_within(value, kMaxJsonDepth)) __builtin_trap();
  std::string text;
  if (!json_dump_compact_exact(value, &text)) __builtin_trap();  // the parser accepts UTF-8 only
  Json back;
  if (!json_parse(text, &back, nullptr)) __builtin_trap();
  // NaN cannot come from JSON text, so a value equals its round trip.
  if (!json_equal(value, back) || json_hash(value) != json_hash(back)) __builtin_trap();
  return 0;
}
