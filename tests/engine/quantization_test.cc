// SQ8 quantization: the quantizer's arithmetic, the fused distance kernels
// against dequantize-then-measure, codes kept in step with inserts and
// updates, and graph searches that walk the codes but report exact distances.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "engine/index/hnsw_index.h"
#include "engine/index/quantized_search.h"
#include "engine/index/scalar_quantizer.h"
#include "tests/engine/hnsw_test_util.h"

namespace kelpo {
namespace {

using test_util::brute_force;
using test_util::low_rank;
using test_util::recall;
using test_util::rows;

constexpr Metric kMetrics[] = {Metric::kCosine, Metric::kEuclidean, Metric::kDotProduct};

std::vector<uint8_t> codes_of(const ScalarQuantizer& q, std::vector<float> v) {
  std::vector<uint8_t> out(v.size());
  q.quantize(v.data(), out.data());
  return out;
}

TEST(ScalarQuantizer, TrainQuantizeDequantizeAsWritten) {
  const std::vector<float> training = {0, 0, 255, 510};
  const ScalarQuantizer q = ScalarQuantizer::train(training.data(), training.size(), 2);
  EXPECT_EQ(q.min, (std::vector<float>{0, 0}));
  EXPECT_EQ(q.scale, (std::vector<float>{1, 2}));

  // 100.5 and 1.5 are halves: both go away from zero (not to even).
  const std::vector<uint8_t> c = codes_of(q, {100.5f, 3.0f});
  EXPECT_EQ(c, (std::vector<uint8_t>{101, 2}));
  std::vector<float> back(2);
  q.dequantize(c.data(), back.data());
  EXPECT_EQ(back, (std::vector<float>{101, 4}));
  EXPECT_EQ(codes_of(q, {2.5f, 5.0f}), (std::vector<uint8_t>{3, 3}));

  // Outside the trained range saturates; NaN is 0.
  EXPECT_EQ(codes_of(q, {-7.0f, 600.0f}), (std::vector<uint8_t>{0, 255}));
  EXPECT_EQ(codes_of(q, {NAN, 1e30f}), (std::vector<uint8_t>{0, 255}));

  // A constant dimension gets scale 1 and code 0, which dequantizes exactly.
  const std::vector<float> flat = {5, 1, 5, 2, 5, 3};
  const ScalarQuantizer f = ScalarQuantizer::train(flat.data(), flat.size(), 2);
  EXPECT_EQ(f.scale[0], 1.0f);
  EXPECT_EQ(f.min[0], 5.0f);
  const std::vector<uint8_t> fc = codes_of(f, {5, 2});
  EXPECT_EQ(fc[0], 0);
  f.dequantize(fc.data(), back.data());
  EXPECT_EQ(back[0], 5.0f);

  // A batch is the rows' codes back to back; a partial last row is ignored.
  const std::vector<float> batch = {0, 0, 255, 510, 100.5f, 3, 9};
  EXPECT_EQ(q.quantize_batch(batch.data(), batch.size()), (std::vector<uint8_t>{0, 0, 255, 255, 101, 2}));

  // Scale is (max - min) / 255 in f32, and the dequantized value is the
  // product rounded to f32 before the minimum is added.
  const std::vector<float> odd = {-1.3f, 0.7f};
  const ScalarQuantizer o = ScalarQuantizer::train(odd.data(), odd.size(), 1);
  EXPECT_EQ(o.scale[0], (0.7f - -1.3f) / 255.0f);
  const uint8_t code = 77;
  float v;
  o.dequantize(&code, &v);
  const volatile float product = 77.0f * o.scale[0];
  EXPECT_EQ(v, product + -1.3f);
}

// The walk's distance is the metric applied to the dequantized row, computed
// from regrouped sums. It agrees with dequantize-then-measure up to rounding,
// on every metric and for lengths around each lane width and tail; and the
// processor's kernels agree with the portable ones.
TEST(QuantizedDistance, AgreesWithDequantizeThenMeasure) {
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  for (Metric metric : kMetrics) {
    for (size_t dim : {1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 48, 63, 64, 65, 100, 784}) {
      std::vector<float> training(50 * dim);
      for (float& x : training) x = 1.5f + g(rng);
      const ScalarQuantizer quantizer = ScalarQuantizer::train(training.data(), training.size(), dim);
      const QuantizedSearch state(quantizer, quantizer.quantize_batch(training.data(), training.size()), metric);
      std::vector<float> q(dim), row(dim);
      for (float& x : q) x = g(rng);
      const QuantizedDistance fast(q.data(), state);
      for (Slot s = 0; s < 50; ++s) {
        quantizer.dequantize(state.row(s), row.data());
        const float want = distance(q.data(), row.data(), dim, metric);
        // Rounding scales with the size of the summed terms, not the result.
        float magnitude = 0;
        for (size_t j = 0; j < dim; ++j) magnitude += std::fabs(q[j] * row[j]) + q[j] * q[j] + row[j] * row[j];
        const float tolerance = metric == Metric::kCosine ? 2e-3f : 1e-5f * magnitude;
        EXPECT_NEAR(fast(s), want, tolerance) << metric_name(metric) << " dim " << dim << " slot " << s;

        const float wsum = quantized_weighted_sum(q.data(), state.row(s), dim);
        EXPECT_NEAR(wsum, quantized_weighted_sum(q.data(), state.row(s), dim, /*portable=*/true), 1e-5f * magnitude);
        const float rsum = quantized_residual_l2(q.data(), quantizer.scale.data(), state.row(s), dim);
        EXPECT_NEAR(rsum, quantized_residual_l2(q.data(), quantizer.scale.data(), state.row(s), dim, true),
                    1e-5f * magnitude);
      }
    }
  }
}

TEST(QuantizedDistance, CosineEdgesMatchTheFullPrecisionMetric) {
  // Training on zeros and ones: code 0 is exactly 0.0.
  const std::vector<float> training = {0, 0, 0, 1, 1, 1};
  const ScalarQuantizer quantizer = ScalarQuantizer::train(training.data(), training.size(), 3);
  const QuantizedSearch state(quantizer, quantizer.quantize_batch(training.data(), training.size()),
                              Metric::kCosine);
  const std::vector<float> zero = {0, 0, 0}, ones = {1, 1, 1}, opposite = {-1, -1, -1};
  EXPECT_EQ(QuantizedDistance(zero.data(), state)(0), 0.0f);  // both zero
  EXPECT_EQ(QuantizedDistance(zero.data(), state)(1), 1.0f);  // one zero
  EXPECT_EQ(QuantizedDistance(ones.data(), state)(0), 1.0f);
  EXPECT_NEAR(QuantizedDistance(ones.data(), state)(1), 0.0f, 1e-6);
  EXPECT_GE(QuantizedDistance(ones.data(), state)(1), 0.0f);
  EXPECT_NEAR(QuantizedDistance(opposite.data(), state)(1), 2.0f, 1e-6);
}

// Codes follow every change of the vectors, with the quantizer trained at
// enabling: inserts (single and a parallel batch) append, updates overwrite.
TEST(QuantizedIndex, CodesFollowInsertsAndUpdatesWithTheFirstQuantizer) {
  HnswIndex index(4, Metric::kEuclidean, 8, 40);
  index.enable_quantized_search();
  EXPECT_FALSE(index.quantized_search());  // nothing to train on
  EXPECT_TRUE(index.load_quantized(ScalarQuantizer::train(nullptr, 0, 4), {}).ok());
  EXPECT_FALSE(index.quantized_search());  // nor to load onto
  EXPECT_EQ(index.quantized_bytes(), 0u);

  const std::vector<float> a = {0, 0, 0, 0}, b = {255, 510, 10, 10};
  index.insert(a.data());
  index.insert(b.data());
  index.mark_deleted(0);
  index.enable_quantized_search();  // trains on deleted slots too
  ASSERT_TRUE(index.quantized_search());
  const QuantizedSearch& state = *index.quantized();
  EXPECT_EQ(state.quantizer().min, (std::vector<float>{0, 0, 0, 0}));
  EXPECT_EQ(state.codes(), (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 255}));
  EXPECT_EQ(index.quantized_bytes(), 8u * 4 + 8);

  const std::vector<float> beyond = {-5, 1000, 6, 10};
  const Slot s = index.insert(beyond.data());
  EXPECT_EQ(std::vector<uint8_t>(state.row(s), state.row(s) + 4), (std::vector<uint8_t>{0, 255, 153, 255}));
  index.update_vector(1, a.data());
  EXPECT_EQ(std::vector<uint8_t>(state.row(1), state.row(1) + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(state.quantizer().scale, (std::vector<float>{1, 2, 10.0f / 255, 10.0f / 255}));  // never retrained

  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(0, 10);
  std::vector<float> batch(200 * 4);
  for (float& x : batch) x = u(rng);
  const std::vector<Slot> slots = index.batch_insert(rows(batch, 4));
  ASSERT_EQ(state.codes().size(), index.node_count() * 4u);
  for (size_t i = 0; i < slots.size(); ++i) {
    std::vector<uint8_t> want(4);
    state.quantizer().quantize(&batch[i * 4], want.data());
    ASSERT_EQ(std::vector<uint8_t>(state.row(slots[i]), state.row(slots[i]) + 4), want) << i;
  }

  // Enabling again trains afresh over the current vectors.
  index.enable_quantized_search();
  EXPECT_EQ(index.quantized()->quantizer().min[1], 0.0f);
  EXPECT_EQ(index.quantized()->quantizer().scale[1], 1000.0f / 255);

  index.disable_quantized_search();
  EXPECT_FALSE(index.quantized_search());
  EXPECT_EQ(index.quantized_bytes(), 0u);
}

// Cosine walks divide by the dequantized vector's norm, kept per slot: it
// must follow inserts and updates like the codes do.
TEST(QuantizedIndex, CosineNormsFollowTheCodes) {
  HnswIndex index(3, Metric::kCosine, 8, 40);
  const std::vector<float> a = {1, 2, 3}, b = {-1, 0, 4}, c = {0.5f, 9, -2};
  index.insert(a.data());
  index.insert(b.data());
  index.enable_quantized_search();
  index.insert(c.data());
  index.update_vector(0, b.data());
  const QuantizedSearch& state = *index.quantized();
  ASSERT_EQ(state.squared_norms().size(), 3u);
  std::vector<float> x(3);
  for (Slot s = 0; s < 3; ++s) {
    state.quantizer().dequantize(state.row(s), x.data());
    EXPECT_FLOAT_EQ(state.squared_norms()[s], x[0] * x[0] + x[1] * x[1] + x[2] * x[2]) << s;
  }
}

TEST(QuantizedIndex, LoadRefusesStateThatDoesNotFit) {
  HnswIndex index(3, Metric::kCosine, 8, 40);
  const std::vector<float> v = {1, 2, 3, 4, 5, 6};
  index.batch_insert(rows(v, 3));
  const ScalarQuantizer fits = ScalarQuantizer::train(v.data(), v.size(), 3);
  const ScalarQuantizer narrow = ScalarQuantizer::train(v.data(), v.size(), 2);
  EXPECT_FALSE(index.load_quantized(narrow, std::vector<uint8_t>(6)).ok());
  EXPECT_FALSE(index.load_quantized(fits, std::vector<uint8_t>(5)).ok());
  EXPECT_FALSE(index.load_quantized(fits, std::vector<uint8_t>(9)).ok());
  EXPECT_FALSE(index.quantized_search());
  ASSERT_TRUE(index.load_quantized(fits, fits.quantize_batch(v.data(), v.size())).ok());
  EXPECT_TRUE(index.quantized_search());
}

// A graph large enough for the graph path (10.4M floats in few nodes).
constexpr size_t kDim = 20000, kNodes = 520;

class QuantizedGraph : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data_ = new std::vector<float>(low_rank(kNodes + 20, kDim, 17));
    index_ = new HnswIndex(kDim, Metric::kCosine, 8, 40);
    const auto all = rows(*data_, kDim);
    index_->batch_insert(std::vector<const float*>(all.begin(), all.begin() + kNodes));
  }
  static void TearDownTestSuite() {
    delete index_;
    delete data_;
  }
  static const float* query(size_t i) { return data_->data() + (kNodes + i) * kDim; }

  static std::vector<float>* data_;
  static HnswIndex* index_;
};
std::vector<float>* QuantizedGraph::data_ = nullptr;
HnswIndex* QuantizedGraph::index_ = nullptr;

TEST_F(QuantizedGraph, WalksTheCodesAndReportsExactDistances) {
  HnswIndex& index = *index_;
  ASSERT_FALSE(index.uses_brute_force());
  std::vector<std::vector<Neighbor>> full(20);
  for (size_t i = 0; i < 20; ++i) full[i] = index.search(query(i), 10, 40);

  index.enable_quantized_search();
  ASSERT_TRUE(index.quantized_search());
  double quantized_recall = 0, full_recall = 0;
  for (size_t i = 0; i < 20; ++i) {
    const auto got = index.search(query(i), 10, 40);
    ASSERT_EQ(got.size(), 10u);
    for (size_t j = 0; j < got.size(); ++j) {
      // Re-ranked on the full vectors: exactly the metric's value, ascending.
      EXPECT_EQ(got[j].distance, distance(query(i), index.vector(got[j].slot), kDim, Metric::kCosine));
      if (j > 0) {
        EXPECT_LE(got[j - 1].distance, got[j].distance);
      }
    }
    const auto truth = brute_force(index, query(i), 10);
    quantized_recall += recall(got, truth);
    full_recall += recall(full[i], truth);
  }
  EXPECT_GE(quantized_recall / 20, full_recall / 20 - 0.05);

  // The layer walks measure on the codes: the beam is ordered by the
  // dequantized distance, and the greedy walk stops at a local minimum of it.
  std::vector<float> scratch(kDim);
  const auto beam = index.search_layer_quantized(query(0), index.entry_point(), 30);
  ASSERT_EQ(beam.size(), 30u);
  for (size_t j = 0; j < beam.size(); ++j) {
    EXPECT_NEAR(beam[j].distance, index.quantized_distance(query(0), beam[j].slot, scratch.data()), 1e-3);
    if (j > 0) {
      EXPECT_LE(beam[j - 1].distance, beam[j].distance);
    }
  }
  const QuantizedDistance approx(query(0), *index.quantized());
  const Slot local = index.search_layer_single_quantized(query(0), index.entry_point(), 0);
  for (Slot x : index.neighbors(local, 0)) EXPECT_GE(approx(x), approx(local));

  // Deleted slots never come back; the re-ranked beam still fills k.
  const std::vector<Neighbor> before = index.search(query(1), 10, 60);
  for (size_t j = 0; j < 3; ++j) index.mark_deleted(before[j].slot);
  const std::vector<Neighbor> after = index.search(query(1), 10, 60);
  EXPECT_EQ(after.size(), 10u);
  for (const Neighbor& n : after) EXPECT_FALSE(index.is_deleted(n.slot));

  // Disabling restores the full-precision walk, result for result.
  index.disable_quantized_search();
  for (size_t i = 2; i < 20; ++i) {
    const auto again = index.search(query(i), 10, 40);
    ASSERT_EQ(again.size(), full[i].size());
    for (size_t j = 0; j < again.size(); ++j) EXPECT_EQ(again[j].slot, full[i][j].slot);
  }
}

}  // namespace
}  // namespace kelpo
