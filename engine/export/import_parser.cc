#include "engine/export/import_parser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <string_view>
#include <utility>

#include "engine/export/float_text.h"

namespace kelpo {
namespace {

constexpr size_t kBufferSize = 8192;

bool is_ws(int c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
// The bytes a JSON number is made of.
constexpr auto kNumberChars = [] {
  std::array<bool, 256> t{};
  for (char c : std::string_view("0123456789+-.eE")) t[static_cast<unsigned char>(c)] = true;
  return t;
}();
bool is_number_char(char c) { return kNumberChars[static_cast<unsigned char>(c)]; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool valid_number(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  if (i < n && s[i] == '-') ++i;
  if (i == n) return false;
  if (s[i] == '0') {
    ++i;
  } else if (is_digit(s[i])) {
    while (i < n && is_digit(s[i])) ++i;
  } else {
    return false;
  }
  if (i < n && s[i] == '.') {
    ++i;
    if (i == n || !is_digit(s[i])) return false;
    while (i < n && is_digit(s[i])) ++i;
  }
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    if (i == n || !is_digit(s[i])) return false;
    while (i < n && is_digit(s[i])) ++i;
  }
  return i == n;
}

// What a value starting with byte c is, for "invalid type" messages; null
// when no value starts so.
const char* kind_of(int c) {
  switch (c) {
    case 'n': return "null";
    case 't':
    case 'f': return "boolean";
    case '"': return "string";
    case '[': return "array";
    case '{': return "object";
    case '-': return "number";
    default: return (c >= '0' && c <= '9') ? "number" : nullptr;
  }
}

class DocumentParser {
 public:
  DocumentParser(ByteSource& source, size_t max_batch_floats)
      : source_(source), buf_(new char[kBufferSize + 1]), max_batch_floats_(max_batch_floats) {
    buf_[0] = '\0';
  }

  Result<ImportedRecords> parse() {
    if (!parse_document()) {
      // The document could not be read to its end: that is the file's
      // fault, not its text's, and is reported as the I/O error it is.
      if (read_failure_) return *read_failure_;
      return KelpoError::corrupt_data("invalid JSON: " + message_ + " at line " + std::to_string(error_line_) +
                                      " column " + std::to_string(error_column_));
    }
    return std::move(out_);
  }

 private:
  // ---- bytes and positions ----

  // The next byte, or -1 at the end of the input or after a read error.
  int peek() {
    if (pos_ < end_) return static_cast<unsigned char>(buf_[pos_]);
    return refill() ? static_cast<unsigned char>(buf_[pos_]) : -1;
  }
  void bump() {
    if (buf_[pos_++] == '\n') {
      ++line_;
      line_start_ = consumed_ + 1;
    }
    ++consumed_;
  }
  int skip_ws() {
    for (;;) {
      const int c = peek();
      if (!is_ws(c)) return c;
      bump();
    }
  }
  bool refill() {
    if (at_end_) return false;
    Result<size_t> n = source_.read(buf_.get(), kBufferSize);
    if (!n.ok()) {
      read_error_ = n.error().io_detail();
      read_failure_ = n.error();
      at_end_ = true;
      return false;
    }
    pos_ = 0;
    end_ = n.value();
    buf_[end_] = '\0';  // the sentinel scan_number relies on
    if (end_ == 0) at_end_ = true;
    return end_ > 0;
  }

  // ---- failures ----

  // Records the failure at the last byte read. Always returns false.
  bool fail(std::string message) {
    message_ = std::move(message);
    error_line_ = line_;
    error_column_ = consumed_ - line_start_;
    return false;
  }
  // Takes the offending byte first, so the position names it.
  bool fail_at_next(std::string message) {
    if (peek() >= 0) bump();
    return fail(std::move(message));
  }
  // For a -1 from peek(): a read error, or the input ended too soon.
  bool fail_end(const char* what) { return fail(read_error_.empty() ? what : read_error_); }
  bool fail_type(int c, const char* expected) {
    if (c < 0) return fail_end("EOF while parsing a value");
    const char* kind = kind_of(c);
    if (kind == nullptr) return fail_at_next("expected value");
    return fail_at_next(std::string("invalid type: ") + kind + ", expected " + expected);
  }

  // ---- values held as text ----

  // Reads one whole value's text (unchecked beyond finding where it ends)
  // into text_, noting where it started.
  bool capture_value() {
    text_.clear();
    int c = skip_ws();
    if (c < 0) return fail_end("EOF while parsing a value");
    text_line_ = line_;
    text_column_ = consumed_ - line_start_;
    if (c == '"') return capture_string();
    if (c == '{' || c == '[') {
      size_t depth = 0;
      bool in_string = false;
      for (;;) {
        c = peek();
        if (c < 0) return fail_end("EOF while parsing a value");
        take(c);
        if (in_string) {
          if (c == '\\') {
            c = peek();
            if (c < 0) return fail_end("EOF while parsing a string");
            take(c);
          } else if (c == '"') {
            in_string = false;
          }
        } else if (c == '"') {
          in_string = true;
        } else if (c == '{' || c == '[') {
          ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
          return true;
        }
      }
    }
    while (c >= 0 && !is_ws(c) && c != ',' && c != ']' && c != '}' && c != ':') {
      take(c);
      c = peek();
    }
    if (text_.empty()) return fail_at_next("expected value");
    return true;
  }
  bool capture_string() {
    take('"');
    for (;;) {
      int c = peek();
      if (c < 0) return fail_end("EOF while parsing a string");
      take(c);
      if (c == '"') return true;
      if (c == '\\') {
        c = peek();
        if (c < 0) return fail_end("EOF while parsing a string");
        take(c);
      }
    }
  }
  void take(int c) {
    text_ += static_cast<char>(c);
    bump();
  }
  // Parses text_ with the system's JSON parser; a failure is placed in the
  // document by adding the text's own position to where it started.
  bool parse_text(Json* out) {
    JsonParseError err;
    if (json_parse(text_, out, &err)) return true;
    message_ = std::move(err.message);
    error_line_ = text_line_ + err.line - 1;
    error_column_ = err.line == 1 ? text_column_ + err.column : err.column;
    return false;
  }

  bool parse_value(Json* out) { return capture_value() && parse_text(out); }

  // A string: plain ASCII without escapes is taken as it is; anything else
  // goes through the JSON parser (escapes, UTF-8 checks).
  bool parse_string(std::string* out) {
    const int c = skip_ws();
    if (c != '"') return fail_type(c, "a string");
    text_line_ = line_;
    text_column_ = consumed_ - line_start_;
    text_.clear();
    if (!capture_string()) return false;
    bool plain = true;
    for (char ch : text_) {
      const auto u = static_cast<unsigned char>(ch);
      if (u == '\\' || u < 0x20 || u >= 0x80) {
        plain = false;
        break;
      }
    }
    if (plain) {
      out->assign(text_, 1, text_.size() - 2);
      return true;
    }
    Json value;
    if (!parse_text(&value)) return false;
    *out = std::move(value.get_ref<std::string&>());
    return true;
  }

  // ---- numbers ----

  // Takes a number token (a run of number characters) and checks it against
  // the JSON grammar. The text stays in the read buffer when the token ends
  // inside it, and is gathered in number_ when it straddles reads; either way
  // *text is valid until the next read.
  bool scan_number(std::string_view* text) {
    // The common case in one pass: a well-formed number that ends inside the
    // buffer. The sentinel after the buffered bytes stops every loop.
    const char* start = buf_.get() + pos_;
    const char* p = start;
    if (*p == '-') ++p;
    bool ok = is_digit(*p);
    if (*p == '0') {
      ++p;
    } else {
      while (is_digit(*p)) ++p;
    }
    if (ok && *p == '.') {
      ++p;
      ok = is_digit(*p);
      while (is_digit(*p)) ++p;
    }
    if (ok && (*p == 'e' || *p == 'E')) {
      ++p;
      if (*p == '+' || *p == '-') ++p;
      ok = is_digit(*p);
      while (is_digit(*p)) ++p;
    }
    const char* stop = buf_.get() + end_;
    if (ok && p < stop && !is_number_char(*p)) {
      *text = std::string_view(start, static_cast<size_t>(p - start));
      consumed_ += static_cast<size_t>(p - start);
      pos_ = static_cast<size_t>(p - buf_.get());
      return true;
    }
    // Otherwise take the whole run, across reads, and judge it.
    number_.clear();
    for (;;) {
      const size_t from = pos_;
      while (pos_ < end_ && is_number_char(buf_[pos_])) ++pos_;
      number_.append(buf_.get() + from, pos_ - from);
      consumed_ += pos_ - from;
      if (pos_ < end_ || !refill()) break;
    }
    *text = number_;
    if (!valid_number(*text)) return fail("invalid number");
    return true;
  }

  bool parse_u64(uint64_t* out) {
    const int c = skip_ws();
    if (c != '-' && !is_digit(static_cast<char>(c))) return fail_type(c, "a non-negative integer");
    std::string_view text;
    if (!scan_number(&text)) return false;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto r = std::from_chars(first, last, *out);
    if (r.ptr != last || text[0] == '-') {
      return fail("invalid value: " + std::string(text) + ", expected a non-negative integer");
    }
    if (r.ec != std::errc()) return fail("number out of range");
    return true;
  }

  // ---- the document ----

  // Having seen '{': calls member(key) for each member, the value's first
  // byte next. Handles separators, the closing brace and their errors.
  template <class F>
  bool parse_members(F&& member) {
    bump();  // '{'
    int c = skip_ws();
    if (c == '}') {
      bump();
      return true;
    }
    for (;;) {
      if (c < 0) return fail_end("EOF while parsing an object");
      if (c != '"') return fail_at_next("key must be a string");
      std::string key;
      if (!parse_string(&key)) return false;
      c = skip_ws();
      if (c != ':') return c < 0 ? fail_end("EOF while parsing an object") : fail_at_next("expected `:`");
      bump();
      if (!member(key)) return false;
      c = skip_ws();
      if (c == '}') {
        bump();
        return true;
      }
      if (c != ',') return c < 0 ? fail_end("EOF while parsing an object") : fail_at_next("expected `,` or `}`");
      bump();
      c = skip_ws();
      if (c == '}') return fail_at_next("trailing comma");
    }
  }

  // The same for arrays: element() reads one element, its first byte next.
  template <class F>
  bool parse_elements(F&& element) {
    bump();  // '['
    int c = skip_ws();
    if (c == ']') {
      bump();
      return true;
    }
    for (;;) {
      if (c < 0) return fail_end("EOF while parsing a list");
      if (!element(c)) return false;
      c = skip_ws();
      if (c == ']') {
        bump();
        return true;
      }
      if (c != ',') return c < 0 ? fail_end("EOF while parsing a list") : fail_at_next("expected `,` or `]`");
      bump();
      c = skip_ws();
      if (c == ']') return fail_at_next("trailing comma");
    }
  }

  // Marks a member as seen; a second sighting is an error.
  bool first_sighting(bool* seen, const char* name) {
    if (*seen) return fail(std::string("duplicate field `") + name + "`");
    *seen = true;
    return true;
  }

  bool skip_value() {
    Json ignored;
    return parse_value(&ignored);
  }

  bool parse_document() {
    int c = skip_ws();
    if (c != '{') return fail_type(c, "an object");
    bool version = false, dim = false, metric = false, vectors = false;
    const bool ok = parse_members([&](const std::string& key) {
      if (key == "version") return first_sighting(&version, "version") && parse_u64(&out_.version);
      if (key == "dim") return first_sighting(&dim, "dim") && parse_u64(&out_.dim);
      if (key == "metric") return first_sighting(&metric, "metric") && parse_string(&out_.metric);
      if (key == "vectors") return first_sighting(&vectors, "vectors") && parse_records();
      return skip_value();
    });
    if (!ok) return false;
    if (!version) return fail("missing field `version`");
    if (!dim) return fail("missing field `dim`");
    if (!metric) return fail("missing field `metric`");
    if (!vectors) return fail("missing field `vectors`");
    c = skip_ws();
    if (c >= 0) return fail_at_next("trailing characters");
    if (!read_error_.empty()) return fail(read_error_);
    return true;
  }

  bool parse_records() {
    const int c = skip_ws();
    if (c != '[') return fail_type(c, "an array");
    const uint64_t start = consumed_;
    return parse_elements([&](int first) {
      if (first != '{') return fail_type(first, "an object");
      if (!parse_record()) return false;
      if (out_.ids.size() == 1) reserve_like_first(consumed_ - start);
      return true;
    });
  }

  bool parse_record() {
    bool id = false, vector = false, metadata = false;
    std::string record_id;
    std::optional<Json> record_metadata;
    const bool ok = parse_members([&](const std::string& key) {
      if (key == "id") return first_sighting(&id, "id") && parse_string(&record_id);
      if (key == "vector") return first_sighting(&vector, "vector") && parse_vector();
      if (key == "metadata") {
        if (!first_sighting(&metadata, "metadata")) return false;
        Json value;
        if (!parse_value(&value)) return false;
        if (!value.is_null()) record_metadata = std::move(value);
        return true;
      }
      return skip_value();
    });
    if (!ok) return false;
    if (!id) return fail("missing field `id`");
    if (!vector) return fail("missing field `vector`");
    out_.ids.push_back(std::move(record_id));
    out_.vectors.back().offsets.push_back(out_.vectors.back().data.size());
    out_.metadatas.push_back(std::move(record_metadata));
    return true;
  }

  // Components go straight to the end of the batch's float array; the
  // record's row ends where parse_record closes it.
  bool parse_vector() {
    const int c = skip_ws();
    if (c != '[') return fail_type(c, "an array");
    if (out_.vectors.empty() || out_.vectors.back().size() == out_.batch_rows) {
      out_.vectors.emplace_back();
      out_.vectors.back().data.reserve(batch_floats_);
    }
    std::vector<float>& data = out_.vectors.back().data;
    return parse_elements([&](int first) {
      if (first != '-' && !is_digit(static_cast<char>(first))) return fail_type(first, "f32");
      std::string_view text;
      if (!scan_number(&text)) return false;
      data.push_back(parse_float(text));
      return true;
    });
  }

  // After the first record: its row sets the piece size; then reserve room
  // for as many more records as the input's size suggests, so the float
  // arrays rarely have to grow (and copy) on the way.
  // An over-estimate costs address space only: pages never written are never
  // backed by memory.
  void reserve_like_first(uint64_t first_bytes) {
    const size_t row_floats = out_.vectors.back().row_size(0);
    out_.batch_rows = import_batch_rows(row_floats, max_batch_floats_);
    const double dim = static_cast<double>(std::max<size_t>(row_floats, 1));
    const double piece_floats = static_cast<double>(out_.batch_rows) * dim;
    const uint64_t total = source_.size_hint();
    if (total == 0 || first_bytes == 0) {
      batch_floats_ = static_cast<size_t>(piece_floats);
      return;
    }
    const double records = static_cast<double>(total / first_bytes + 1) * 1.125;
    // Every component takes at least two bytes ("0,"), every record more
    // than eight: hard upper bounds whatever the first record was like.
    const double floats = std::min(records * dim, static_cast<double>(total / 2 + 1));
    const double rows = std::min(records, static_cast<double>(total / 8 + 1));
    batch_floats_ = static_cast<size_t>(std::min(floats, piece_floats));
    out_.vectors.back().data.reserve(batch_floats_);
    out_.vectors.back().offsets.reserve(std::min(static_cast<size_t>(rows), out_.batch_rows) + 1);
    out_.ids.reserve(static_cast<size_t>(rows));
    out_.metadatas.reserve(static_cast<size_t>(rows));
  }

  ByteSource& source_;
  std::unique_ptr<char[]> buf_;
  size_t max_batch_floats_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
  std::string read_error_;  // the operating system's text of a failed read
  std::optional<KelpoError> read_failure_;  // that failure as the source reported it

  uint64_t consumed_ = 0;    // bytes taken so far
  uint64_t line_ = 1;        // line of the next byte
  uint64_t line_start_ = 0;  // where that line starts, in bytes taken

  std::string text_;  // a value being held as text
  uint64_t text_line_ = 0;
  uint64_t text_column_ = 0;  // bytes on text_line_ before the value
  std::string number_;

  std::string message_;
  uint64_t error_line_ = 0;
  uint64_t error_column_ = 0;

  ImportedRecords out_;
  size_t batch_floats_ = 0;  // floats reserved for each new batch of rows
};

}  // namespace

Result<ImportedRecords> parse_export_document(ByteSource& source, size_t max_batch_floats) {
  return DocumentParser(source, max_batch_floats).parse();
}

}  // namespace kelpo
