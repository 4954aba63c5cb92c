// Quantized traversal: the SQ8 copy of every slot's vector and the distance
// the graph walk measures on it.
//
// The approximate distance is the metric applied to the full query and the
// slot's dequantized vector (codes[j] * scale[j] + min[j]). The kernels here
// compute that quantity without materialising the dequantized row: they widen
// the bytes, scale and offset them in registers and accumulate directly, so a
// walk reads one byte per component instead of four. Their sums may round
// differently from the full-precision kernels; only the walk uses them, and
// every reported distance is re-measured on the full vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/index/distance.h"
#include "engine/index/index_types.h"
#include "engine/index/scalar_quantizer.h"

namespace kelpo {

// The index's quantized state: the quantizer and dim codes per slot, slot-major,
// covering every slot including deleted ones.
struct QuantizedSearch {
  ScalarQuantizer quantizer;
  std::vector<uint8_t> codes;

  const uint8_t* row(Slot s) const { return codes.data() + static_cast<size_t>(s) * quantizer.dim; }
  uint8_t* row(Slot s) { return codes.data() + static_cast<size_t>(s) * quantizer.dim; }
  // What the state costs: min and scale, then the codes.
  uint64_t bytes() const { return 8 * static_cast<uint64_t>(quantizer.dim) + codes.size(); }
};

// q against one code row: (query, codes, scale, min, dim, squared norm of the
// query) -> distance.
using QuantizedKernel = float (*)(const float* q, const uint8_t* codes, const float* scale, const float* min,
                                  size_t dim, float qq);

// The fastest kernel this processor runs for the metric, chosen once.
QuantizedKernel quantized_kernel(Metric metric);
// The portable kernel (also the reference the SIMD ones are tested against).
QuantizedKernel quantized_kernel_portable(Metric metric);

// Distance from one query to stored code rows, shaped for the layer walks of
// beam_search.h. The query must outlive it.
class QuantizedDistance {
 public:
  QuantizedDistance(const float* query, const QuantizedSearch& state, Metric metric);

  float operator()(Slot s) const {
    return kernel_(query_, codes_ + static_cast<size_t>(s) * dim_, scale_, min_, dim_, qq_);
  }

  void prefetch(Slot s) const {
    const char* p = reinterpret_cast<const char*>(codes_ + static_cast<size_t>(s) * dim_);
    for (size_t i = 0; i < prefetch_lines_; ++i) __builtin_prefetch(p + 64 * i);
  }

 private:
  const float* query_;
  const uint8_t* codes_;
  const float* scale_;
  const float* min_;
  size_t dim_;
  float qq_;
  QuantizedKernel kernel_;
  size_t prefetch_lines_;
};

}  // namespace kelpo
