// Export of a database to a JSON document and import of one back, with
// upsert semantics. Each is split in steps so a caller can tell a file that
// could not be opened (reported with the operating system's text alone) from
// the failures after it; export_json and import_json chain the steps for
// callers that need no such distinction.
//
// Export: ExportFile::create(path) -> collect_export(db) -> ExportFile::write.
// Import: FileSource::open(path) -> parse_export_document -> apply_import.
#pragma once

#include <string>

#include "engine/db/database.h"
#include "engine/export/byte_source.h"
#include "engine/export/export_file.h"
#include "engine/export/export_format.h"
#include "engine/export/import_parser.h"
#include "engine/storage/file_ops.h"
#include "engine/util/error.h"

namespace kelpo {

// Every live record, fetched one by one in the order of the id list (each
// fetch takes the database's locks for its own duration, so this is not a
// snapshot when writers run beside it). A record deleted between the id list
// and its fetch fails the export with "id '{id}' not found".
Result<ExportFormat> collect_export(const Database& db);

// The document's dimension must be the database's ("dimension mismatch:
// expected {db dim}, got {document dim}"), and so must every record's vector
// (checked before anything is written); then the records go to batch upserts
// of one piece each (import_batch_rows), in document order, each logged and
// applied before the next. An empty document changes nothing. Should a batch fail
// (the log cannot be written), the batches before it stay applied.
Status apply_import(Database& db, ImportedRecords records);

Status export_json(const Database& db, const std::string& path, bool pretty, FileOps& ops = FileOps::posix());
Status import_json(Database& db, const std::string& path, FileOps& ops = FileOps::posix());

}  // namespace kelpo
