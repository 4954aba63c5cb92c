#include "engine/metadata/json.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

namespace kelpo {
namespace {

// The kinds json_equal tells apart. Integers take their kind from the sign of
// the value, not from nlohmann's storage, which depends on how a value was made.
enum class Kind : uint8_t { kNull, kBool, kNonNegative, kNegative, kFloat, kString, kArray, kObject, kBinary, kOther };

Kind kind_of(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return Kind::kNull;
    case Json::value_t::boolean: return Kind::kBool;
    case Json::value_t::number_unsigned: return Kind::kNonNegative;
    case Json::value_t::number_integer:
      return v.get_ref<const Json::number_integer_t&>() < 0 ? Kind::kNegative : Kind::kNonNegative;
    case Json::value_t::number_float: return Kind::kFloat;
    case Json::value_t::string: return Kind::kString;
    case Json::value_t::array: return Kind::kArray;
    case Json::value_t::object: return Kind::kObject;
    case Json::value_t::binary: return Kind::kBinary;
    case Json::value_t::discarded: return Kind::kOther;
  }
  return Kind::kOther;
}

// For kNonNegative and kNegative: the value's two's-complement bits.
uint64_t integer_bits(const Json& v) {
  if (v.is_number_unsigned()) return v.get_ref<const Json::number_unsigned_t&>();
  return static_cast<uint64_t>(v.get_ref<const Json::number_integer_t&>());
}

uint64_t mix(uint64_t x) {  // splitmix64's finaliser: every input bit reaches every output bit
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

uint64_t combine(uint64_t seed, uint64_t h) { return mix(seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6))); }

// Position of the first bracket that opens a container deeper than max_depth,
// or npos. Only used once the parser has stopped at that point, so the text
// before it is known to be well-formed.
size_t first_too_deep(std::string_view text, size_t max_depth) {
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return i;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return std::string_view::npos;
}

// "[json.exception.parse_error.101] parse error at line 1, column 3: syntax
// error while parsing value - invalid literal; last read: 'N'" becomes "syntax
// error while parsing value: invalid literal". The position is reported apart,
// and the echoed token is dropped: it can hold raw bytes that are not UTF-8.
std::string clean_message(std::string_view what) {
  if (!what.empty() && what.front() == '[') {
    const size_t close = what.find("] ");
    if (close != std::string_view::npos) what.remove_prefix(close + 2);
  }
  if (what.starts_with("parse error")) {
    const size_t colon = what.find(": ");
    if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
  }
  std::string msg(what);
  constexpr std::string_view kLastRead = "; last read: '";
  const size_t lr = msg.find(kLastRead);
  if (lr != std::string::npos) {
    constexpr std::string_view kExpected = "'; expected ";
    const size_t ex = msg.rfind(kExpected);
    if (ex != std::string::npos && ex >= lr + kLastRead.size() - 1) {
      msg.erase(lr, ex + 1 - lr);
    } else {
      msg.erase(lr);
    }
  }
  const size_t dash = msg.find(" - ");
  if (dash != std::string::npos) msg.replace(dash, 3, ": ");
  return msg;
}

void set_position(std::string_view text, size_t byte, JsonParseError* error) {
  if (byte > text.size()) byte = text.size();
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < byte; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  error->line = line;
  error->column = byte - line_start;
}

// Builds the value from the parser's events, like nlohmann's own DOM builder,
// but refuses to open a container past the depth limit.
class DepthLimitedBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit DepthLimitedBuilder(Json* root) : root_(root) {}

  bool null() { return put(nullptr) != nullptr; }
  bool boolean(bool b) { return put(b) != nullptr; }
  bool number_integer(number_integer_t v) { return put(v) != nullptr; }
  bool number_unsigned(number_unsigned_t v) { return put(v) != nullptr; }
  bool number_float(number_float_t v, const string_t&) { return put(v) != nullptr; }
  bool string(string_t& s) { return put(std::move(s)) != nullptr; }
  bool binary(binary_t& b) { return put(Json::binary(std::move(b))) != nullptr; }
  bool start_object(size_t) { return open(Json::value_t::object); }
  bool key(string_t& k) {
    pending_member_ = &(*stack_.back())[std::move(k)];
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(size_t) { return open(Json::value_t::array); }
  bool end_array() { return close(); }
  bool parse_error(size_t byte, const std::string&, const nlohmann::detail::exception& ex) {
    failed_at_ = byte;
    message_ = clean_message(ex.what());
    return false;
  }

  bool too_deep() const { return too_deep_; }
  size_t failed_at() const { return failed_at_; }
  const std::string& message() const { return message_; }

 private:
  template <class V>
  Json* put(V&& v) {
    if (stack_.empty()) {
      *root_ = Json(std::forward<V>(v));
      return root_;
    }
    Json* parent = stack_.back();
    if (parent->is_array()) {
      parent->emplace_back(std::forward<V>(v));
      return &parent->back();
    }
    *pending_member_ = Json(std::forward<V>(v));
    return pending_member_;
  }
  bool open(Json::value_t type) {
    if (stack_.size() >= kMaxJsonDepth) {
      too_deep_ = true;
      return false;
    }
    stack_.push_back(put(type));
    return true;
  }
  bool close() {
    stack_.pop_back();
    return true;
  }

  Json* root_;
  std::vector<Json*> stack_;  // the open containers, outermost first
  Json* pending_member_ = nullptr;  // the object member the next value fills
  bool too_deep_ = false;
  size_t failed_at_ = 0;
  std::string message_;
};

}  // namespace

bool json_equal(const Json& a, const Json& b) {
  const Kind ka = kind_of(a);
  if (ka != kind_of(b)) return false;
  switch (ka) {
    case Kind::kNull: return true;
    case Kind::kBool: return a.get_ref<const Json::boolean_t&>() == b.get_ref<const Json::boolean_t&>();
    case Kind::kNonNegative:
    case Kind::kNegative: return integer_bits(a) == integer_bits(b);
    case Kind::kFloat: return a.get_ref<const Json::number_float_t&>() == b.get_ref<const Json::number_float_t&>();
    case Kind::kString: return a.get_ref<const Json::string_t&>() == b.get_ref<const Json::string_t&>();
    case Kind::kArray: {
      const auto& x = a.get_ref<const Json::array_t&>();
      const auto& y = b.get_ref<const Json::array_t&>();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!json_equal(x[i], y[i])) return false;
      }
      return true;
    }
    case Kind::kObject: {
      // Both maps iterate in key order, so equal objects line up member by member.
      const auto& x = a.get_ref<const Json::object_t&>();
      const auto& y = b.get_ref<const Json::object_t&>();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !json_equal(i->second, j->second)) return false;
      }
      return true;
    }
    case Kind::kBinary: return a.get_binary() == b.get_binary();
    case Kind::kOther: return true;
  }
  return false;
}

size_t json_hash(const Json& v) {
  const Kind kind = kind_of(v);
  const uint64_t tag = mix(static_cast<uint64_t>(kind) + 1);
  switch (kind) {
    case Kind::kNull:
    case Kind::kOther: return tag;
    case Kind::kBool: return combine(tag, v.get_ref<const Json::boolean_t&>() ? 1 : 0);
    case Kind::kNonNegative:
    case Kind::kNegative: return combine(tag, integer_bits(v));
    case Kind::kFloat: {
      double d = v.get_ref<const Json::number_float_t&>();
      if (d == 0.0) d = 0.0;  // -0.0 == 0.0, so both must hash alike
      return combine(tag, std::bit_cast<uint64_t>(d));
    }
    case Kind::kString: return combine(tag, std::hash<std::string>{}(v.get_ref<const Json::string_t&>()));
    case Kind::kArray: {
      uint64_t h = tag;
      for (const Json& e : v.get_ref<const Json::array_t&>()) h = combine(h, json_hash(e));
      return h;
    }
    case Kind::kObject: {
      uint64_t h = tag;
      for (const auto& [key, value] : v.get_ref<const Json::object_t&>()) {
        h = combine(combine(h, std::hash<std::string>{}(key)), json_hash(value));
      }
      return h;
    }
    case Kind::kBinary: {
      const auto& bin = v.get_binary();
      uint64_t h = combine(tag, bin.has_subtype() ? bin.subtype() + 1 : 0);
      return combine(h, std::hash<std::string_view>{}(std::string_view(
                            reinterpret_cast<const char*>(bin.data()), bin.size())));
    }
  }
  return tag;
}

std::string json_dump_compact(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

namespace {

// Whether the string's compact text is the string itself in quotes: printable
// ASCII with nothing to escape.
bool plain_string(const std::string& s) {
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b > 0x7E || b == '"' || b == '\\') return false;
  }
  return true;
}

void append_string(const std::string& s, std::string* out) {
  if (plain_string(s)) {
    out->push_back('"');
    out->append(s);
    out->push_back('"');
  } else {
    out->append(json_dump_compact(Json(s)));
  }
}

}  // namespace

void json_append_compact(const Json& v, std::string* out) {
  switch (v.type()) {
    case Json::value_t::null: out->append("null"); return;
    case Json::value_t::boolean: out->append(v.get_ref<const Json::boolean_t&>() ? "true" : "false"); return;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      char buf[24];
      const auto r = v.is_number_integer() && !v.is_number_unsigned()
                         ? std::to_chars(buf, buf + sizeof buf, v.get_ref<const Json::number_integer_t&>())
                         : std::to_chars(buf, buf + sizeof buf, v.get_ref<const Json::number_unsigned_t&>());
      out->append(buf, r.ptr);
      return;
    }
    case Json::value_t::number_float: {
      const double x = v.get_ref<const Json::number_float_t&>();
      if (!std::isfinite(x)) {
        out->append("null");
        return;
      }
      // The shortest text that reads back as x, formatted as the library's
      // own dump formats it.
      char buf[64];
      char* end = nlohmann::detail::to_chars(buf, buf + sizeof buf, x);
      out->append(buf, end);
      return;
    }
    case Json::value_t::string: append_string(v.get_ref<const Json::string_t&>(), out); return;
    case Json::value_t::array: {
      out->push_back('[');
      bool first = true;
      for (const Json& e : v.get_ref<const Json::array_t&>()) {
        if (!first) out->push_back(',');
        first = false;
        json_append_compact(e, out);
      }
      out->push_back(']');
      return;
    }
    case Json::value_t::object: {
      out->push_back('{');
      bool first = true;
      for (const auto& [key, value] : v.get_ref<const Json::object_t&>()) {
        if (!first) out->push_back(',');
        first = false;
        append_string(key, out);
        out->push_back(':');
        json_append_compact(value, out);
      }
      out->push_back('}');
      return;
    }
    default: out->append(json_dump_compact(v)); return;
  }
}

bool json_dump_compact_exact(const Json& v, std::string* out) {
  try {
    *out = v.dump(-1, ' ', false, Json::error_handler_t::strict);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool json_depth_within(const Json& v, size_t max_depth) {
  std::vector<std::pair<const Json*, size_t>> todo{{&v, 0}};
  while (!todo.empty()) {
    auto [node, depth] = todo.back();
    todo.pop_back();
    if (!node->is_structured()) continue;
    if (depth + 1 > max_depth) return false;
    for (const Json& child : *node) todo.emplace_back(&child, depth + 1);
  }
  return true;
}

std::string JsonParseError::text() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

bool json_parse(std::string_view text, Json* out, JsonParseError* error) {
  // nlohmann's lexer takes a NUL byte for the end of the input, so "1\0junk"
  // would parse as 1. Parse up to the first NUL and refuse it if the value
  // ended there (a NUL inside a string is refused by the parser itself).
  const size_t nul = text.find('\0');
  const std::string_view parsed = text.substr(0, nul);
  Json value;
  DepthLimitedBuilder builder(&value);
  bool ok = false;
  try {
    ok = Json::sax_parse(parsed.begin(), parsed.end(), &builder);
  } catch (const std::exception& e) {  // allocation failure; the parser reports everything else to the builder
    if (error != nullptr) {
      error->message = e.what();
      set_position(text, 0, error);
    }
    return false;
  }
  if (ok && nul != std::string_view::npos) {
    if (error != nullptr) {
      error->message = "syntax error while parsing value: unexpected NUL byte; expected end of input";
      set_position(text, nul + 1, error);
    }
    return false;
  }
  if (ok) {
    *out = std::move(value);
    return true;
  }
  if (error != nullptr) {
    if (builder.too_deep()) {
      error->message = "nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels";
      set_position(text, first_too_deep(parsed, kMaxJsonDepth) + 1, error);
    } else {
      error->message = builder.message();
      set_position(text, builder.failed_at(), error);
    }
  }
  return false;
}

}  // namespace kelpo
