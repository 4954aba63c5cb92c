// The quantized state and the walk's distance. The per-slot sums come in a
// portable, an AVX2+FMA and an AVX-512 variant, chosen once per process; each
// widens code bytes to floats and accumulates in several f32 lanes at once.

#include "engine/index/quantized_search.h"

#include <algorithm>
#include <cmath>

#include "engine/util/worker_pool.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kelpo {
namespace {

using WeightedSumFn = float (*)(const float* w, const uint8_t* c, size_t dim);
using ResidualFn = float (*)(const float* r, const float* s, const uint8_t* c, size_t dim);

float weighted_sum_portable(const float* w, const uint8_t* c, size_t dim) {
  float acc[4] = {0, 0, 0, 0};
  size_t j = 0;
  for (; j + 4 <= dim; j += 4) {
    for (size_t l = 0; l < 4; ++l) acc[l] += w[j + l] * static_cast<float>(c[j + l]);
  }
  for (; j < dim; ++j) acc[0] += w[j] * static_cast<float>(c[j]);
  return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

float residual_portable(const float* r, const float* s, const uint8_t* c, size_t dim) {
  float acc[4] = {0, 0, 0, 0};
  size_t j = 0;
  for (; j + 4 <= dim; j += 4) {
    for (size_t l = 0; l < 4; ++l) {
      const float d = r[j + l] - static_cast<float>(c[j + l]) * s[j + l];
      acc[l] += d * d;
    }
  }
  for (; j < dim; ++j) {
    const float d = r[j] - static_cast<float>(c[j]) * s[j];
    acc[0] += d * d;
  }
  return (acc[0] + acc[1]) + (acc[2] + acc[3]);
}

#if defined(__x86_64__)

// --- AVX2 + FMA: 8 lanes, four accumulators, scalar tail ---

#define KELPO_AVX2 __attribute__((target("avx2,fma")))

KELPO_AVX2 inline __m256 widen8(const uint8_t* c) {
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c))));
}

KELPO_AVX2 inline float hsum256(__m256 v) {
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));
  x = _mm_add_ss(x, _mm_shuffle_ps(x, x, 0x55));
  return _mm_cvtss_f32(x);
}

KELPO_AVX2 float weighted_sum_avx2(const float* w, const uint8_t* c, size_t dim) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(w + j), widen8(c + j), a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(w + j + 8), widen8(c + j + 8), a1);
    a2 = _mm256_fmadd_ps(_mm256_loadu_ps(w + j + 16), widen8(c + j + 16), a2);
    a3 = _mm256_fmadd_ps(_mm256_loadu_ps(w + j + 24), widen8(c + j + 24), a3);
  }
  for (; j + 8 <= dim; j += 8) a0 = _mm256_fmadd_ps(_mm256_loadu_ps(w + j), widen8(c + j), a0);
  float sum = hsum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  for (; j < dim; ++j) sum += w[j] * static_cast<float>(c[j]);
  return sum;
}

KELPO_AVX2 inline __m256 residual8(const float* r, const float* s, const uint8_t* c) {
  return _mm256_fnmadd_ps(widen8(c), _mm256_loadu_ps(s), _mm256_loadu_ps(r));
}

KELPO_AVX2 float residual_avx2(const float* r, const float* s, const uint8_t* c, size_t dim) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    const __m256 d0 = residual8(r + j, s + j, c + j);
    const __m256 d1 = residual8(r + j + 8, s + j + 8, c + j + 8);
    const __m256 d2 = residual8(r + j + 16, s + j + 16, c + j + 16);
    const __m256 d3 = residual8(r + j + 24, s + j + 24, c + j + 24);
    a0 = _mm256_fmadd_ps(d0, d0, a0);
    a1 = _mm256_fmadd_ps(d1, d1, a1);
    a2 = _mm256_fmadd_ps(d2, d2, a2);
    a3 = _mm256_fmadd_ps(d3, d3, a3);
  }
  for (; j + 8 <= dim; j += 8) {
    const __m256 d = residual8(r + j, s + j, c + j);
    a0 = _mm256_fmadd_ps(d, d, a0);
  }
  float sum = hsum256(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)));
  for (; j < dim; ++j) {
    const float d = r[j] - static_cast<float>(c[j]) * s[j];
    sum += d * d;
  }
  return sum;
}

// --- AVX-512 (F + BW + VL for byte masks): 16 lanes, four accumulators,
// one masked tail ---

// g++ 12 reports the deliberately undefined registers inside its own
// intrinsics (masked loads, reductions) as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define KELPO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

KELPO_AVX512 inline __m512 widen16(const uint8_t* c) {
  return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c))));
}

KELPO_AVX512 inline __m512 widen16_masked(const uint8_t* c, __mmask16 mask) {
  return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(mask, c)));
}

KELPO_AVX512 float weighted_sum_avx512(const float* w, const uint8_t* c, size_t dim) {
  __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 64 <= dim; j += 64) {
    a0 = _mm512_fmadd_ps(_mm512_loadu_ps(w + j), widen16(c + j), a0);
    a1 = _mm512_fmadd_ps(_mm512_loadu_ps(w + j + 16), widen16(c + j + 16), a1);
    a2 = _mm512_fmadd_ps(_mm512_loadu_ps(w + j + 32), widen16(c + j + 32), a2);
    a3 = _mm512_fmadd_ps(_mm512_loadu_ps(w + j + 48), widen16(c + j + 48), a3);
  }
  for (; j + 16 <= dim; j += 16) a1 = _mm512_fmadd_ps(_mm512_loadu_ps(w + j), widen16(c + j), a1);
  if (j < dim) {
    const __mmask16 mask = static_cast<__mmask16>((1u << (dim - j)) - 1);
    a2 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, w + j), widen16_masked(c + j, mask), a2);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
}

KELPO_AVX512 inline __m512 residual16(const float* r, const float* s, const uint8_t* c) {
  return _mm512_fnmadd_ps(widen16(c), _mm512_loadu_ps(s), _mm512_loadu_ps(r));
}

KELPO_AVX512 float residual_avx512(const float* r, const float* s, const uint8_t* c, size_t dim) {
  __m512 a0 = _mm512_setzero_ps(), a1 = _mm512_setzero_ps(), a2 = _mm512_setzero_ps(), a3 = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 64 <= dim; j += 64) {
    const __m512 d0 = residual16(r + j, s + j, c + j);
    const __m512 d1 = residual16(r + j + 16, s + j + 16, c + j + 16);
    const __m512 d2 = residual16(r + j + 32, s + j + 32, c + j + 32);
    const __m512 d3 = residual16(r + j + 48, s + j + 48, c + j + 48);
    a0 = _mm512_fmadd_ps(d0, d0, a0);
    a1 = _mm512_fmadd_ps(d1, d1, a1);
    a2 = _mm512_fmadd_ps(d2, d2, a2);
    a3 = _mm512_fmadd_ps(d3, d3, a3);
  }
  for (; j + 16 <= dim; j += 16) {
    const __m512 d = residual16(r + j, s + j, c + j);
    a1 = _mm512_fmadd_ps(d, d, a1);
  }
  if (j < dim) {
    const __mmask16 mask = static_cast<__mmask16>((1u << (dim - j)) - 1);
    const __m512 d = _mm512_fnmadd_ps(widen16_masked(c + j, mask), _mm512_maskz_loadu_ps(mask, s + j),
                                      _mm512_maskz_loadu_ps(mask, r + j));
    a2 = _mm512_fmadd_ps(d, d, a2);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)));
}

#pragma GCC diagnostic pop

#endif  // __x86_64__

struct Kernels {
  WeightedSumFn weighted_sum;
  ResidualFn residual;
};

Kernels pick_kernels() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl")) {
    return {&weighted_sum_avx512, &residual_avx512};
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return {&weighted_sum_avx2, &residual_avx2};
#endif
  return {&weighted_sum_portable, &residual_portable};
}

const Kernels& kernels() {
  static const Kernels k = pick_kernels();
  return k;
}

// Cosine distance from the three sums, with the full-precision kernel's
// edges: two zero vectors are at 0, a zero inner product at 1, and rounding
// below 0 is clamped.
inline float cosine_from_sums(float ab, float qq, float bb) {
  if (qq == 0.0f && bb == 0.0f) return 0.0f;
  if (ab == 0.0f) return 1.0f;
  const double d = 1.0 - static_cast<double>(ab) / std::sqrt(static_cast<double>(qq) * static_cast<double>(bb));
  return d > 0.0 ? static_cast<float>(d) : 0.0f;
}

}  // namespace

float quantized_weighted_sum(const float* w, const uint8_t* codes, size_t dim, bool portable) {
  return portable ? weighted_sum_portable(w, codes, dim) : kernels().weighted_sum(w, codes, dim);
}

float quantized_residual_l2(const float* r, const float* scale, const uint8_t* codes, size_t dim, bool portable) {
  return portable ? residual_portable(r, scale, codes, dim) : kernels().residual(r, scale, codes, dim);
}

// --- QuantizedSearch ---

QuantizedSearch::QuantizedSearch(ScalarQuantizer quantizer, std::vector<uint8_t> codes, Metric metric)
    : quantizer_(std::move(quantizer)), codes_(std::move(codes)), metric_(metric) {
  if (metric_ != Metric::kCosine) return;
  const size_t dim = quantizer_.dim;
  const size_t n = dim == 0 ? 0 : codes_.size() / dim;
  squared_norms_.resize(n);
  pool_for_ranges(n, 4096, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      squared_norms_[r] = dequantized_squared_norm(codes_.data() + r * dim);
    }
  });
}

float QuantizedSearch::dequantized_squared_norm(const uint8_t* row) const {
  float sum = 0.0f;
  for (size_t j = 0; j < quantizer_.dim; ++j) {
    const float x = static_cast<float>(row[j]) * quantizer_.scale[j] + quantizer_.min[j];
    sum += x * x;
  }
  return sum;
}

void QuantizedSearch::reserve_more(size_t n) {
  auto ahead = [](auto& v, size_t more) {
    const size_t needed = v.size() + more;
    if (needed > v.capacity()) v.reserve(std::max(needed, v.capacity() + v.capacity() / 2));
  };
  ahead(codes_, n * quantizer_.dim);
  if (metric_ == Metric::kCosine) ahead(squared_norms_, n);
}

void QuantizedSearch::append(const float* vector) {
  // Within the reserved room this moves no code a walk may be reading.
  const size_t at = codes_.size();
  codes_.resize(at + quantizer_.dim);
  quantizer_.quantize(vector, codes_.data() + at);
  if (metric_ == Metric::kCosine) squared_norms_.push_back(dequantized_squared_norm(codes_.data() + at));
}

void QuantizedSearch::set(Slot s, const float* vector) {
  uint8_t* row = codes_.data() + static_cast<size_t>(s) * quantizer_.dim;
  quantizer_.quantize(vector, row);
  if (metric_ == Metric::kCosine) squared_norms_[s] = dequantized_squared_norm(row);
}

// --- QuantizedDistance ---

QuantizedDistance::QuantizedDistance(const float* query, const QuantizedSearch& state)
    : codes_(state.codes().data()),
      scale_(state.quantizer().scale.data()),
      squared_norms_(state.squared_norms().data()),
      weighted_sum_(kernels().weighted_sum),
      residual_(kernels().residual),
      dim_(state.dim()),
      metric_(state.metric()),
      prepared_(state.dim()),
      // A code row is dim bytes; prefetch up to 1 KiB of it.
      prefetch_lines_(std::min<size_t>((state.dim() + 63) / 64, 16)) {
  const std::vector<float>& min = state.quantizer().min;
  if (metric_ == Metric::kEuclidean) {
    for (size_t j = 0; j < dim_; ++j) prepared_[j] = query[j] - min[j];
    return;
  }
  for (size_t j = 0; j < dim_; ++j) prepared_[j] = query[j] * scale_[j];
  query_dot_min_ = dot_product(query, min.data(), dim_);
  if (metric_ == Metric::kCosine) query_squared_norm_ = squared_norm(query, dim_);
}

float QuantizedDistance::operator()(Slot s) const {
  const uint8_t* row = codes_ + static_cast<size_t>(s) * dim_;
  switch (metric_) {
    case Metric::kEuclidean:
      return residual_(prepared_.data(), scale_, row, dim_);
    case Metric::kDotProduct:
      return -(weighted_sum_(prepared_.data(), row, dim_) + query_dot_min_);
    case Metric::kCosine:
    default:
      return cosine_from_sums(weighted_sum_(prepared_.data(), row, dim_) + query_dot_min_, query_squared_norm_,
                              squared_norms_[s]);
  }
}

}  // namespace kelpo
