// Switching quantized traversal on and off, and the quantized layer walks.
// Construction never uses the codes: links are always chosen on full
// precision distances.

#include <string>

#include "engine/index/beam_search.h"
#include "engine/index/hnsw_index.h"
#include "engine/util/worker_pool.h"

namespace kelpo {

void HnswIndex::enable_quantized_search() {
  const size_t n = node_count();
  if (n == 0) return;
  ScalarQuantizer quantizer = ScalarQuantizer::train(vectors_.data(), n * dim_, dim_);
  std::vector<uint8_t> codes(n * dim_);
  pool_for_ranges(n, 1024, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      quantizer.quantize(vector(static_cast<Slot>(r)), codes.data() + r * dim_);
    }
  });
  quantized_ = std::make_unique<QuantizedSearch>(std::move(quantizer), std::move(codes), metric_);
}

Status HnswIndex::load_quantized(ScalarQuantizer quantizer, std::vector<uint8_t> codes) {
  if (quantizer.dim != dim_ || quantizer.min.size() != dim_ || quantizer.scale.size() != dim_) {
    return KelpoError::io("quantizer dimension " + std::to_string(quantizer.dim) + " does not match the index's " +
                          std::to_string(dim_));
  }
  const uint64_t expected = static_cast<uint64_t>(node_count()) * dim_;
  if (codes.size() != expected) {
    return KelpoError::io("quantized codes hold " + std::to_string(codes.size()) + " bytes, expected " +
                          std::to_string(expected));
  }
  // As with enabling: a quantizer trained on no vectors has no range to map
  // (its scales are infinite), so an empty index keeps traversal as it is.
  if (node_count() == 0) return Status();
  quantized_ = std::make_unique<QuantizedSearch>(std::move(quantizer), std::move(codes), metric_);
  return Status();
}

float HnswIndex::quantized_distance(const float* q, Slot s, float* scratch) const {
  quantized_->quantizer().dequantize(quantized_->row(s), scratch);
  return distance_(q, scratch, dim_);
}

Slot HnswIndex::search_layer_single_quantized(const float* q, Slot entry, size_t layer) const {
  ScratchPool::Lease scratch = lease_scratch();
  const QuantizedDistance dist(q, *quantized_);
  return greedy_walk(links_, dist, entry, layer, scratch->list.data());
}

std::vector<Neighbor> HnswIndex::search_layer_quantized(const float* q, Slot entry, size_t ef) const {
  ScratchPool::Lease scratch = lease_scratch();
  const QuantizedDistance dist(q, *quantized_);
  std::vector<Neighbor> out;
  beam_search(links_, 0, dist, entry, dist(entry), ef, AcceptAll{}, *scratch, out);
  return out;
}

}  // namespace kelpo
