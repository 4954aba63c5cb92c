#include "engine/util/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace kelpo {
namespace {

// The definition, one bit at a time.
uint32_t crc32_bitwise(const std::string& s) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : s) {
    crc ^= byte;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

TEST(Crc32, MatchesTheBitwiseDefinition) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32("", 0), 0u);
  std::mt19937 rng(7);
  for (size_t n : {1u, 3u, 8u, 63u, 1000u, 70000u}) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    ASSERT_EQ(crc32(s.data(), s.size()), crc32_bitwise(s)) << n;
    // Extending in two pieces gives the CRC of the whole.
    const size_t cut = n / 3;
    EXPECT_EQ(crc32_extend(crc32(s.data(), cut), s.data() + cut, n - cut), crc32_bitwise(s));
  }
}

}  // namespace
}  // namespace kelpo
