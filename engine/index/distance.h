// The three metrics, single-pair distances through SimSIMD's runtime-dispatched
// kernels, the norm helpers behind the exact search's batch formulas, and the
// once-per-process brute-force hint.
//
// For every metric a smaller distance is closer. Euclidean is squared (no root
// anywhere in the system); dot product is the negated inner product.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kelpo {

enum class Metric : uint8_t {
  kCosine = 0,
  kEuclidean = 1,
  kDotProduct = 2,
};

// "cosine", "euclidean" or "dot_product".
const char* metric_name(Metric metric);
// Accepts "cosine", "euclidean", "l2", "dot", "dot_product" (case-sensitive).
std::optional<Metric> parse_metric(std::string_view name);
// A stored metric byte; nullopt above 2.
std::optional<Metric> metric_from_code(uint8_t code);

// The raw SimSIMD kernel shape: two f32 arrays and a length in, a double out.
using SimsimdKernel = void (*)(const float* a, const float* b, size_t n, double* result);

// A kernel bound once for one metric. Calling it is one indirect call into the
// dispatched SIMD routine plus the f32 rounding (and negation for dot product).
class DistanceFunction {
 public:
  explicit DistanceFunction(Metric metric);
  float operator()(const float* a, const float* b, size_t dim) const {
    double r;
    kernel_(a, b, dim, &r);
    const float f = static_cast<float>(r);
    return negate_ ? -f : f;
  }
  Metric metric() const { return metric_; }

 private:
  SimsimdKernel kernel_;
  Metric metric_;
  bool negate_;
};

// distance(a, b, metric) over dim floats each.
float distance(const float* a, const float* b, size_t dim, Metric metric);

// The inner product through the dispatched f32 dot kernel, rounded to f32.
float dot_product(const float* a, const float* b, size_t dim);

// Sum of v[i]*v[i] accumulated in f32, in index order, starting from -0.0.
float squared_norm(const float* v, size_t dim);
// sqrt(squared_norm(v)) in f32: the value the norm cache holds per slot.
float vector_norm(const float* v, size_t dim);

// For each row r < count: the f32-rounded inner product of query with
// data[r*dim .. (r+1)*dim). dim == 0 yields count zeros.
std::vector<float> gemv_dot_products(const float* query, const float* data, size_t dim, size_t count);

// The exact search's per-row distance from a row's dot product with the query
// and the cached norm. qq is squared_norm(query), qn its root (f32). These are
// not the same computation as distance() and may differ slightly from it.
inline float batch_distance(Metric metric, float dot, float norm, float qq, float qn) {
  switch (metric) {
    case Metric::kEuclidean:
      return (norm * norm + qq) - (dot + dot);
    case Metric::kDotProduct:
      return -dot;
    case Metric::kCosine:
    default:
      if (qq == 0.0f) return 1.0f;
      if (norm == 0.0f) return 1.0f;
      return 1.0f - dot / (norm * qn);
  }
}

// Cosine distance from an inner product and the two norms, with the per-pair
// kernel's conventions: two zero vectors are at 0, a zero inner product is at
// 1, and rounding never takes the result below 0. It rounds differently from
// the kernel (which refines a reciprocal square root), so the two may differ
// in the last bits.
inline float cosine_from_dot(float ab, float norm_a, float norm_b) {
  if (norm_a == 0.0f && norm_b == 0.0f) return 0.0f;
  if (ab == 0.0f) return 1.0f;
  const float r = 1.0f - ab / (norm_a * norm_b);
  return r > 0.0f ? r : 0.0f;
}

// Process-wide flag: set by the first exact (brute-force) search.
extern std::atomic<bool> BLAS_HINT_SHOWN;
// Swaps BLAS_HINT_SHOWN to true; the first caller in the process prints the
// four-line hint to standard error.
void show_brute_force_hint();

}  // namespace kelpo
