// The keyed hash behind the id map and the metadata index.
#include <random>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "engine/metadata/metadata_index.h"
#include "engine/util/seeded_hash.h"

namespace kelpo {
namespace {

// Every byte of every length counts, and so does every bit of the key: a
// dropped tail byte or an ignored key half would show as an unchanged hash.
TEST(SeededHash, EveryInputAndKeyBitMatters) {
  std::mt19937_64 rng(3);
  const HashKey key{rng(), rng()};
  for (size_t len = 0; len <= 40; ++len) {
    std::string s(len, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    const uint64_t h = siphash13(key, s.data(), s.size());
    for (size_t i = 0; i < len; ++i) {
      std::string t = s;
      t[i] = static_cast<char>(t[i] ^ (1 << (rng() % 8)));
      EXPECT_NE(siphash13(key, t.data(), t.size()), h) << "len " << len << " byte " << i;
    }
    EXPECT_NE(siphash13(key, s.data() , s.size()), siphash13(HashKey{key.k0 ^ 1, key.k1}, s.data(), s.size()));
    EXPECT_NE(siphash13(key, s.data(), s.size()), siphash13(HashKey{key.k0, key.k1 ^ (1ull << 63)}, s.data(), s.size()));
    // A trailing zero byte is a different string.
    std::string longer = s + '\0';
    EXPECT_NE(siphash13(key, longer.data(), longer.size()), h);
  }
  const HashKey& process = process_hash_key();
  EXPECT_EQ(&process, &process_hash_key());
  EXPECT_FALSE(process.k0 == 0 && process.k1 == 0);
}

// The metadata index's value hash agrees with json_equal across the number
// kinds and storages, so lookups find what indexing stored.
TEST(SeededHash, MetadataValuesHashAsTheyCompare) {
  MetadataIndex index;
  const Json stored = Json::parse(R"({"u":5,"n":-5,"f":-0.0,"s":"x","b":true})");
  index.index(1, &stored);
  EXPECT_NE(index.lookup("u", Json(int64_t{5})), nullptr);
  EXPECT_NE(index.lookup("u", Json(uint64_t{5})), nullptr);
  EXPECT_EQ(index.lookup("u", Json(5.0)), nullptr);
  EXPECT_NE(index.lookup("n", Json(int64_t{-5})), nullptr);
  EXPECT_NE(index.lookup("f", Json(0.0)), nullptr);
  EXPECT_NE(index.lookup("s", Json("x")), nullptr);
  EXPECT_NE(index.lookup("b", Json(true)), nullptr);
  EXPECT_EQ(index.lookup("b", Json(1)), nullptr);
}

}  // namespace
}  // namespace kelpo
