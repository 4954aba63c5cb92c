// The log's logical entries, the batch that encodes them into records, and the
// decoding of one record's payload. The byte layout is in wal_format.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metadata/json.h"
#include "engine/util/error.h"

namespace kelpo {

struct WalEntry {
  enum class Kind : uint8_t { kInsert = 1, kDelete = 2, kUpdate = 3 };
  Kind kind = Kind::kInsert;
  std::string id;
  std::optional<std::vector<float>> vector;  // insert: always set; update: set when the update has a vector
  std::optional<Json> metadata;              // insert: the metadata (absent = none); update: the new metadata when metadata_change
  bool metadata_change = false;              // update only: the entry carries a metadata part (absent metadata then = clear)
};

// Records encoded into one buffer, written by one Wal::append with one write to
// the operating system.
//
// A record that could not be read back as the entry it was made from (an id or
// a metadata string that is not UTF-8, metadata nested deeper than the reader
// accepts, a field longer than 32 bits can count) is not encoded: the batch
// keeps the first such error in status(), and Wal::append refuses the whole
// batch with it, so that no acknowledged write can vanish at the next open.
class WalBatch {
 public:
  void add_insert(std::string_view id, const float* v, size_t n, const Json* metadata);
  void add_delete(std::string_view id);
  // v == nullptr: the update has no vector. metadata_change with metadata ==
  // nullptr: the update clears the metadata.
  void add_update(std::string_view id, const float* v, size_t n, bool metadata_change, const Json* metadata);

  size_t record_count() const { return record_count_; }
  bool empty() const { return record_count_ == 0; }
  // The encoded records, back to back.
  std::string_view bytes() const { return buf_; }
  // Bytes of the first record (0 when empty).
  size_t first_record_size() const { return first_record_size_; }
  const Status& status() const { return status_; }
  void clear();

 private:
  // Starts a record (tag and a length to be patched); returns where it began.
  size_t begin_record(WalEntry::Kind kind);
  // Patches the length, appends the CRC, or drops the record if encoding failed.
  void end_record(size_t start);
  void put_u32(uint32_t v);
  void put_string(std::string_view s);
  void put_vector(const float* v, size_t n);
  void put_metadata(const Json* metadata);
  void fail(const std::string& why);

  std::string buf_;          // complete records only, between calls
  size_t record_count_ = 0;  // records in buf_
  size_t first_record_size_ = 0;
  bool record_failed_ = false;  // the record being built cannot be encoded
  Status status_;            // the first record that could not be encoded
};

// The entry a record holds, or nullopt when its payload is malformed: a string
// that is not UTF-8, a field running past the payload's end, metadata that is
// not JSON (or nests too deeply), an update without its presence bytes, or a
// tag other than 1, 2 or 3. Bytes after the last field are ignored.
std::optional<WalEntry> decode_wal_payload(uint8_t tag, std::string_view payload);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool valid_utf8(std::string_view s);

}  // namespace kelpo
