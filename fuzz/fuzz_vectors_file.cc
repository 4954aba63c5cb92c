// vectors.bin: headerless, so its shape comes from the graph. The input's
// first 8 bytes choose the node count and dimension; the rest is the file.
// A file of any other size must be refused; an accepted one must be readable
// to its last byte (reading past a mapping kills the process).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/storage/vector_files.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const uint64_t n = fuzz::take_u32(in) % 4096;
  const uint64_t dim = fuzz::take_u32(in);  // any value: huge ones must be refused, not allocated
  const std::string path = fuzz::scratch_dir("vectors") + "/vectors.bin";
  fuzz::write_file(path, in);
  Result<MappedVectors> mapped = map_vectors_file(FileOps::posix(), path, n, dim);
  if (!mapped.ok()) return 0;
  if (mapped->norms.size() != n || in.size() != vectors_file_size(n, dim)) __builtin_trap();
  volatile float sink = 0;
  const float* v = mapped->store.data();
  for (size_t i = 0; i < n * dim; ++i) sink = sink + v[i];
  for (float x : mapped->norms) sink = sink + x;
  return 0;
}
