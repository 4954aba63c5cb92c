#include "engine/index/distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace kelpo {
namespace {

TEST(Distance, EuclideanIsSquaredAndDotIsNegated) {
  const float a[] = {0, 0}, b[] = {3, 4};
  EXPECT_EQ(distance(a, b, 2, Metric::kEuclidean), 25.0f);
  const float c[] = {1, 2}, d[] = {3, 4};
  EXPECT_EQ(distance(c, d, 2, Metric::kDotProduct), -11.0f);
}

TEST(Distance, CosineEdges) {
  const float zero[] = {0, 0, 0}, x[] = {1, 2, 3}, neg[] = {-1, -2, -3}, orth[] = {3, 0, -1};
  EXPECT_EQ(distance(zero, zero, 3, Metric::kCosine), 0.0f);
  EXPECT_EQ(distance(zero, x, 3, Metric::kCosine), 1.0f);
  EXPECT_EQ(distance(x, zero, 3, Metric::kCosine), 1.0f);
  EXPECT_EQ(distance(x, orth, 3, Metric::kCosine), 1.0f);  // a.b exactly 0
  const float self = distance(x, x, 3, Metric::kCosine);
  EXPECT_GE(self, 0.0f);  // clamped, never negative
  EXPECT_LT(self, 1e-3f);
  EXPECT_NEAR(distance(x, neg, 3, Metric::kCosine), 2.0f, 1e-3f);
}

TEST(Distance, NormAccumulatesInIndexOrderInFloat) {
  // 1e8 + 1 + 1 ... in f32 loses the small terms when summed in order; a
  // pairwise or double sum would not.
  std::vector<float> v = {1e4f, 1.0f, 1.0f, 1.0f, 1.0f};
  float expected = -0.0f;
  for (float x : v) expected += x * x;
  EXPECT_EQ(squared_norm(v.data(), v.size()), expected);
  EXPECT_EQ(vector_norm(v.data(), v.size()), std::sqrt(expected));
  EXPECT_TRUE(std::signbit(squared_norm(nullptr, 0)));  // starts from -0.0
}

TEST(Distance, GemvMatchesPerRowDotAndZeroDimGivesZeros) {
  std::mt19937 rng(7);
  std::normal_distribution<float> g;
  const size_t dim = 37, count = 11;
  std::vector<float> data(dim * count), q(dim);
  for (auto& x : data) x = g(rng);
  for (auto& x : q) x = g(rng);
  const auto dots = gemv_dot_products(q.data(), data.data(), dim, count);
  ASSERT_EQ(dots.size(), count);
  for (size_t r = 0; r < count; ++r) {
    EXPECT_EQ(dots[r], dot_product(q.data(), data.data() + r * dim, dim));
    EXPECT_EQ(-dots[r], distance(q.data(), data.data() + r * dim, dim, Metric::kDotProduct));
  }
  EXPECT_EQ(gemv_dot_products(q.data(), data.data(), 0, 3), std::vector<float>(3, 0.0f));
}

TEST(Distance, BatchFormulasAgreeWithPairDistances) {
  std::mt19937 rng(11);
  std::normal_distribution<float> g;
  const size_t dim = 64;
  std::vector<float> a(dim), q(dim);
  for (auto& x : a) x = g(rng);
  for (auto& x : q) x = g(rng);
  const float dot = dot_product(q.data(), a.data(), dim);
  const float qq = squared_norm(q.data(), dim), qn = std::sqrt(qq), n = vector_norm(a.data(), dim);
  for (Metric m : {Metric::kCosine, Metric::kEuclidean, Metric::kDotProduct}) {
    EXPECT_NEAR(batch_distance(m, dot, n, qq, qn), distance(q.data(), a.data(), dim, m), 1e-3f);
  }
  // A zero query gives 1 for every row on the batch path (0 through distance()).
  EXPECT_EQ(batch_distance(Metric::kCosine, 0.0f, 0.0f, 0.0f, 0.0f), 1.0f);
  EXPECT_EQ(batch_distance(Metric::kCosine, 0.0f, 0.0f, qq, qn), 1.0f);
}

TEST(Distance, MetricNamesAndCodes) {
  EXPECT_EQ(parse_metric("l2"), Metric::kEuclidean);
  EXPECT_EQ(parse_metric("dot"), Metric::kDotProduct);
  EXPECT_EQ(parse_metric("L2"), std::nullopt);
  EXPECT_STREQ(metric_name(Metric::kDotProduct), "dot_product");
  EXPECT_EQ(metric_from_code(3), std::nullopt);
}

TEST(Distance, BruteForceHintPrintsOncePerProcess) {
  BLAS_HINT_SHOWN.store(false);
  testing::internal::CaptureStderr();
  show_brute_force_hint();
  show_brute_force_hint();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "kelpo: brute-force search would be ~5x faster with BLAS. Install it with:\n"
            "  sudo apt install libopenblas-dev   # Debian/Ubuntu\n"
            "  sudo dnf install openblas-devel    # Fedora/RHEL\n"
            "  Then rebuild: pip install --force-reinstall kelpo\n");
  EXPECT_TRUE(BLAS_HINT_SHOWN.load());
}

}  // namespace
}  // namespace kelpo
