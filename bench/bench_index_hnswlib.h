// The reference index for the benchmark: hnswlib from Debian's
// libhnswlib-dev header, built with the same M and ef_construction.
//
// hnswlib picks its SIMD distance at compile time from -march flags, which
// this project does not pass (our kernels dispatch at run time). So that the
// comparison is between equals, its header is compiled here for AVX-512 and
// used only when the processor has it; hnswlib itself then checks again at
// run time and falls back to AVX where needed.
#pragma once

// Everything the header includes, first, so that only hnswlib's own code is
// compiled for AVX-512 below.
#include <assert.h>
#include <cpuid.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("sse4.2,avx,avx2,fma,avx512f,avx512dq,avx512bw,avx512vl,avx512cd")
#ifndef USE_SSE
#define USE_SSE
#endif
#define USE_AVX
#define USE_AVX512
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-variable"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <hnswlib/hnswlib.h>
#pragma GCC diagnostic pop
#pragma GCC pop_options
#define KELPO_BENCH_HNSWLIB 1
#endif

namespace kelpo::bench {

#ifdef KELPO_BENCH_HNSWLIB

// True when this processor can run the AVX-512 build of the header.
inline bool hnswlib_usable() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
}

class HnswlibIndex {
 public:
  // Squared Euclidean, or (inner_product) one minus the inner product: its
  // cosine, once the caller has normalised data and queries.
  HnswlibIndex(size_t dim, size_t capacity, size_t m, size_t ef_construction, bool inner_product = false)
      : space_(inner_product ? static_cast<std::unique_ptr<hnswlib::SpaceInterface<float>>>(
                                   std::make_unique<hnswlib::InnerProductSpace>(dim))
                             : std::make_unique<hnswlib::L2Space>(dim)),
        index_(std::make_unique<hnswlib::HierarchicalNSW<float>>(space_.get(), capacity, m, ef_construction)) {}

  // Adds rows [0, n) with `threads` threads taking rows in order from a shared
  // counter (the way hnswlib's own Python binding parallelises).
  void build(const float* data, size_t n, size_t dim, size_t threads) {
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t i; (i = next.fetch_add(1)) < n;) index_->addPoint(data + i * dim, i);
    };
    std::vector<std::thread> pool;
    for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (auto& th : pool) th.join();
  }

  void set_ef(size_t ef) { index_->setEf(ef); }

  // For each label: whether any layer-0 list holds it.
  std::vector<bool> linked_to(size_t n) const {
    std::vector<bool> linked(n, false);
    for (hnswlib::tableint id = 0; id < index_->cur_element_count; ++id) {
      hnswlib::linklistsizeint* list = index_->get_linklist0(id);
      const auto* slots = reinterpret_cast<const hnswlib::tableint*>(list + 1);
      for (size_t j = 0; j < index_->getListCount(list); ++j) linked[index_->getExternalLabel(slots[j])] = true;
    }
    return linked;
  }

  // Labels of the k nearest, ascending; returns how many.
  size_t search(const float* q, size_t k, uint32_t* out) const {
    auto top = index_->searchKnn(q, k);
    size_t count = top.size();
    for (size_t i = count; i-- > 0;) {
      out[i] = static_cast<uint32_t>(top.top().second);
      top.pop();
    }
    return count;
  }

 private:
  std::unique_ptr<hnswlib::SpaceInterface<float>> space_;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> index_;
};

#else

inline bool hnswlib_usable() { return false; }

#endif

}  // namespace kelpo::bench
