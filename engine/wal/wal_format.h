// The write-ahead log file, wal.kelpo: a plain concatenation of records with no
// file header. The writer (wal_writer.cc) and the reader (wal_reader.cc) share
// these constants.
//
// Record:
//   offset 0      1 byte   tag: 1 insert, 2 delete, 3 update
//   offset 1      4 bytes  payload length L
//   offset 5      L bytes  payload
//   offset 5 + L  4 bytes  CRC-32 (IEEE 802.3) of the tag byte followed by the payload
//
// Every integer is unsigned 32-bit little-endian; every float IEEE-754 single
// precision, little-endian. Payload fields:
//   string    u32 byte length n, then n bytes of UTF-8 (no terminator)
//   vector    u32 element count c, then c floats
//   metadata  u32 byte length n, then the value as compact JSON text (no white
//             space, keys sorted); n = 0 means no metadata
// Payloads:
//   insert    string id, vector, metadata
//   delete    string id
//   update    string id; byte 1 + vector, or byte 0 (no vector);
//             byte 1 + metadata (n = 0 there means: clear it), or byte 0 (leave it)
//
// The length is not covered by the CRC. A reader therefore never trusts it
// further than the file reaches: a record that claims more bytes than remain
// is a torn or damaged tail, not an instruction to allocate that much.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelpo::wal {

enum class Tag : uint8_t { kInsert = 1, kDelete = 2, kUpdate = 3 };

inline constexpr size_t kHeaderSize = 5;   // tag + length
inline constexpr size_t kTrailerSize = 4;  // CRC
inline constexpr size_t kRecordOverhead = kHeaderSize + kTrailerSize;

// The reader's buffer.
inline constexpr size_t kReadBufferSize = 8192;

// Presence bytes of an update payload.
inline constexpr uint8_t kAbsent = 0;
inline constexpr uint8_t kPresent = 1;

// Appended to the log's path to name the file that keeps the bytes cut from a
// damaged tail before new records are appended ("wal.kelpo.corrupt").
inline constexpr const char* kCorruptSuffix = ".corrupt";

}  // namespace kelpo::wal
