#include "engine/storage/vector_files.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace kelpo {

namespace {

std::string str(uint64_t v) { return std::to_string(v); }

// a * b, or the largest u64 when the product does not fit (no real file has
// that size, so a saturated expectation is never met).
uint64_t mul_saturating(uint64_t a, uint64_t b) {
  uint64_t out;
  if (__builtin_mul_overflow(a, b, &out)) return std::numeric_limits<uint64_t>::max();
  return out;
}

}  // namespace

uint64_t vectors_file_size(uint64_t node_count, uint64_t dim) {
  return mul_saturating(mul_saturating(node_count, dim + 1), 4);
}

Status check_vectors_file_size(uint64_t size, uint64_t node_count, uint64_t dim) {
  const uint64_t expected = vectors_file_size(node_count, dim);
  if (size == expected) return Status::OK();
  return KelpoError::io("vectors file holds " + str(size) + " bytes, but " + str(node_count) + " slots of dimension " +
                        str(dim) + " need exactly " + str(expected));
}

Status write_vectors_file(BufferedFileWriter& out, std::span<const float> vectors, std::span<const float> norms,
                          size_t dim) {
  if (vectors.size() != mul_saturating(norms.size(), dim)) {
    return KelpoError::io("refusing to save " + str(vectors.size()) + " vector floats beside " + str(norms.size()) +
                          " norms of dimension " + str(dim));
  }
  out.append_f32s(vectors.data(), vectors.size());
  out.append_f32s(norms.data(), norms.size());
  return out.status();
}

namespace {

// The vectors read into memory, for files the operating system cannot map
// (an in-memory file system in tests).
Result<MappedVectors> read_vectors_file(FileOps& ops, const std::string& path, uint64_t node_count, uint64_t dim) {
  Result<std::string> bytes = ops.read_file(path);
  if (!bytes.ok()) return bytes.error();
  KELPO_RETURN_IF_ERROR(check_vectors_file_size(bytes->size(), node_count, dim));
  const size_t floats = static_cast<size_t>(node_count * dim);
  FloatArray vectors(floats);
  std::vector<float> norms(static_cast<size_t>(node_count));
  if (floats > 0) std::memcpy(vectors.data(), bytes->data(), floats * sizeof(float));
  if (!norms.empty()) std::memcpy(norms.data(), bytes->data() + floats * sizeof(float), norms.size() * sizeof(float));
  return MappedVectors{VectorStore(std::move(vectors)), std::move(norms)};
}

// A search reads rows all over the file. Left to its own page faults, the
// first search after an open waits on one fault per row it touches: a disk
// read each when the page cache is cold (110-170 ms at 300k rows of 128),
// and still a fault per few rows when it is warm. So the open asks the
// kernel for the whole file and maps it in, while the other threads of the
// open build the tables. Linux reads no more than the device's read-ahead
// window per request (often 128 KiB), so the request is made window by
// window. A file too large to stay cached beside everything else (over a
// quarter of the machine's memory) is left to the searches' own faults.
// Only advice: a refusal changes nothing.
void read_ahead(const float* data, size_t bytes) {
  constexpr size_t kWindow = size_t{128} << 10;
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0 && bytes / static_cast<size_t>(page) > static_cast<size_t>(pages) / 4) return;
  char* base = const_cast<char*>(reinterpret_cast<const char*>(data));
  for (size_t at = 0; at < bytes; at += kWindow) {
    if (::madvise(base + at, std::min(kWindow, bytes - at), MADV_WILLNEED) != 0) return;
  }
#ifdef MADV_POPULATE_READ
  (void)::madvise(base, bytes, MADV_POPULATE_READ);  // waits for the reads; kernels before 5.14 refuse it
#endif
}

}  // namespace

Result<MappedVectors> map_vectors_file(FileOps& ops, const std::string& path, uint64_t node_count, uint64_t dim) {
  if (!ops.mappable()) return read_vectors_file(ops, path, node_count, dim);
  Result<uint64_t> size = ops.file_size(path);
  if (!size.ok()) return size.error();
  KELPO_RETURN_IF_ERROR(check_vectors_file_size(*size, node_count, dim));
  Result<VectorStore> store = VectorStore::map_file(path, static_cast<size_t>(node_count * dim));
  if (!store.ok()) return store.error();
  MappedVectors out{std::move(store).value(), {}};
  if (out.store.data() != nullptr && out.store.size() > 0) {
    read_ahead(out.store.data(), static_cast<size_t>(vectors_file_size(node_count, dim)));
  }
  out.norms = out.store.mapped_norms();
  if (out.norms.size() != node_count) {
    return KelpoError::io("vectors file changed size while it was being opened");
  }
  return out;
}

Status write_quantizer_file(BufferedFileWriter& out, std::span<const float> min, std::span<const float> scale,
                            std::span<const uint8_t> codes) {
  const size_t d = min.size();
  if (d == 0 || d > std::numeric_limits<uint32_t>::max() || scale.size() != d || codes.size() % d != 0) {
    return KelpoError::io("refusing to save a quantizer of " + str(min.size()) + " minima, " + str(scale.size()) +
                          " scales and " + str(codes.size()) + " codes");
  }
  out.append_u32(static_cast<uint32_t>(d));
  out.append_f32s(min.data(), d);
  out.append_f32s(scale.data(), d);
  out.append(codes.data(), codes.size());
  return out.status();
}

Result<QuantizerFile> parse_quantizer_file(std::string_view bytes, uint64_t node_count, uint64_t dim) {
  auto truncated = [] { return KelpoError::io("failed to fill whole buffer"); };
  if (bytes.size() < 4) return truncated();
  QuantizerFile q;
  std::memcpy(&q.dim, bytes.data(), 4);  // little-endian host
  const uint64_t d = q.dim;
  const uint64_t rest = bytes.size() - 4;
  if (rest / 8 < d) return truncated();
  if (d != dim) {
    return KelpoError::io("quantizer file has dimension " + str(d) + ", the database " + str(dim));
  }
  q.min.resize(d);
  q.scale.resize(d);
  if (d > 0) {
    std::memcpy(q.min.data(), bytes.data() + 4, d * 4);
    std::memcpy(q.scale.data(), bytes.data() + 4 + 4 * d, d * 4);
  }
  const uint64_t code_bytes = rest - 8 * d;
  const uint64_t needed = mul_saturating(node_count, d);
  if (code_bytes < needed) {
    return KelpoError::io("quantizer file holds " + str(code_bytes) + " code bytes, but " + str(node_count) +
                          " slots of dimension " + str(d) + " need " + str(needed));
  }
  const char* codes = bytes.data() + 4 + 8 * d;
  q.codes.assign(codes, codes + needed);
  return q;
}

}  // namespace kelpo
