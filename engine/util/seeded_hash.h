// Keyed hashing for tables whose keys callers choose (ids, metadata fields and
// values). With a fixed, public hash function, keys crafted to collide turn
// every lookup into a scan of one long bucket chain; a key drawn at random once
// per process makes such keys impossible to compute in advance.
//
// The function is SipHash-1-3 (one compression round, three finalization
// rounds), a keyed pseudo-random function built for exactly this use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelpo {

// This process's random 128-bit hash key, drawn on first use.
struct HashKey {
  uint64_t k0, k1;
};
const HashKey& process_hash_key();

// SipHash-1-3 of the bytes under `key`.
uint64_t siphash13(const HashKey& key, const void* data, size_t size);

// Under the process key, for any byte string.
inline uint64_t seeded_hash(std::string_view bytes) {
  return siphash13(process_hash_key(), bytes.data(), bytes.size());
}

// For unordered containers keyed by strings; transparent, so string_view
// lookups find std::string keys without a copy.
struct SeededStringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return seeded_hash(s); }
  size_t operator()(const std::string& s) const { return seeded_hash(s); }
  size_t operator()(const char* s) const { return seeded_hash(s); }
};

}  // namespace kelpo
