#include "engine/util/error.h"

#include <cstring>

namespace kelpo {

KelpoError KelpoError::dimension_mismatch(size_t expected, size_t got) {
  return KelpoError(ErrorKind::kDimensionMismatch, "dimension mismatch: expected " + std::to_string(expected) +
                                                       ", got " + std::to_string(got));
}

KelpoError KelpoError::log_dimension_mismatch(const std::string& path, size_t given, size_t logged) {
  return KelpoError(ErrorKind::kDimensionMismatch,
                    "dimension mismatch: dim=" + std::to_string(given) + " was given, but the log in '" + path +
                        "' holds records of dimension " + std::to_string(logged) +
                        " that were never saved; open it with dim=" + std::to_string(logged) +
                        " (nothing was changed)");
}

KelpoError KelpoError::duplicate_id(const std::string& id) {
  return KelpoError(ErrorKind::kDuplicateId, "id '" + id + "' already exists, use upsert instead");
}

KelpoError KelpoError::not_found(const std::string& id) {
  return KelpoError(ErrorKind::kNotFound, "id '" + id + "' not found");
}

KelpoError KelpoError::database_not_found(const std::string& path) {
  return KelpoError(ErrorKind::kDatabaseNotFound, "database not found at '" + path + "'");
}

KelpoError KelpoError::io(const std::string& detail) { return KelpoError(ErrorKind::kIo, "io error: " + detail); }

KelpoError KelpoError::io_errno(int err) { return io(os_error_text(err)); }

KelpoError KelpoError::invalid_metric(const std::string& name) {
  return KelpoError(ErrorKind::kInvalidMetric,
                    "invalid metric '" + name + "': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
}

KelpoError KelpoError::corrupt_data(const std::string& detail) {
  return KelpoError(ErrorKind::kCorruptData, "corrupt data: " + detail);
}

KelpoError KelpoError::invalid_filter(const std::string& detail) {
  return KelpoError(ErrorKind::kInvalidFilter, "invalid filter: " + detail);
}

KelpoError KelpoError::collection_exists(const std::string& name) {
  return KelpoError(ErrorKind::kCollectionExists, "collection '" + name + "' already exists");
}

KelpoError KelpoError::invalid_collection_name(const std::string& reason) {
  return KelpoError(ErrorKind::kInvalidCollectionName, "invalid collection name: " + reason);
}

KelpoError KelpoError::invalid_vector(const std::string& detail) {
  return KelpoError(ErrorKind::kInvalidVector, "invalid vector: " + detail);
}

std::string KelpoError::io_detail() const {
  static constexpr std::string_view kPrefix = "io error: ";
  if (kind_ == ErrorKind::kIo && message_.compare(0, kPrefix.size(), kPrefix) == 0) {
    return message_.substr(kPrefix.size());
  }
  return message_;
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the text, possibly not in buf.
  const char* text = strerror_r(err, buf, sizeof(buf));
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace kelpo
