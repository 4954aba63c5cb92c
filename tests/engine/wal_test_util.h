// Helpers shared by the log's tests: a scratch directory, whole-file reads and
// writes, and records crafted byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/util/crc32.h"
#include "engine/wal/wal.h"

namespace kelpo::testing {

// A fresh directory per test, removed afterwards.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelpo-wal-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const char* name = "wal.kelpo") const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string u32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

// A string or metadata field: length, then the bytes.
inline std::string field(const std::string& bytes) { return u32(static_cast<uint32_t>(bytes.size())) + bytes; }

// A whole record around any payload, with a correct CRC.
inline std::string record(uint8_t tag, const std::string& payload) {
  uint32_t crc = crc32(&tag, 1);
  crc = crc32_extend(crc, payload.data(), payload.size());
  return std::string(1, static_cast<char>(tag)) + u32(static_cast<uint32_t>(payload.size())) + payload + u32(crc);
}

inline std::string delete_record(const std::string& id) { return record(2, field(id)); }

// Each batch appended alone; fails the test on any error.
inline void append_all(Wal& wal, const std::vector<WalBatch>& batches) {
  for (const WalBatch& b : batches) ASSERT_TRUE(wal.append(b).ok());
}

inline WalBatch deletes(std::initializer_list<const char*> ids) {
  WalBatch b;
  for (const char* id : ids) b.add_delete(id);
  return b;
}

// The ids of the entries, in order.
inline std::vector<std::string> ids_of(const std::vector<WalEntry>& entries) {
  std::vector<std::string> ids;
  for (const WalEntry& e : entries) ids.push_back(e.id);
  return ids;
}

inline std::vector<std::string> read_ids(const std::string& path) {
  Wal wal(path);
  Result<std::vector<WalEntry>> r = wal.read();
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? ids_of(*r) : std::vector<std::string>{};
}

}  // namespace kelpo::testing
