// Data and search helpers for the persistence benchmark: the synthetic
// vector sets, exact nearest neighbours, recall, and the hnswlib side
// (Debian's header, through bench_index_hnswlib.h).
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/parallel_for.h>

#include "bench/bench_index_data.h"
#include "bench/bench_index_hnswlib.h"
#include "engine/db/database.h"

namespace kelpo::bench {

// Every search asks for the kK nearest with a beam of kEf.
inline constexpr size_t kK = 10, kEf = 200;

inline double median(std::vector<double> v) {
  if (v.empty()) return std::nan("");
  std::sort(v.begin(), v.end());
  const size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

inline bool write_floats(const std::string& path, const float* data, size_t n) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n * sizeof(float)));
  return static_cast<bool>(out);
}

inline std::vector<float> read_floats(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<float> v(static_cast<size_t>(in.tellg()) / sizeof(float));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
  return v;
}

inline uint32_t label_of(const std::string& id) { return static_cast<uint32_t>(std::stoul(id.substr(1))); }

using Labels = std::vector<std::vector<uint32_t>>;

// n records and nq queries on a 16-dimensional Gaussian latent space mapped
// linearly into `dim` dimensions, plus a little isotropic noise: one
// connected cloud of low intrinsic dimension, as embeddings of related items
// tend to be. Fixed seed.
inline Dataset latent_space(size_t n, size_t nq, size_t dim) {
  const size_t latent = 16;
  Dataset ds;
  ds.name = "16-d latent space";
  ds.dim = dim;
  ds.n = n;
  ds.nq = nq;
  std::mt19937_64 rng(11);
  std::normal_distribution<float> g;
  std::vector<float> mix(latent * dim);
  for (float& x : mix) x = g(rng) / std::sqrt(static_cast<float>(latent));
  auto draw = [&](std::vector<float>& out, size_t count) {
    out.assign(count * dim, 0.0f);
    float z[latent];
    for (size_t i = 0; i < count; ++i) {
      for (float& x : z) x = g(rng);
      float* row = &out[i * dim];
      for (size_t l = 0; l < latent; ++l) {
        for (size_t j = 0; j < dim; ++j) row[j] += z[l] * mix[l * dim + j];
      }
      for (size_t j = 0; j < dim; ++j) row[j] += 0.05f * g(rng);
    }
  };
  draw(ds.base, n);
  draw(ds.queries, nq);
  return ds;
}

// Exact kK nearest accepted rows per query, by squared Euclidean distance.
inline Labels exact_topk(const Dataset& ds, const std::function<bool(size_t)>& accept) {
  Labels out(ds.nq);
  const DistanceFunction l2(Metric::kEuclidean);
  oneapi::tbb::parallel_for(size_t{0}, ds.nq, [&](size_t q) {
    std::vector<std::pair<float, uint32_t>> best;
    for (size_t i = 0; i < ds.n; ++i) {
      if (!accept(i)) continue;
      const float d = l2(ds.query(q), ds.row(i), ds.dim);
      if (best.size() < kK) {
        best.push_back({d, static_cast<uint32_t>(i)});
        std::push_heap(best.begin(), best.end());
      } else if (d < best.front().first) {
        std::pop_heap(best.begin(), best.end());
        best.back() = {d, static_cast<uint32_t>(i)};
        std::push_heap(best.begin(), best.end());
      }
    }
    std::sort_heap(best.begin(), best.end());
    for (const auto& b : best) out[q].push_back(b.second);
  });
  return out;
}

inline double recall(const Labels& got, const Labels& truth) {
  size_t hit = 0, total = 0;
  for (size_t q = 0; q < truth.size() && q < got.size(); ++q) {
    for (uint32_t g : got[q]) hit += std::find(truth[q].begin(), truth[q].end(), g) != truth[q].end();
    total += truth[q].size();
  }
  return total ? static_cast<double>(hit) / static_cast<double>(total) : std::nan("");
}

inline Labels kelpo_search_all(const Database& db, const Dataset& ds) {
  SearchOptions opt;
  opt.k = kK;
  opt.ef_search = kEf;
  Labels out(ds.nq);
  for (size_t q = 0; q < ds.nq; ++q) {
    const Result<std::vector<SearchHit>> hits = db.search(ds.query(q), ds.dim, opt);
    if (!hits.ok()) continue;
    for (const SearchHit& h : hits.value()) out[q].push_back(label_of(h.id));
  }
  return out;
}

// ---------------------------------------------------------------------------
// hnswlib side

#ifdef KELPO_BENCH_HNSWLIB
using Peer = hnswlib::HierarchicalNSW<float>;

// Adds the given rows with `threads` threads taking them in order from a
// shared counter (the way hnswlib's own Python binding parallelises).
inline void peer_build(Peer& index, const Dataset& ds, const std::vector<uint32_t>& rows, size_t threads) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < rows.size();) index.addPoint(ds.row(rows[i]), rows[i]);
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& th : pool) th.join();
}

inline std::vector<uint32_t> peer_search(Peer& index, const float* q) {
  auto top = index.searchKnn(q, kK);
  std::vector<uint32_t> out(top.size());
  for (size_t i = out.size(); i-- > 0;) {
    out[i] = static_cast<uint32_t>(top.top().second);
    top.pop();
  }
  return out;
}

inline Labels peer_search_all(Peer& index, const Dataset& ds) {
  index.setEf(kEf);
  Labels out(ds.nq);
  for (size_t q = 0; q < ds.nq; ++q) out[q] = peer_search(index, ds.query(q));
  return out;
}
#endif

}  // namespace kelpo::bench
