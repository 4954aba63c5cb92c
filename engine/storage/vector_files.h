// The vector files of a saved database. Neither has a header: their shapes
// follow from the graph file's dim and node count n.
//
// vectors.bin: n * dim floats (slot s at float s * dim), then n norms; raw
// little-endian f32, exactly 4 * n * (dim + 1) bytes. Opened by mapping.
//
// vectors.sq8: d (u32, equal to dim), d floats min, d floats scale, then the
// codes: one byte per component, slot-major, n * d bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/vector_store.h"
#include "engine/storage/file_ops.h"
#include "engine/util/error.h"

namespace kelpo {

// 4 * n * (dim + 1), the only size a vectors file for n slots may have.
// Computed without overflow for any 32-bit n and dim.
uint64_t vectors_file_size(uint64_t node_count, uint64_t dim);

// Fails with an io error unless `size` is exactly vectors_file_size(n, dim):
// a shorter file cannot hold every slot's vector and norm, and a longer one
// belongs to some other graph.
Status check_vectors_file_size(uint64_t size, uint64_t node_count, uint64_t dim);

// Writes vectors.bin's contents: `vectors` (node_count * dim floats) then
// `norms` (node_count floats). Does not flush.
Status write_vectors_file(BufferedFileWriter& out, std::span<const float> vectors, std::span<const float> norms,
                          size_t dim);

// A vectors file mapped for an index of node_count slots of dimension dim:
// the store (Mapped, node_count * dim floats) and the norms copied out of
// the file's tail.
struct MappedVectors {
  VectorStore store;
  std::vector<float> norms;
};

// Checks the file's size against the graph, then maps it. The size is
// checked again on the mapping, so a file that changed in between is refused
// too. Files `ops` cannot map (!ops.mappable()) are read into an Owned store.
Result<MappedVectors> map_vectors_file(FileOps& ops, const std::string& path, uint64_t node_count, uint64_t dim);

// A parsed vectors.sq8.
struct QuantizerFile {
  uint32_t dim = 0;
  std::vector<float> min;    // dim values
  std::vector<float> scale;  // dim values
  std::vector<uint8_t> codes;  // exactly node_count * dim bytes
};

// Writes vectors.sq8's contents. `codes` must hold a whole number of rows of
// dim bytes. Does not flush.
Status write_quantizer_file(BufferedFileWriter& out, std::span<const float> min, std::span<const float> scale,
                            std::span<const uint8_t> codes);

// Parses a whole vectors.sq8 for an index of node_count slots of dimension
// dim. Fewer than 4 + 8d bytes: "failed to fill whole buffer". A d other than
// dim, or fewer than node_count * dim code bytes, is refused. Codes beyond
// node_count * dim are dropped, so the codes of slots added later line up
// with their slots.
Result<QuantizerFile> parse_quantizer_file(std::string_view bytes, uint64_t node_count, uint64_t dim);

}  // namespace kelpo
