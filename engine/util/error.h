// KelpoError: the one error value every engine operation returns. A closed set
// of kinds, each with a fixed display text that reaches Python unchanged as the
// message of a ValueError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kelpo {

enum class ErrorKind : uint8_t {
  kDimensionMismatch,
  kDuplicateId,
  kNotFound,
  kDatabaseNotFound,
  kIo,
  kInvalidMetric,
  kCorruptData,
  kInvalidFilter,
  kCollectionExists,
  kInvalidCollectionName,
  kInvalidVector,
};

class KelpoError {
 public:
  // "dimension mismatch: expected {expected}, got {got}"
  static KelpoError dimension_mismatch(size_t expected, size_t got);
  // "dimension mismatch: dim={given} was given, but the log in '{path}' holds
  // records of dimension {logged} ..."
  static KelpoError log_dimension_mismatch(const std::string& path, size_t given, size_t logged);
  // "id '{id}' already exists, use upsert instead"
  static KelpoError duplicate_id(const std::string& id);
  // "id '{id}' not found"
  static KelpoError not_found(const std::string& id);
  // "database not found at '{path}'"
  static KelpoError database_not_found(const std::string& path);
  // "io error: {detail}"
  static KelpoError io(const std::string& detail);
  // "io error: {strerror(err)} (os error {err})"
  static KelpoError io_errno(int err);
  // "invalid metric '{name}': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"
  static KelpoError invalid_metric(const std::string& name);
  // "corrupt data: {detail}"
  static KelpoError corrupt_data(const std::string& detail);
  // "invalid filter: {detail}"
  static KelpoError invalid_filter(const std::string& detail);
  // "collection '{name}' already exists"
  static KelpoError collection_exists(const std::string& name);
  // "invalid collection name: {reason}"
  static KelpoError invalid_collection_name(const std::string& reason);
  // "invalid vector: {detail}"
  static KelpoError invalid_vector(const std::string& detail);

  ErrorKind kind() const { return kind_; }
  // The display text, exactly as Python shows it.
  const std::string& message() const { return message_; }
  // For kIo: the text after "io error: ".
  std::string io_detail() const;

 private:
  KelpoError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  ErrorKind kind_;
  std::string message_;
};

// The operating system's text for an errno value, as "{description} (os error {err})".
std::string os_error_text(int err);

// A value or an error. Engine code returns errors plainly; nothing throws.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(KelpoError error) : v_(std::move(error)) {}  // NOLINT
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  const KelpoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, KelpoError> v_;
};

// Success or an error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(KelpoError error) : error_(std::move(error)) {}  // NOLINT
  static Status OK() { return Status(); }
  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const KelpoError& error() const { return *error_; }

 private:
  std::optional<KelpoError> error_;
};

}  // namespace kelpo

// Return early from the enclosing function when `expr` (a Status or Result) failed.
#define KELPO_RETURN_IF_ERROR(expr)               \
  do {                                            \
    auto _kelpo_status = (expr);                  \
    if (!_kelpo_status.ok()) return _kelpo_status.error(); \
  } while (0)
