#include "engine/index/distance.h"

#include <simsimd/simsimd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace kelpo {

std::atomic<bool> BLAS_HINT_SHOWN{false};

namespace {

// The dispatched kernels, looked up once per process. SimSIMD's own exported
// wrappers re-check a static pointer on every call; binding the best kernel
// here keeps that check out of the hot loops.
struct Kernels {
  SimsimdKernel cos = nullptr;
  SimsimdKernel l2sq = nullptr;
  SimsimdKernel dot = nullptr;

  Kernels() {
    cos = find(simsimd_metric_cos_k, as_kernel(&simsimd_cos_f32));
    l2sq = find(simsimd_metric_l2sq_k, as_kernel(&simsimd_l2sq_f32));
    dot = find(simsimd_metric_dot_k, as_kernel(&simsimd_dot_f32));
  }

  static SimsimdKernel find(simsimd_metric_kind_t kind, SimsimdKernel fallback) {
    simsimd_kernel_punned_t kernel = nullptr;
    simsimd_capability_t used = simsimd_cap_serial_k;
    simsimd_find_kernel_punned(kind, simsimd_datatype_f32_k, simsimd_capabilities(), simsimd_cap_any_k, &kernel,
                               &used);
    return kernel ? as_kernel(kernel) : fallback;
  }

  // The punned pointer's declared type differs from the kernel's real one;
  // copying the bits avoids a function-pointer cast warning.
  template <class F>
  static SimsimdKernel as_kernel(F f) {
    static_assert(sizeof(F) == sizeof(SimsimdKernel));
    SimsimdKernel k;
    std::memcpy(&k, &f, sizeof k);
    return k;
  }
};

const Kernels& kernels() {
  static const Kernels k;
  return k;
}

}  // namespace

const char* metric_name(Metric metric) {
  switch (metric) {
    case Metric::kCosine:
      return "cosine";
    case Metric::kEuclidean:
      return "euclidean";
    case Metric::kDotProduct:
      return "dot_product";
  }
  return "cosine";
}

std::optional<Metric> parse_metric(std::string_view name) {
  if (name == "cosine") return Metric::kCosine;
  if (name == "euclidean" || name == "l2") return Metric::kEuclidean;
  if (name == "dot" || name == "dot_product") return Metric::kDotProduct;
  return std::nullopt;
}

std::optional<Metric> metric_from_code(uint8_t code) {
  if (code > 2) return std::nullopt;
  return static_cast<Metric>(code);
}

DistanceFunction::DistanceFunction(Metric metric) : metric_(metric), negate_(metric == Metric::kDotProduct) {
  const Kernels& k = kernels();
  switch (metric) {
    case Metric::kCosine:
      kernel_ = k.cos;
      break;
    case Metric::kEuclidean:
      kernel_ = k.l2sq;
      break;
    case Metric::kDotProduct:
    default:
      kernel_ = k.dot;
      break;
  }
}

float distance(const float* a, const float* b, size_t dim, Metric metric) {
  return DistanceFunction(metric)(a, b, dim);
}

float dot_product(const float* a, const float* b, size_t dim) {
  double r;
  kernels().dot(a, b, dim, &r);
  return static_cast<float>(r);
}

float squared_norm(const float* v, size_t dim) {
  // Sequential on purpose: the cached norms are defined by this exact order.
  float sum = -0.0f;
  for (size_t i = 0; i < dim; ++i) sum += v[i] * v[i];
  return sum;
}

float vector_norm(const float* v, size_t dim) { return std::sqrt(squared_norm(v, dim)); }

std::vector<float> gemv_dot_products(const float* query, const float* data, size_t dim, size_t count) {
  std::vector<float> out(count, 0.0f);
  if (dim == 0) return out;
  const SimsimdKernel dot = kernels().dot;
  for (size_t r = 0; r < count; ++r) {
    double d;
    dot(query, data + r * dim, dim, &d);
    out[r] = static_cast<float>(d);
  }
  return out;
}

void show_brute_force_hint() {
  // Every exact scan of every thread comes here: a read keeps the shared
  // flag's cache line clean once the hint has been shown.
  if (BLAS_HINT_SHOWN.load(std::memory_order_relaxed) || BLAS_HINT_SHOWN.exchange(true)) return;
  std::fputs(
      "kelpo: brute-force search would be ~5x faster with BLAS. Install it with:\n"
      "  sudo apt install libopenblas-dev   # Debian/Ubuntu\n"
      "  sudo dnf install openblas-devel    # Fedora/RHEL\n"
      "  Then rebuild: pip install --force-reinstall kelpo\n",
      stderr);
}

}  // namespace kelpo
