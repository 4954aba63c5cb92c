// Quantized traversal: the SQ8 copy of every slot's vector and the distance
// the graph walk measures on it.
//
// The approximate distance is the metric applied to the full query and the
// slot's dequantized vector x (x[j] = codes[j] * scale[j] + min[j]). The walk
// computes that quantity without materialising x: each query is prepared
// once so that the per-slot work is one pass over the code bytes, widened to
// floats in registers:
//   euclidean  sum (r[j] - codes[j] * scale[j])^2      with r = q - min
//   dot        -(sum w[j] * codes[j] + q.min)          with w = q * scale
//   cosine     from the same inner product, |q|^2 and |x|^2, the latter kept
//              per slot since the codes were written
// These are the written sums regrouped, so they differ from dequantize-then-
// measure only by float rounding. Only the walk uses them: every reported
// distance is measured again on the full vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/index/distance.h"
#include "engine/index/index_types.h"
#include "engine/index/scalar_quantizer.h"

namespace kelpo {

// The index's quantized state: the quantizer and dim codes per slot,
// slot-major, covering every slot including deleted ones; for cosine also
// the squared norm of each slot's dequantized vector.
class QuantizedSearch {
 public:
  QuantizedSearch(ScalarQuantizer quantizer, std::vector<uint8_t> codes, Metric metric);

  const ScalarQuantizer& quantizer() const { return quantizer_; }
  const std::vector<uint8_t>& codes() const { return codes_; }
  size_t dim() const { return quantizer_.dim; }
  Metric metric() const { return metric_; }
  const uint8_t* row(Slot s) const { return codes_.data() + static_cast<size_t>(s) * quantizer_.dim; }
  // Squared norms of the dequantized rows; empty unless the metric is cosine.
  const std::vector<float>& squared_norms() const { return squared_norms_; }

  // Codes a new slot (the next one) with the existing quantizer.
  void append(const float* vector);
  // Reserves room for n more slots (growing geometrically).
  void reserve_more(size_t n);
  // Whether n more slots fit without moving the codes or norms, so an append
  // can run beside walks over the slots already there.
  bool has_room(size_t n) const {
    return codes_.capacity() - codes_.size() >= n * quantizer_.dim &&
           (metric_ != Metric::kCosine || squared_norms_.capacity() - squared_norms_.size() >= n);
  }
  // Codes slot s again, for its new vector.
  void set(Slot s, const float* vector);

  // What the state costs by its defining parts: min and scale, then the codes.
  uint64_t bytes() const { return 8 * static_cast<uint64_t>(quantizer_.dim) + codes_.size(); }

 private:
  float dequantized_squared_norm(const uint8_t* row) const;

  ScalarQuantizer quantizer_;
  std::vector<uint8_t> codes_;
  Metric metric_;
  std::vector<float> squared_norms_;
};

// Distance from one query to stored code rows, shaped for the layer walks of
// beam_search.h. Preparing it costs O(dim); the state must outlive it.
class QuantizedDistance {
 public:
  QuantizedDistance(const float* query, const QuantizedSearch& state);

  float operator()(Slot s) const;

  void prefetch(Slot s) const {
    const char* p = reinterpret_cast<const char*>(codes_ + static_cast<size_t>(s) * dim_);
    for (size_t i = 0; i < prefetch_lines_; ++i) __builtin_prefetch(p + 64 * i);
  }

 private:
  const uint8_t* codes_;
  const float* scale_;
  const float* squared_norms_;
  float (*weighted_sum_)(const float*, const uint8_t*, size_t);
  float (*residual_)(const float*, const float*, const uint8_t*, size_t);
  size_t dim_;
  Metric metric_;
  std::vector<float> prepared_;  // r (euclidean) or w (dot, cosine)
  float query_dot_min_ = 0.0f;   // q . min
  float query_squared_norm_ = 0.0f;
  size_t prefetch_lines_;
};

// The per-slot sums, for tests and benchmarks. Each is the fastest variant
// this processor runs (chosen once) unless `portable` is set.
float quantized_weighted_sum(const float* w, const uint8_t* codes, size_t dim, bool portable = false);
float quantized_residual_l2(const float* r, const float* scale, const uint8_t* codes, size_t dim,
                            bool portable = false);

}  // namespace kelpo
