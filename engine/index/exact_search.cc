// The exact (brute-force) path of search(), for one query and for many.
//
// One query makes one pass over the stored vectors with a bounded selection
// of the k nearest, so it reads each float once and allocates only O(k).
// Many queries are taken in blocks: each worker runs its block of queries
// against one cache-sized tile of rows at a time, so a row is fetched from
// memory once per block instead of once per query, and several dot products
// share every load.
//
// Every pair's dot product is computed by the same sequence of operations
// whichever way the work is cut (see DotTile), so a query's results from the
// batch are bit for bit those of the single-query path.

#include <immintrin.h>
#include <algorithm>
#include <cmath>

#include "engine/index/hnsw_index.h"
#include "engine/util/worker_pool.h"

namespace kelpo {

namespace {

// Keeps the k smallest distances seen: a max-heap of at most k entries. Which
// of several pairs tied at the k-th distance survives is arbitrary.
class TopK {
 public:
  explicit TopK(size_t k, size_t expected) : k_(k) { heap_.reserve(std::min(k, expected)); }

  // Inline, so the common case (the heap is full and d does not beat its
  // farthest) is a compare and a predictable branch.
  void push(Slot s, float d) {
    if (heap_.size() < k_) {
      heap_.push_back({s, d});
      std::push_heap(heap_.begin(), heap_.end(), farther);
    } else if (d < heap_.front().distance) {
      std::pop_heap(heap_.begin(), heap_.end(), farther);
      heap_.back() = {s, d};
      std::push_heap(heap_.begin(), heap_.end(), farther);
    }
  }

  // The kept pairs in ascending distance. They are first put back in slot
  // (scan) order, then stably sorted, so equal distances come out in slot
  // order.
  std::vector<Neighbor> take() {
    std::sort(heap_.begin(), heap_.end(), [](const Neighbor& a, const Neighbor& b) { return a.slot < b.slot; });
    std::stable_sort(heap_.begin(), heap_.end(),
                     [](const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; });
    return std::move(heap_);
  }

 private:
  static bool farther(const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; }

  size_t k_;
  std::vector<Neighbor> heap_;
};

// Rows per tile: 32 rows of 784 floats are 100 KB, well inside a core's L2
// beside its block of queries.
constexpr size_t kRowTile = 32;
// Queries per worker: each tile of rows is fetched once for this many.
constexpr size_t kQueryBlock = 64;

// out[a * out_stride + j] = dot(query a, row j) for a < nq, j < nr, queries
// and rows dim floats apart. For every pair the sum is one chain of
// operations over the components in order (the kernel's lanes, one fused
// multiply-add per lane-width of components, a zero-padded tail, the lanes
// summed in a fixed order), however many pairs a call computes at once.
using DotTile = void (*)(const float* q, size_t nq, const float* rows, size_t nr, size_t dim, float* out,
                         size_t out_stride);

__attribute__((target("avx2,fma"))) inline float sum_lanes(__m256 v) {
  __m128 s = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  s = _mm_add_ps(s, _mm_movehl_ps(s, s));
  s = _mm_add_ss(s, _mm_movehdup_ps(s));
  return _mm_cvtss_f32(s);
}

// QN queries against RN rows, each pair with its own accumulator.
template <size_t QN, size_t RN>
__attribute__((target("avx2,fma"))) inline void dot_block_avx2(const float* q, const float* r, size_t dim, float* out,
                                                               size_t out_stride) {
  __m256 acc[QN][RN];
#pragma GCC unroll 4
  for (size_t a = 0; a < QN; ++a) {
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) acc[a][j] = _mm256_setzero_ps();
  }
  size_t i = 0;
  for (; i + 8 <= dim; i += 8) {
    __m256 rv[RN];
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) rv[j] = _mm256_loadu_ps(r + j * dim + i);
#pragma GCC unroll 4
    for (size_t a = 0; a < QN; ++a) {
      const __m256 qv = _mm256_loadu_ps(q + a * dim + i);
#pragma GCC unroll 4
      for (size_t j = 0; j < RN; ++j) acc[a][j] = _mm256_fmadd_ps(qv, rv[j], acc[a][j]);
    }
  }
  if (i < dim) {
    // Lanes past the end load as zero and read no memory.
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(dim - i)), lane);
    __m256 rv[RN];
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) rv[j] = _mm256_maskload_ps(r + j * dim + i, mask);
#pragma GCC unroll 4
    for (size_t a = 0; a < QN; ++a) {
      const __m256 qv = _mm256_maskload_ps(q + a * dim + i, mask);
#pragma GCC unroll 4
      for (size_t j = 0; j < RN; ++j) acc[a][j] = _mm256_fmadd_ps(qv, rv[j], acc[a][j]);
    }
  }
#pragma GCC unroll 4
  for (size_t a = 0; a < QN; ++a) {
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) out[a * out_stride + j] = sum_lanes(acc[a][j]);
  }
}

__attribute__((target("avx2,fma"))) void dot_tile_avx2(const float* q, size_t nq, const float* rows, size_t nr,
                                                       size_t dim, float* out, size_t out_stride) {
  size_t a = 0;
  // Four queries by two rows: eight chains in flight, six loads per eight
  // fused multiply-adds.
  for (; a + 4 <= nq; a += 4) {
    size_t j = 0;
    for (; j + 2 <= nr; j += 2) {
      dot_block_avx2<4, 2>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
    }
    for (; j < nr; ++j) dot_block_avx2<4, 1>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
  }
  for (; a < nq; ++a) {
    size_t j = 0;
    for (; j + 4 <= nr; j += 4) {
      dot_block_avx2<1, 4>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
    }
    for (; j < nr; ++j) dot_block_avx2<1, 1>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
  }
}

// The same scheme sixteen lanes wide, for processors with AVX-512: twice the
// components per instruction. Its chain (sixteen lanes, a masked tail, the
// halves added, then eight lanes summed as above) is its own, so a process
// uses one kernel for every pair (see dot_tile).
__attribute__((target("avx512f"))) inline float sum_lanes(__m512 v) {
  // Shuffles rather than the extract intrinsics, whose headers trip this
  // compiler's uninitialised-value warning.
  const __m256 lo = __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7);
  const __m256 hi = __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
  return sum_lanes(_mm256_add_ps(lo, hi));
}

template <size_t QN, size_t RN>
__attribute__((target("avx512f"))) inline void dot_block_avx512(const float* q, const float* r, size_t dim, float* out,
                                                               size_t out_stride) {
  __m512 acc[QN][RN];
#pragma GCC unroll 4
  for (size_t a = 0; a < QN; ++a) {
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) acc[a][j] = _mm512_setzero_ps();
  }
  size_t i = 0;
  for (; i + 16 <= dim; i += 16) {
    __m512 rv[RN];
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) rv[j] = _mm512_loadu_ps(r + j * dim + i);
#pragma GCC unroll 4
    for (size_t a = 0; a < QN; ++a) {
      const __m512 qv = _mm512_loadu_ps(q + a * dim + i);
#pragma GCC unroll 4
      for (size_t j = 0; j < RN; ++j) acc[a][j] = _mm512_fmadd_ps(qv, rv[j], acc[a][j]);
    }
  }
  if (i < dim) {
    // Lanes past the end load as zero and read no memory.
    const __mmask16 mask = static_cast<__mmask16>((1u << (dim - i)) - 1);
    __m512 rv[RN];
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) rv[j] = _mm512_maskz_loadu_ps(mask, r + j * dim + i);
#pragma GCC unroll 4
    for (size_t a = 0; a < QN; ++a) {
      const __m512 qv = _mm512_maskz_loadu_ps(mask, q + a * dim + i);
#pragma GCC unroll 4
      for (size_t j = 0; j < RN; ++j) acc[a][j] = _mm512_fmadd_ps(qv, rv[j], acc[a][j]);
    }
  }
#pragma GCC unroll 4
  for (size_t a = 0; a < QN; ++a) {
#pragma GCC unroll 4
    for (size_t j = 0; j < RN; ++j) out[a * out_stride + j] = sum_lanes(acc[a][j]);
  }
}

__attribute__((target("avx512f"))) void dot_tile_avx512(const float* q, size_t nq, const float* rows, size_t nr,
                                                        size_t dim, float* out, size_t out_stride) {
  size_t a = 0;
  // Four queries by four rows: sixteen chains in flight, eight loads per
  // sixteen fused multiply-adds.
  for (; a + 4 <= nq; a += 4) {
    size_t j = 0;
    for (; j + 4 <= nr; j += 4) {
      dot_block_avx512<4, 4>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
    }
    for (; j < nr; ++j) dot_block_avx512<4, 1>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
  }
  for (; a < nq; ++a) {
    size_t j = 0;
    for (; j + 4 <= nr; j += 4) {
      dot_block_avx512<1, 4>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
    }
    for (; j < nr; ++j) dot_block_avx512<1, 1>(q + a * dim, rows + j * dim, dim, out + a * out_stride + j, out_stride);
  }
}

// The same chain of operations in portable code, for processors without AVX2
// and FMA: eight partial sums, each a fused multiply-add per component.
float dot_portable(const float* q, const float* r, size_t dim) {
  float lanes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < dim; ++i) lanes[i & 7] = std::fma(q[i], r[i], lanes[i & 7]);
  const float s0 = lanes[0] + lanes[4], s1 = lanes[1] + lanes[5], s2 = lanes[2] + lanes[6], s3 = lanes[3] + lanes[7];
  return (s0 + s2) + (s1 + s3);
}

void dot_tile_portable(const float* q, size_t nq, const float* rows, size_t nr, size_t dim, float* out,
                       size_t out_stride) {
  for (size_t a = 0; a < nq; ++a) {
    for (size_t j = 0; j < nr; ++j) out[a * out_stride + j] = dot_portable(q + a * dim, rows + j * dim, dim);
  }
}

// The kernels this processor runs, the widest last.
std::vector<DotTile> dot_tiles() {
  __builtin_cpu_init();
  std::vector<DotTile> tiles{&dot_tile_portable};
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) tiles.push_back(&dot_tile_avx2);
  if (__builtin_cpu_supports("avx512f")) tiles.push_back(&dot_tile_avx512);
  return tiles;
}

DotTile dot_tile() {
  static const DotTile tile = dot_tiles().back();
  return tile;
}

// A block of queries scanned against every row, tile by tile, into one top-k
// per query. `tops` and `dots` (nq * kRowTile floats) belong to the caller.
void scan_rows(Metric metric, const float* q, size_t nq, const float* rows, const float* norms, size_t n, size_t dim,
               std::vector<TopK>& tops, float* dots) {
  const DotTile tile = dot_tile();
  float qq[kQueryBlock], qn[kQueryBlock];
  for (size_t a = 0; a < nq; ++a) {
    qq[a] = squared_norm(q + a * dim, dim);
    qn[a] = std::sqrt(qq[a]);
  }
  for (size_t r0 = 0; r0 < n; r0 += kRowTile) {
    const size_t nr = std::min(kRowTile, n - r0);
    tile(q, nq, rows + r0 * dim, nr, dim, dots, kRowTile);
    for (size_t a = 0; a < nq; ++a) {
      const float* d = dots + a * kRowTile;
      TopK& top = tops[a];
      for (size_t j = 0; j < nr; ++j) {
        top.push(static_cast<Slot>(r0 + j), batch_distance(metric, d[j], norms[r0 + j], qq[a], qn[a]));
      }
    }
  }
}

}  // namespace

float exact_scan_dot(const float* a, const float* b, size_t dim) {
  float out;
  dot_tile()(a, 1, b, 1, dim, &out, 1);
  return out;
}

std::vector<std::vector<float>> exact_scan_dots_by_kernel(const float* q, size_t nq, const float* rows, size_t nr,
                                                          size_t dim) {
  std::vector<std::vector<float>> out;
  for (const DotTile tile : dot_tiles()) {
    out.emplace_back(nq * nr);
    tile(q, nq, rows, nr, dim, out.back().data(), nr);
  }
  return out;
}

std::vector<Neighbor> HnswIndex::exact_search(const float* q, size_t k) const {
  show_brute_force_hint();
  const Slot n = node_count();
  if (k == 0) return {};
  std::vector<TopK> top(1, TopK(k, n));
  if (deleted_count_ > 0) {
    for (Slot s = 0; s < n; ++s) {
      if (!is_deleted(s)) top[0].push(s, distance_(q, vector(s), dim_));
    }
    return top[0].take();
  }
  // The published rows: an insert beside this search may be appending the
  // next one.
  const size_t rows = dim_ == 0 ? 0 : n;
  float dots[kRowTile];
  scan_rows(metric_, q, 1, vectors_.data(), norms_.data(), rows, dim_, top, dots);
  return top[0].take();
}

std::vector<std::vector<Neighbor>> HnswIndex::exact_search_many(const float* queries, size_t count, size_t k) const {
  std::vector<std::vector<Neighbor>> out(count);
  if (count == 0 || k == 0) return out;
  if (deleted_count_ > 0) {
    // Deleted rows are skipped by the per-pair distance of the single path.
    pool_for(count, [&](size_t i) { out[i] = exact_search(queries + i * dim_, k); });
    return out;
  }
  show_brute_force_hint();
  const Slot n = node_count();
  const size_t rows = dim_ == 0 ? 0 : n;
  const size_t blocks = (count + kQueryBlock - 1) / kQueryBlock;
  pool_for(blocks, [&](size_t b) {
    const size_t first = b * kQueryBlock;
    const size_t nq = std::min(kQueryBlock, count - first);
    std::vector<TopK> tops(nq, TopK(k, n));
    std::vector<float> dots(kQueryBlock * kRowTile);
    scan_rows(metric_, queries + first * dim_, nq, vectors_.data(), norms_.data(), rows, dim_, tops, dots.data());
    for (size_t a = 0; a < nq; ++a) out[first + a] = tops[a].take();
  });
  return out;
}

}  // namespace kelpo
