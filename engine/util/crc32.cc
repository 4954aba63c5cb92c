#include "engine/util/crc32.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace kelpo {

// zlib's table-driven routine computes the same polynomial, initial value and
// final complement as the bit-by-bit definition, several bytes per step.
uint32_t crc32_extend(uint32_t crc, const void* data, size_t n) {
  const auto* p = static_cast<const Bytef*>(data);
  uLong c = crc;
  // zlib takes a 32-bit length; feed larger buffers in pieces.
  constexpr size_t kChunk = std::numeric_limits<uInt>::max();
  while (n > 0) {
    const size_t len = std::min(n, kChunk);
    c = ::crc32(c, p, static_cast<uInt>(len));
    p += len;
    n -= len;
  }
  return static_cast<uint32_t>(c);
}

uint32_t crc32(const void* data, size_t n) { return crc32_extend(0, data, n); }

}  // namespace kelpo
