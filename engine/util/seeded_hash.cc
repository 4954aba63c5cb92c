#include "engine/util/seeded_hash.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <random>

namespace kelpo {

namespace {

HashKey draw_key() {
  HashKey key{};
  if (::getrandom(&key, sizeof key, 0) == static_cast<ssize_t>(sizeof key)) return key;
  // No kernel randomness (never seen in practice): the library's device,
  // mixed with the clock so two processes still differ.
  std::random_device rd;
  const uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  key.k0 = (uint64_t{rd()} << 32 | rd()) ^ t;
  key.k1 = (uint64_t{rd()} << 32 | rd()) ^ (t * 0x9e3779b97f4a7c15ull);
  return key;
}

inline uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
  uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace

const HashKey& process_hash_key() {
  static const HashKey key = draw_key();
  return key;
}

uint64_t siphash13(const HashKey& key, const void* data, size_t size) {
  State s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull, key.k0 ^ 0x6c7967656e657261ull,
          key.k1 ^ 0x7465646279746573ull};
  const auto* p = static_cast<const unsigned char*>(data);
  const size_t whole = size & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m;
    std::memcpy(&m, p + i, 8);  // little-endian hosts only, like the file formats
    s.absorb(m);
  }
  uint64_t last = uint64_t{size & 0xff} << 56;
  for (size_t i = 0; i < (size & 7); ++i) last |= uint64_t{p[whole + i]} << (8 * i);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace kelpo
