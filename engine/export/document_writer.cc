#include "engine/export/document_writer.h"

#include "engine/export/float_text.h"

namespace kelpo {
namespace {

// Pieces are handed on once they pass this size.
constexpr size_t kPieceBytes = 64 * 1024;

void append_string(std::string& out, const std::string& s) {
  // The library's escaping, so ids read back as the same text; bytes that
  // are not UTF-8 (only possible from C++ callers) become U+FFFD.
  out += Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void newline(std::string& out, int indent) {
  out += '\n';
  out.append(static_cast<size_t>(indent), ' ');
}

void append_metadata(std::string& out, const std::optional<Json>& metadata, bool pretty, int indent) {
  if (!metadata) {
    out += "null";
    return;
  }
  if (!pretty) {
    out += json_dump_compact(*metadata);
    return;
  }
  // The library indents from column 0; shift every line after the first by
  // our depth. A line break inside the text is always one of its own: string
  // contents have theirs escaped.
  const std::string text = metadata->dump(2, ' ', false, Json::error_handler_t::replace);
  for (char c : text) {
    if (c == '\n') {
      newline(out, indent);
    } else {
      out += c;
    }
  }
}

void append_record(std::string& out, const ExportVector& r, bool pretty) {
  char num[kMaxFloatText];
  if (!pretty) {
    out += "{\"id\":";
    append_string(out, r.id);
    out += ",\"vector\":[";
    for (size_t i = 0; i < r.vector.size(); ++i) {
      if (i > 0) out += ',';
      out.append(num, format_float(r.vector[i], num));
    }
    out += "],\"metadata\":";
    append_metadata(out, r.metadata, false, 0);
    out += '}';
    return;
  }
  out += '{';
  newline(out, 6);
  out += "\"id\": ";
  append_string(out, r.id);
  out += ',';
  newline(out, 6);
  out += "\"vector\": [";
  for (size_t i = 0; i < r.vector.size(); ++i) {
    if (i > 0) out += ',';
    newline(out, 8);
    out.append(num, format_float(r.vector[i], num));
  }
  if (!r.vector.empty()) newline(out, 6);
  out += "],";
  newline(out, 6);
  out += "\"metadata\": ";
  append_metadata(out, r.metadata, true, 6);
  newline(out, 4);
  out += '}';
}

}  // namespace

void write_document(const ExportFormat& doc, bool pretty, const std::function<bool(std::string_view)>& emit) {
  std::string out;
  const char* sep = pretty ? ": " : ":";
  out += '{';
  if (pretty) newline(out, 2);
  out += "\"version\"";
  out += sep;
  out += std::to_string(doc.version);
  out += ',';
  if (pretty) newline(out, 2);
  out += "\"dim\"";
  out += sep;
  out += std::to_string(doc.dim);
  out += ',';
  if (pretty) newline(out, 2);
  out += "\"metric\"";
  out += sep;
  append_string(out, doc.metric);
  out += ',';
  if (pretty) newline(out, 2);
  out += "\"vectors\"";
  out += sep;
  out += '[';
  for (size_t i = 0; i < doc.vectors.size(); ++i) {
    if (i > 0) out += ',';
    if (pretty) newline(out, 4);
    append_record(out, doc.vectors[i], pretty);
    if (out.size() >= kPieceBytes) {
      if (!emit(out)) return;
      out.clear();
    }
  }
  if (pretty && !doc.vectors.empty()) newline(out, 2);
  out += ']';
  if (pretty) newline(out, 0);
  out += '}';
  emit(out);
}

std::string document_text(const ExportFormat& doc, bool pretty) {
  std::string text;
  write_document(doc, pretty, [&](std::string_view piece) {
    text += piece;
    return true;
  });
  return text;
}

}  // namespace kelpo
