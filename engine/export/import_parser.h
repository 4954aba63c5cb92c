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

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/db/database.h"
#include "engine/export/byte_source.h"
#include "engine/metadata/json.h"
#include "engine/util/error.h"

namespace kelpo {

// An import logs and applies its rows a piece at a time, so neither the log's
// record nor a second copy of the vectors ever spans the whole document. A
// piece holds at most kImportBatchRecords records and, whatever the dimension,
// at most kImportBatchFloats vector components (8 MiB): with wide vectors a
// piece of 10,000 rows would be large beside the document (30 MB at 768
// dimensions), and the peak holds about two pieces beside the document (the
// piece being applied and its log record).
inline constexpr size_t kImportBatchRecords = 10'000;
inline constexpr size_t kImportBatchFloats = size_t{1} << 21;

// Records per piece when each row holds `row_floats` components.
inline size_t import_batch_rows(size_t row_floats, size_t max_floats = kImportBatchFloats) {
  return std::clamp<size_t>(max_floats / std::max<size_t>(row_floats, 1), 1, kImportBatchRecords);
}

// The records of a document, in document order, ready for batch upserts.
struct ImportedRecords {
  uint64_t version = 0;
  uint64_t dim = 0;
  std::string metric;
  std::vector<std::string> ids;
  // One row per record, as long as its "vector", batch_rows rows per batch
  // (the last may hold fewer), so each batch's floats can be released as
  // soon as it is applied. batch_rows follows from the first record's row.
  std::vector<VectorBatch> vectors;
  size_t batch_rows = kImportBatchRecords;
  std::vector<std::optional<Json>> metadatas;   // one per record

  size_t size() const { return ids.size(); }
  const float* row(size_t i) const { return vectors[i / batch_rows].row(i % batch_rows); }
  size_t row_size(size_t i) const { return vectors[i / batch_rows].row_size(i % batch_rows); }
};

// `max_batch_floats` bounds each piece's components (see import_batch_rows).
Result<ImportedRecords> parse_export_document(ByteSource& source, size_t max_batch_floats = kImportBatchFloats);

}  // namespace kelpo
