// The quantized distance kernels: portable, AVX2+FMA and AVX-512, chosen once
// per process. Each widens code bytes to floats, dequantizes them with a
// multiplication and a separate addition (this file is built without
// floating-point contraction so the two never fuse), and accumulates the
// metric's sums in f32 lanes.

#include "engine/index/quantized_search.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kelpo {
namespace {

// Cosine distance from the three sums, with the full-precision kernel's
// edges: two zero vectors are at 0, a zero inner product at 1, and rounding
// below 0 is clamped.
inline float cosine_from_sums(float ab, float qq, float bb) {
  if (qq == 0.0f && bb == 0.0f) return 0.0f;
  if (ab == 0.0f) return 1.0f;
  const double d = 1.0 - static_cast<double>(ab) / std::sqrt(static_cast<double>(qq) * static_cast<double>(bb));
  return d > 0.0 ? static_cast<float>(d) : 0.0f;
}

inline float dequantized(const uint8_t* c, const float* s, const float* m, size_t j) {
  const float scaled = static_cast<float>(c[j]) * s[j];
  return scaled + m[j];
}

float l2_portable(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float) {
  float acc = 0.0f;
  for (size_t j = 0; j < dim; ++j) {
    const float d = q[j] - dequantized(c, s, m, j);
    acc += d * d;
  }
  return acc;
}

float dot_portable(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float) {
  float ab = 0.0f;
  for (size_t j = 0; j < dim; ++j) ab += q[j] * dequantized(c, s, m, j);
  return -ab;
}

float cos_portable(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float qq) {
  float ab = 0.0f, bb = 0.0f;
  for (size_t j = 0; j < dim; ++j) {
    const float x = dequantized(c, s, m, j);
    ab += q[j] * x;
    bb += x * x;
  }
  return cosine_from_sums(ab, qq, bb);
}

#if defined(__x86_64__)

// --- AVX2 + FMA: 8 lanes, scalar tail ---

#define KELPO_AVX2 __attribute__((target("avx2,fma")))

KELPO_AVX2 inline __m256 load8_dequantized(const uint8_t* c, const float* s, const float* m, size_t j) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + j));
  const __m256 f = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
  return _mm256_add_ps(_mm256_mul_ps(f, _mm256_loadu_ps(s + j)), _mm256_loadu_ps(m + j));
}

KELPO_AVX2 inline float hsum256(__m256 v) {
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));
  x = _mm_add_ss(x, _mm_shuffle_ps(x, x, 0x55));
  return _mm_cvtss_f32(x);
}

KELPO_AVX2 float l2_avx2(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float) {
  __m256 acc = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 8 <= dim; j += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + j), load8_dequantized(c, s, m, j));
    acc = _mm256_fmadd_ps(d, d, acc);
  }
  float r = hsum256(acc);
  for (; j < dim; ++j) {
    const float d = q[j] - dequantized(c, s, m, j);
    r += d * d;
  }
  return r;
}

KELPO_AVX2 float dot_avx2(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float) {
  __m256 acc = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 8 <= dim; j += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), load8_dequantized(c, s, m, j), acc);
  float ab = hsum256(acc);
  for (; j < dim; ++j) ab += q[j] * dequantized(c, s, m, j);
  return -ab;
}

KELPO_AVX2 float cos_avx2(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float qq) {
  __m256 ab_acc = _mm256_setzero_ps();
  __m256 bb_acc = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 8 <= dim; j += 8) {
    const __m256 x = load8_dequantized(c, s, m, j);
    ab_acc = _mm256_fmadd_ps(_mm256_loadu_ps(q + j), x, ab_acc);
    bb_acc = _mm256_fmadd_ps(x, x, bb_acc);
  }
  float ab = hsum256(ab_acc), bb = hsum256(bb_acc);
  for (; j < dim; ++j) {
    const float x = dequantized(c, s, m, j);
    ab += q[j] * x;
    bb += x * x;
  }
  return cosine_from_sums(ab, qq, bb);
}

// --- AVX-512 (F + BW for byte masks): 16 lanes, masked tail ---

// g++ 12 reports the deliberately undefined registers inside its own
// intrinsics (masked loads, reductions) as uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define KELPO_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))

KELPO_AVX512 inline __m512 load16_dequantized(const uint8_t* c, const float* s, const float* m, size_t j,
                                               __mmask16 mask) {
  const __m128i bytes = _mm_maskz_loadu_epi8(mask, c + j);
  const __m512 f = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
  return _mm512_add_ps(_mm512_mul_ps(f, _mm512_maskz_loadu_ps(mask, s + j)), _mm512_maskz_loadu_ps(mask, m + j));
}

KELPO_AVX512 inline __mmask16 tail_mask(size_t remaining) {
  return remaining >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << remaining) - 1);
}

KELPO_AVX512 float l2_avx512(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float) {
  __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    const __m512 d0 = _mm512_sub_ps(_mm512_loadu_ps(q + j), load16_dequantized(c, s, m, j, 0xFFFF));
    const __m512 d1 = _mm512_sub_ps(_mm512_loadu_ps(q + j + 16), load16_dequantized(c, s, m, j + 16, 0xFFFF));
    acc0 = _mm512_fmadd_ps(d0, d0, acc0);
    acc1 = _mm512_fmadd_ps(d1, d1, acc1);
  }
  for (; j < dim; j += 16) {
    const __mmask16 mask = tail_mask(dim - j);
    const __m512 d = _mm512_sub_ps(_mm512_maskz_loadu_ps(mask, q + j), load16_dequantized(c, s, m, j, mask));
    acc0 = _mm512_fmadd_ps(d, d, acc0);
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1));
}

KELPO_AVX512 float dot_avx512(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim, float) {
  __m512 acc0 = _mm512_setzero_ps(), acc1 = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 32 <= dim; j += 32) {
    acc0 = _mm512_fmadd_ps(_mm512_loadu_ps(q + j), load16_dequantized(c, s, m, j, 0xFFFF), acc0);
    acc1 = _mm512_fmadd_ps(_mm512_loadu_ps(q + j + 16), load16_dequantized(c, s, m, j + 16, 0xFFFF), acc1);
  }
  for (; j < dim; j += 16) {
    const __mmask16 mask = tail_mask(dim - j);
    acc0 = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, q + j), load16_dequantized(c, s, m, j, mask), acc0);
  }
  return -_mm512_reduce_add_ps(_mm512_add_ps(acc0, acc1));
}

KELPO_AVX512 float cos_avx512(const float* q, const uint8_t* c, const float* s, const float* m, size_t dim,
                              float qq) {
  __m512 ab_acc = _mm512_setzero_ps(), bb_acc = _mm512_setzero_ps();
  for (size_t j = 0; j < dim; j += 16) {
    const __mmask16 mask = tail_mask(dim - j);
    const __m512 x = load16_dequantized(c, s, m, j, mask);
    ab_acc = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(mask, q + j), x, ab_acc);
    bb_acc = _mm512_fmadd_ps(x, x, bb_acc);
  }
  return cosine_from_sums(_mm512_reduce_add_ps(ab_acc), qq, _mm512_reduce_add_ps(bb_acc));
}

#pragma GCC diagnostic pop

#endif  // __x86_64__

struct KernelSet {
  QuantizedKernel cos, l2, dot;
};

KernelSet pick_kernels() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl")) {
    return {&cos_avx512, &l2_avx512, &dot_avx512};
  }
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return {&cos_avx2, &l2_avx2, &dot_avx2};
#endif
  return {&cos_portable, &l2_portable, &dot_portable};
}

QuantizedKernel select(const KernelSet& k, Metric metric) {
  switch (metric) {
    case Metric::kEuclidean:
      return k.l2;
    case Metric::kDotProduct:
      return k.dot;
    case Metric::kCosine:
    default:
      return k.cos;
  }
}

}  // namespace

QuantizedKernel quantized_kernel(Metric metric) {
  static const KernelSet kernels = pick_kernels();
  return select(kernels, metric);
}

QuantizedKernel quantized_kernel_portable(Metric metric) {
  return select(KernelSet{&cos_portable, &l2_portable, &dot_portable}, metric);
}

QuantizedDistance::QuantizedDistance(const float* query, const QuantizedSearch& state, Metric metric)
    : query_(query),
      codes_(state.codes.data()),
      scale_(state.quantizer.scale.data()),
      min_(state.quantizer.min.data()),
      dim_(state.quantizer.dim),
      qq_(metric == Metric::kCosine ? squared_norm(query, state.quantizer.dim) : 0.0f),
      kernel_(quantized_kernel(metric)),
      // A code row is dim bytes; prefetch up to 1 KiB of it.
      prefetch_lines_(std::min<size_t>((state.quantizer.dim + 63) / 64, 16)) {}

}  // namespace kelpo
