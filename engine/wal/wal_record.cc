#include "engine/wal/wal_record.h"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/util/crc32.h"
#include "engine/wal/wal_format.h"

namespace kelpo {
namespace {

constexpr size_t kMaxField = std::numeric_limits<uint32_t>::max();

uint32_t load_u32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

void store_u32(char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// A read position inside one payload. Every read checks the bytes left first;
// a failed read exhausts the cursor, so the entry is dropped as a whole.
class PayloadCursor {
 public:
  explicit PayloadCursor(std::string_view payload) : rest_(payload) {}

  bool read_u8(uint8_t* out) {
    if (rest_.empty()) return fail();
    *out = static_cast<uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return true;
  }
  bool read_u32(uint32_t* out) {
    if (rest_.size() < 4) return fail();
    *out = load_u32(rest_.data());
    rest_.remove_prefix(4);
    return true;
  }
  bool read_bytes(size_t n, std::string_view* out) {
    if (rest_.size() < n) return fail();
    *out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }
  bool read_string(std::string* out) {
    uint32_t n;
    std::string_view bytes;
    if (!read_u32(&n) || !read_bytes(n, &bytes)) return false;
    if (!valid_utf8(bytes)) return fail();
    out->assign(bytes);
    return true;
  }
  bool read_vector(std::vector<float>* out) {
    uint32_t count;
    if (!read_u32(&count)) return false;
    // Compare counts, not byte sizes: count * 4 could wrap on a 32-bit size_t.
    if (count > rest_.size() / sizeof(float)) return fail();
    out->resize(count);
    for (size_t i = 0; i < count; ++i) (*out)[i] = std::bit_cast<float>(load_u32(rest_.data() + 4 * i));
    rest_.remove_prefix(size_t{count} * sizeof(float));
    return true;
  }
  // A metadata field; length 0 is "no metadata".
  bool read_metadata(std::optional<Json>* out) {
    uint32_t n;
    std::string_view text;
    if (!read_u32(&n) || !read_bytes(n, &text)) return false;
    if (n == 0) {
      out->reset();
      return true;
    }
    Json value;
    if (!json_parse(text, &value, nullptr)) return fail();
    *out = std::move(value);
    return true;
  }

 private:
  bool fail() {
    rest_ = {};
    return false;
  }
  std::string_view rest_;
};

}  // namespace

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The lead byte fixes the length and the range of the second byte; the
    // narrowed ranges are what exclude overlong forms, surrogates and values
    // past U+10FFFF.
    size_t len = 0;
    unsigned lo = 0x80;
    unsigned hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // below: overlong
      if (c == 0xED) hi = 0x9F;  // above: surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // below: overlong
      if (c == 0xF4) hi = 0x8F;  // above: past U+10FFFF
    } else {
      return false;  // a continuation byte, an overlong lead (C0, C1) or F5..FF
    }
    if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

void WalBatch::add_insert(std::string_view id, const float* v, size_t n, const Json* metadata) {
  const size_t start = begin_record(WalEntry::Kind::kInsert);
  put_string(id);
  put_vector(v, n);
  put_metadata(metadata);
  end_record(start);
}

void WalBatch::add_delete(std::string_view id) {
  const size_t start = begin_record(WalEntry::Kind::kDelete);
  put_string(id);
  end_record(start);
}

void WalBatch::add_update(std::string_view id, const float* v, size_t n, bool metadata_change, const Json* metadata) {
  const size_t start = begin_record(WalEntry::Kind::kUpdate);
  put_string(id);
  if (v != nullptr) {
    buf_.push_back(static_cast<char>(wal::kPresent));
    put_vector(v, n);
  } else {
    buf_.push_back(static_cast<char>(wal::kAbsent));
  }
  if (metadata_change) {
    buf_.push_back(static_cast<char>(wal::kPresent));
    put_metadata(metadata);
  } else {
    buf_.push_back(static_cast<char>(wal::kAbsent));
  }
  end_record(start);
}

void WalBatch::clear() {
  buf_.clear();
  record_count_ = 0;
  first_record_size_ = 0;
  record_failed_ = false;
  status_ = Status::OK();
}

size_t WalBatch::begin_record(WalEntry::Kind kind) {
  const size_t start = buf_.size();
  buf_.push_back(static_cast<char>(kind));
  buf_.append(4, '\0');  // the length, patched by end_record
  return start;
}

void WalBatch::end_record(size_t start) {
  const size_t payload = buf_.size() - start - wal::kHeaderSize;
  if (payload > kMaxField) fail("record longer than 4 GiB");
  if (record_failed_) {
    buf_.resize(start);
    record_failed_ = false;
    return;
  }
  store_u32(&buf_[start + 1], static_cast<uint32_t>(payload));
  // The CRC covers the tag and the payload, not the length between them.
  uint32_t crc = crc32(&buf_[start], 1);
  crc = crc32_extend(crc, &buf_[start + wal::kHeaderSize], payload);
  put_u32(crc);
  if (++record_count_ == 1) first_record_size_ = buf_.size();
}

void WalBatch::put_u32(uint32_t v) {
  char b[4];
  store_u32(b, v);
  buf_.append(b, 4);
}

void WalBatch::put_string(std::string_view s) {
  // The reader drops a record whose id is not UTF-8; refuse it here instead.
  if (!valid_utf8(s)) return fail("id is not valid UTF-8");
  if (s.size() > kMaxField) return fail("id longer than 4 GiB");
  put_u32(static_cast<uint32_t>(s.size()));
  buf_.append(s);
}

void WalBatch::put_vector(const float* v, size_t n) {
  if (n > kMaxField) return fail("vector longer than 2^32 components");
  put_u32(static_cast<uint32_t>(n));
  if constexpr (std::endian::native == std::endian::little) {
    if (n > 0) buf_.append(reinterpret_cast<const char*>(v), n * sizeof(float));
  } else {
    for (size_t i = 0; i < n; ++i) put_u32(std::bit_cast<uint32_t>(v[i]));
  }
}

void WalBatch::put_metadata(const Json* metadata) {
  if (metadata == nullptr) return put_u32(0);
  // Anything the reader's parser would refuse must be refused now.
  if (metadata->is_discarded()) return fail("metadata is not a JSON value");
  if (!json_depth_within(*metadata, kMaxJsonDepth)) {
    return fail("metadata nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  std::string text;
  if (!json_dump_compact_exact(*metadata, &text)) return fail("metadata holds a string that is not valid UTF-8");
  if (text.size() > kMaxField) return fail("metadata longer than 4 GiB");
  put_u32(static_cast<uint32_t>(text.size()));
  buf_.append(text);
}

void WalBatch::fail(const std::string& why) {
  record_failed_ = true;
  if (status_.ok()) status_ = KelpoError::io("cannot log record " + std::to_string(record_count_) + ": " + why);
}

std::optional<WalEntry> decode_wal_payload(uint8_t tag, std::string_view payload) {
  PayloadCursor in(payload);
  WalEntry e;
  switch (static_cast<wal::Tag>(tag)) {
    case wal::Tag::kInsert: {
      e.kind = WalEntry::Kind::kInsert;
      std::vector<float> v;
      if (!in.read_string(&e.id) || !in.read_vector(&v) || !in.read_metadata(&e.metadata)) return std::nullopt;
      e.vector = std::move(v);
      return e;
    }
    case wal::Tag::kDelete:
      e.kind = WalEntry::Kind::kDelete;
      if (!in.read_string(&e.id)) return std::nullopt;
      return e;
    case wal::Tag::kUpdate: {
      e.kind = WalEntry::Kind::kUpdate;
      uint8_t has_vector, has_metadata;
      if (!in.read_string(&e.id) || !in.read_u8(&has_vector)) return std::nullopt;
      // Only 1 means present; the writer never puts anything but 0 or 1 here.
      if (has_vector == wal::kPresent) {
        std::vector<float> v;
        if (!in.read_vector(&v)) return std::nullopt;
        e.vector = std::move(v);
      }
      if (!in.read_u8(&has_metadata)) return std::nullopt;
      if (has_metadata == wal::kPresent) {
        e.metadata_change = true;
        if (!in.read_metadata(&e.metadata)) return std::nullopt;
      }
      return e;
    }
  }
  return std::nullopt;  // a tag this version does not know
}

}  // namespace kelpo
