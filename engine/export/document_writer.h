// The text of an export document, compact or pretty. Compact has no white
// space between tokens; pretty puts each member and each array element on its
// own line, indented two spaces per level, with ": " after keys, and writes
// empty arrays and objects as [] and {}. Neither ends with a newline.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "engine/export/export_format.h"

namespace kelpo {

// Produces the document's text in pieces, in order, each handed to `emit`
// (a piece is a few records' worth, so the whole text is never in memory).
// Stops early when `emit` returns false (its sink has failed).
void write_document(const ExportFormat& doc, bool pretty, const std::function<bool(std::string_view)>& emit);

// The whole text at once, for tests and small documents.
std::string document_text(const ExportFormat& doc, bool pretty);

}  // namespace kelpo
