// The log's record format and its reader.
#include "engine/wal/wal.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/engine/wal_test_util.h"

namespace kelpo {
namespace {

using testing::append_all;
using testing::delete_record;
using testing::deletes;
using testing::field;
using testing::read_bytes;
using testing::read_ids;
using testing::record;
using testing::u32;
using testing::write_bytes;

Json parse(std::string_view text) {
  Json v;
  EXPECT_TRUE(json_parse(text, &v, nullptr)) << text;
  return v;
}

using WalFormat = testing::ScratchDir;

TEST_F(WalFormat, EveryEntryShapeReadsBackAsWritten) {
  const std::vector<float> v = {1.5f, -0.0f, std::numeric_limits<float>::denorm_min(), 3e38f};
  const Json md = parse(R"({"z":1,"a":[1.0,"é"],"n":-2})");
  WalBatch b;
  b.add_insert("ünï", v.data(), v.size(), &md);
  b.add_insert("plain", v.data(), 0, nullptr);
  b.add_delete("gone");
  b.add_update("u1", v.data(), 2, false, nullptr);  // vector only
  b.add_update("u2", nullptr, 0, true, &md);         // metadata only
  b.add_update("u3", nullptr, 0, true, nullptr);     // clear the metadata
  b.add_update("u4", nullptr, 0, false, nullptr);    // neither: still logged
  ASSERT_TRUE(b.status().ok());
  EXPECT_EQ(b.record_count(), 7u);

  Wal wal(path());
  ASSERT_TRUE(wal.append(b).ok());
  Wal reader(path());
  Result<std::vector<WalEntry>> r = reader.read();
  ASSERT_TRUE(r.ok());
  const std::vector<WalEntry>& e = *r;
  ASSERT_EQ(e.size(), 7u);

  EXPECT_EQ(e[0].kind, WalEntry::Kind::kInsert);
  EXPECT_EQ(e[0].id, "ünï");
  ASSERT_TRUE(e[0].vector.has_value());
  ASSERT_EQ(e[0].vector->size(), v.size());
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(std::bit_cast<uint32_t>((*e[0].vector)[i]), std::bit_cast<uint32_t>(v[i]));
  ASSERT_TRUE(e[0].metadata.has_value());
  EXPECT_TRUE(json_equal(*e[0].metadata, md));
  EXPECT_TRUE((*e[0].metadata)["a"][0].is_number_float());  // 1.0 stays a float

  EXPECT_TRUE(e[1].vector.has_value() && e[1].vector->empty());
  EXPECT_FALSE(e[1].metadata.has_value());
  EXPECT_EQ(e[2].kind, WalEntry::Kind::kDelete);
  EXPECT_EQ(e[2].id, "gone");

  EXPECT_EQ(e[3].kind, WalEntry::Kind::kUpdate);
  EXPECT_EQ(e[3].vector, (std::vector<float>{1.5f, -0.0f}));
  EXPECT_FALSE(e[3].metadata_change);
  EXPECT_FALSE(e[4].vector.has_value());
  EXPECT_TRUE(e[4].metadata_change && e[4].metadata && json_equal(*e[4].metadata, md));
  EXPECT_TRUE(e[5].metadata_change);
  EXPECT_FALSE(e[5].metadata.has_value());
  EXPECT_FALSE(e[6].vector.has_value() || e[6].metadata_change);
}

TEST_F(WalFormat, RecordsHaveTheDocumentedBytes) {
  Wal wal(path());
  append_all(wal, {deletes({"abc"})});
  // Tag 2, L = 7 (a 4-byte length and 3 bytes), the payload, its CRC: 16 bytes.
  EXPECT_EQ(read_bytes(path()), delete_record("abc"));
  EXPECT_EQ(read_bytes(path()).size(), 16u);
  EXPECT_EQ(read_bytes(path()).substr(0, 5), std::string("\x02\x07\x00\x00\x00", 5));

  const float v[2] = {1.0f, -2.0f};
  const Json md = parse(R"({"b":1,"a":"x"})");
  WalBatch b;
  b.add_insert("id", v, 2, &md);
  b.add_update("id", v, 2, true, nullptr);
  const std::string vec = u32(2) + std::string("\x00\x00\x80\x3f\x00\x00\x00\xc0", 8);  // 4 + 4 * dim bytes
  const std::string insert = record(1, field("id") + vec + field(R"({"a":"x","b":1})"));
  const std::string update = record(3, field("id") + "\x01" + vec + "\x01" + u32(0));
  EXPECT_EQ(b.bytes(), insert + update);
}

TEST_F(WalFormat, MissingOrEmptyLogHasNoEntries) {
  Wal wal(path());
  Result<std::vector<WalEntry>> r = wal.read();
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  write_bytes(path(), "");
  r = wal.read();
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  // An empty batch writes nothing, not even an empty file.
  std::filesystem::remove(path());
  ASSERT_TRUE(wal.append(WalBatch()).ok());
  EXPECT_FALSE(std::filesystem::exists(path()));
}

// Every cut of the file, at every byte of every field, returns exactly the
// records before the cut, and reading it changes nothing.
TEST_F(WalFormat, TornTailAtAnyByteReturnsTheWholeRecordsBefore) {
  const float v[3] = {1, 2, 3};
  const Json md = parse(R"({"k":"v"})");
  WalBatch b;
  b.add_insert("a", v, 3, &md);
  b.add_update("b", v, 3, true, &md);
  b.add_delete("c");
  const std::string full(b.bytes());
  std::vector<size_t> ends;
  {
    Wal wal(path());
    ASSERT_TRUE(wal.append(b).ok());
    size_t at = 0;
    while (at < full.size()) {
      at += 9 + (static_cast<unsigned char>(full[at + 1]) | static_cast<unsigned char>(full[at + 2]) << 8);
      ends.push_back(at);
    }
  }
  const std::vector<std::string> all = {"a", "b", "c"};
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    write_bytes(path(), full.substr(0, cut));
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut) ++whole;
    Wal wal(path());
    Result<std::vector<WalEntry>> r = wal.read();
    ASSERT_TRUE(r.ok()) << cut;
    EXPECT_EQ(testing::ids_of(*r), std::vector<std::string>(all.begin(), all.begin() + whole)) << cut;
    EXPECT_EQ(wal.last_read().good_end, whole == 0 ? 0 : ends[whole - 1]);
    EXPECT_EQ(wal.last_read().clean(), cut == 0 || cut == ends[whole == 0 ? 0 : whole - 1]);
    EXPECT_EQ(read_bytes(path()), full.substr(0, cut)) << "reading must not change the file";
  }
}

TEST_F(WalFormat, DamageStopsReadingEvenBeforeIntactRecords) {
  const std::string good = delete_record("one") + delete_record("two") + delete_record("three");
  const size_t second = delete_record("one").size();
  // A flipped payload byte, a flipped tag, a flipped CRC byte: all stop at record two.
  for (size_t at : {second + 6, second, second + 12}) {
    std::string bad = good;
    bad[at] ^= 0x01;
    write_bytes(path(), bad);
    EXPECT_EQ(read_ids(path()), std::vector<std::string>{"one"}) << at;
  }
  // A length that is not under the CRC: larger, smaller, or far past the end.
  for (uint32_t length : {8u, 6u, 0u, 0xFFFFFFFFu, 0x7FFFFFF0u}) {
    std::string bad = good;
    bad.replace(second + 1, 4, u32(length));
    write_bytes(path(), bad);
    EXPECT_EQ(read_ids(path()), std::vector<std::string>{"one"}) << length;
  }
  // A tail of zeros, as a crash can leave in a grown file, never validates.
  write_bytes(path(), delete_record("one") + std::string(64, '\0'));
  EXPECT_EQ(read_ids(path()), std::vector<std::string>{"one"});
}

TEST_F(WalFormat, MalformedPayloadBehindAGoodCrcSkipsOnlyThatEntry) {
  const std::string vec = u32(1) + u32(0);
  const std::vector<std::string> bad = {
      record(2, field("a\xff")),                            // id not UTF-8
      record(2, field("\xed\xa0\x80")),                     // an encoded surrogate
      record(2, field("\xc0\xaf")),                         // an overlong form
      record(1, field("x") + vec + field("{\"a\":")),       // metadata not JSON
      record(1, field("x") + vec + field("\"\xff\"")),      // metadata string not UTF-8
      record(1, field("x") + vec + field(std::string(200, '[') + std::string(200, ']'))),  // too deep
      record(1, field("x") + u32(5) + u32(0)),              // vector past the end
      record(2, u32(10) + "abc"),                           // string past the end
      record(1, field("x") + vec),                          // metadata field missing
      record(3, field("x")),                                // no vector presence byte
      record(3, field("x") + "\x00"),                       // no metadata presence byte
      record(9, field("x")),                                // unknown tag
      record(0, ""),                                        // unknown tag, empty payload
  };
  std::string file = delete_record("first");
  for (const std::string& r : bad) file += r + delete_record("ok");
  write_bytes(path(), file);
  Wal wal(path());
  Result<std::vector<WalEntry>> r = wal.read();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 1 + bad.size());
  EXPECT_EQ(wal.last_read().skipped, bad.size());
  EXPECT_TRUE(wal.last_read().clean()) << "skipped records are intact, not damage";
}

TEST_F(WalFormat, LenientWhereTheFormatLeavesRoom) {
  const std::string vec = u32(1) + std::string("\x00\x00\x80\x3f", 4);
  write_bytes(path(), record(2, field("a") + "trailing bytes") +     // ignored after the last field
                          record(3, field("b") + "\x07" + "\x05") +  // presence bytes other than 1: absent
                          record(1, field("c") + vec + u32(0)));     // metadata of length 0: none
  Wal wal(path());
  Result<std::vector<WalEntry>> r = wal.read();
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 3u);
  EXPECT_EQ((*r)[0].id, "a");
  EXPECT_FALSE((*r)[1].vector.has_value() || (*r)[1].metadata_change);
  EXPECT_FALSE((*r)[2].metadata.has_value());
  EXPECT_EQ((*r)[2].vector, std::vector<float>{1.0f});
}

TEST_F(WalFormat, BatchRefusesWhatCouldNotBeReadBack) {
  const float v[1] = {0};
  Json deep = Json::array();
  Json* inner = &deep;
  for (size_t i = 0; i < kMaxJsonDepth; ++i) {
    inner->push_back(Json::array());
    inner = &inner->back();
  }
  const Json bad_text = Json::object({{"s", std::string("\xff")}});
  WalBatch ok_then_bad_id;
  ok_then_bad_id.add_delete("fine");
  ok_then_bad_id.add_delete("bad\xc3");
  WalBatch too_deep;
  too_deep.add_insert("x", v, 1, &deep);
  WalBatch bad_metadata;
  bad_metadata.add_update("x", nullptr, 0, true, &bad_text);

  Wal wal(path());
  append_all(wal, {deletes({"before"})});
  for (const WalBatch* b : {&ok_then_bad_id, &too_deep, &bad_metadata}) {
    ASSERT_FALSE(b->status().ok());
    const Status s = wal.append(*b);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::kIo);
  }
  EXPECT_EQ(read_ids(path()), std::vector<std::string>{"before"}) << "a refused batch writes nothing";
}

}  // namespace
}  // namespace kelpo
