// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, final complement. The value "123456789" checks to 0xCBF43926.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpo {

// The CRC of n bytes.
uint32_t crc32(const void* data, size_t n);

// The CRC of the bytes already covered by `crc` followed by these n bytes, so
// that crc32_extend(crc32(a), b) == crc32(a + b).
uint32_t crc32_extend(uint32_t crc, const void* data, size_t n);

}  // namespace kelpo
