// Reads an export document (export_format.h) in one pass through an 8192-byte
// buffer, without ever holding the document's text: vector components go
// straight into one contiguous float array, and only an id or a metadata
// value is held as text, one at a time, long enough to be parsed by the
// system's JSON parser (so metadata obeys the same rules, nesting limit
// included, as metadata given any other way).
//
// A failed read is the source's io error ("io error: {OS text} ..."). Any
// other failure is "corrupt data: invalid JSON: {message} at line {line}
// column {column}", where the position is that of the last byte read: lines
// count from 1, columns are bytes into the line (0 right after a line break).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/db/database.h"
#include "engine/export/byte_source.h"
#include "engine/metadata/json.h"
#include "engine/util/error.h"

namespace kelpo {

// Records per batch of an import's rows: the batch the import logs and
// applies at a time, so neither the log's record nor a second copy of the
// vectors ever spans the whole document.
inline constexpr size_t kImportBatchRecords = 10'000;

// The records of a document, in document order, ready for batch upserts.
struct ImportedRecords {
  uint64_t version = 0;
  uint64_t dim = 0;
  std::string metric;
  std::vector<std::string> ids;
  // One row per record, as long as its "vector", kImportBatchRecords rows per
  // batch (the last may hold fewer), so each batch's floats can be released
  // as soon as it is applied.
  std::vector<VectorBatch> vectors;
  std::vector<std::optional<Json>> metadatas;   // one per record

  size_t size() const { return ids.size(); }
  const float* row(size_t i) const { return vectors[i / kImportBatchRecords].row(i % kImportBatchRecords); }
  size_t row_size(size_t i) const { return vectors[i / kImportBatchRecords].row_size(i % kImportBatchRecords); }
};

Result<ImportedRecords> parse_export_document(ByteSource& source);

}  // namespace kelpo
