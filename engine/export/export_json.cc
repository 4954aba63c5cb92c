#include "engine/export/export_json.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <iterator>
#include <utility>

#include "engine/index/distance.h"

namespace kelpo {

Result<ExportFormat> collect_export(const Database& db) {
  ExportFormat doc;
  doc.dim = db.dim();
  doc.metric = metric_name(db.metric());
  std::vector<std::string> ids = db.ids();
  doc.vectors.reserve(ids.size());
  for (std::string& id : ids) {
    auto record = db.get(id);
    if (!record.ok()) return record.error();
    doc.vectors.push_back(ExportVector{std::move(id), std::move(record->first), std::move(record->second)});
  }
  return doc;
}

namespace {

// Hands the heap's free pages back to the system. A piece's floats and its
// log record are freed as the next piece is built: left to the allocator,
// those blocks can stay resident (below its trim threshold, or with live
// blocks above them), and the import's peak would grow by a piece or more.
void return_free_memory() {
#if defined(__GLIBC__)
  (void)malloc_trim(0);
#endif
}

}  // namespace

Status apply_import(Database& db, ImportedRecords records) {
  if (records.dim != db.dim()) return KelpoError::dimension_mismatch(db.dim(), records.dim);
  if (records.ids.empty()) return Status::OK();
  // Every row is checked before the first batch is written, so a document
  // that cannot be imported changes nothing.
  for (const VectorBatch& rows : records.vectors) {
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows.row_size(i) != db.dim()) return KelpoError::dimension_mismatch(db.dim(), rows.row_size(i));
    }
  }
  // Room for every vector up front: the store then fills in place while each
  // applied batch's floats are released, instead of growing by copies.
  db.reserve(records.size());
  size_t first = 0;
  for (VectorBatch& rows : records.vectors) {
    const size_t count = rows.size();
    std::vector<std::string> ids(std::make_move_iterator(records.ids.begin() + static_cast<ptrdiff_t>(first)),
                                 std::make_move_iterator(records.ids.begin() + static_cast<ptrdiff_t>(first + count)));
    std::vector<std::optional<Json>> metadatas(
        std::make_move_iterator(records.metadatas.begin() + static_cast<ptrdiff_t>(first)),
        std::make_move_iterator(records.metadatas.begin() + static_cast<ptrdiff_t>(first + count)));
    KELPO_RETURN_IF_ERROR(db.upsert_many(ids, rows, std::move(metadatas)));
    rows = VectorBatch();
    first += count;
    return_free_memory();
  }
  return Status::OK();
}

Status export_json(const Database& db, const std::string& path, bool pretty, FileOps& ops) {
  Result<ExportFile> file = ExportFile::create(path, ops);
  if (!file.ok()) return file.error();
  Result<ExportFormat> doc = collect_export(db);
  if (!doc.ok()) return doc.error();
  return file->write(doc.value(), pretty);
}

Status import_json(Database& db, const std::string& path, FileOps& ops) {
  Result<std::unique_ptr<FileSource>> source = FileSource::open(path, ops);
  if (!source.ok()) return source.error();
  Result<ImportedRecords> records = parse_export_document(*source.value());
  if (!records.ok()) return records.error();
  return apply_import(db, std::move(records).value());
}

}  // namespace kelpo
