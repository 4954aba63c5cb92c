// vectors.sq8: the first 8 bytes choose the node count and dimension the
// graph would give; the rest is the file. Accepted files must have exactly
// the promised shape.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/storage/vector_files.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  std::string_view in(reinterpret_cast<const char*>(data), size);
  const uint64_t n = fuzz::take_u32(in);
  const uint64_t dim = fuzz::take_u32(in);
  Result<QuantizerFile> q = parse_quantizer_file(in, n, dim);
  if (!q.ok()) return 0;
  if (q->dim != dim || q->min.size() != dim || q->scale.size() != dim || q->codes.size() != n * dim) {
    __builtin_trap();
  }
  return 0;
}
