// Data for the index benchmark: Fashion-MNIST from Debian's
// dataset-fashion-mnist package, a synthetic clustered set, and exact top-k
// ground truth computed here.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/index/distance.h"

namespace kelpo::bench {

struct Dataset {
  std::string name;
  size_t dim = 0;
  size_t n = 0;   // base vectors
  size_t nq = 0;  // queries
  std::vector<float> base;
  std::vector<float> queries;
  std::vector<uint32_t> truth;  // nq * kTruthK exact nearest base rows, ascending
  const float* row(size_t i) const { return base.data() + i * dim; }
  const float* query(size_t i) const { return queries.data() + i * dim; }
};

inline constexpr size_t kTruthK = 10;
inline constexpr const char* kFashionDir = "/usr/share/datasets/fashion-mnist";

// An idx3-ubyte image file (gzip): big-endian magic 0x803, count, rows,
// columns, then one byte per pixel. Pixels become floats 0..255. Reads at
// most `limit` images. Returns false (with a message) on any fault.
inline bool read_idx_images(const std::string& path, size_t limit, std::vector<float>& out, size_t& count,
                            size_t& dim, std::string& error) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = "cannot open " + path + " (install dataset-fashion-mnist; scripts/setup.sh does)";
    return false;
  }
  unsigned char header[16];
  if (gzread(f, header, sizeof header) != static_cast<int>(sizeof header)) {
    gzclose(f);
    error = path + ": short header";
    return false;
  }
  auto be32 = [&](int at) {
    return (uint32_t{header[at]} << 24) | (uint32_t{header[at + 1]} << 16) | (uint32_t{header[at + 2]} << 8) |
           uint32_t{header[at + 3]};
  };
  if (be32(0) != 0x803) {
    gzclose(f);
    error = path + ": not an idx3 image file";
    return false;
  }
  count = std::min<size_t>(be32(4), limit);
  dim = static_cast<size_t>(be32(8)) * be32(12);
  std::vector<unsigned char> pixels(count * dim);
  size_t got = 0;
  while (got < pixels.size()) {
    const int r = gzread(f, pixels.data() + got, static_cast<unsigned>(std::min<size_t>(pixels.size() - got, 1 << 30)));
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  gzclose(f);
  if (got != pixels.size()) {
    error = path + ": truncated";
    return false;
  }
  out.assign(pixels.begin(), pixels.end());
  return true;
}

inline bool load_fashion_mnist(size_t max_base, size_t max_queries, Dataset& ds, std::string& error) {
  ds.name = "fashion-mnist";
  size_t dim_q = 0;
  if (!read_idx_images(std::string(kFashionDir) + "/train-images-idx3-ubyte.gz", max_base, ds.base, ds.n, ds.dim,
                       error)) {
    return false;
  }
  if (!read_idx_images(std::string(kFashionDir) + "/t10k-images-idx3-ubyte.gz", max_queries, ds.queries, ds.nq,
                       dim_q, error)) {
    return false;
  }
  if (dim_q != ds.dim) {
    error = "train and test images differ in size";
    return false;
  }
  return true;
}

// n base vectors and nq queries of `dim` floats around `clusters` Gaussian
// centres (each coordinate centre_scale * N(0, 1)), each cluster with its own
// spread drawn from [min_sigma, 1). Fixed seed.
inline Dataset gaussian_clusters(const char* name, size_t n, size_t nq, size_t dim, size_t clusters, float centre_scale,
                                 float min_sigma, uint64_t seed) {
  Dataset ds;
  ds.name = name;
  ds.dim = dim;
  ds.n = n;
  ds.nq = nq;
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g;
  std::uniform_real_distribution<float> spread(min_sigma, 1.0f);
  std::vector<float> centres(clusters * dim), sigma(clusters);
  for (float& c : centres) c = centre_scale * g(rng);
  for (float& s : sigma) s = spread(rng);
  auto draw = [&](std::vector<float>& out, size_t count) {
    out.resize(count * dim);
    for (size_t i = 0; i < count; ++i) {
      const size_t c = rng() % clusters;
      for (size_t j = 0; j < dim; ++j) out[i * dim + j] = centres[c * dim + j] + sigma[c] * g(rng);
    }
  };
  draw(ds.base, n);
  draw(ds.queries, nq);
  return ds;
}

// Clusters far apart from each other (1,000 by default), so neighbourhoods
// have structure at several scales.
inline void make_synthetic(size_t n, size_t nq, size_t dim, Dataset& ds, size_t clusters = 1000) {
  ds = gaussian_clusters("synthetic", n, nq, dim, clusters, 3.0f, 0.3f, 20240601);
}

// 100 clusters whose centres spread about as far as the points around them,
// as in real embeddings.
inline Dataset overlapping_clusters(size_t n, size_t nq, size_t dim) {
  return gaussian_clusters("overlapping clusters", n, nq, dim, 100, 1.0f, 0.5f, 7);
}

// Exact top-kTruthK under `metric` (squared Euclidean unless told) for every
// query, on all hardware threads.
inline void compute_truth(Dataset& ds, Metric metric = Metric::kEuclidean) {
  ds.truth.assign(ds.nq * kTruthK, 0);
  const DistanceFunction l2(metric);
  const size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::vector<std::pair<float, uint32_t>> best;
      for (size_t q = t; q < ds.nq; q += threads) {
        best.clear();
        for (size_t i = 0; i < ds.n; ++i) {
          const float d = l2(ds.query(q), ds.row(i), ds.dim);
          if (best.size() < kTruthK) {
            best.push_back({d, static_cast<uint32_t>(i)});
            std::push_heap(best.begin(), best.end());
          } else if (d < best.front().first) {
            std::pop_heap(best.begin(), best.end());
            best.back() = {d, static_cast<uint32_t>(i)};
            std::push_heap(best.begin(), best.end());
          }
        }
        std::sort_heap(best.begin(), best.end());
        for (size_t j = 0; j < best.size(); ++j) ds.truth[q * kTruthK + j] = best[j].second;
      }
    });
  }
  for (auto& th : pool) th.join();
}

// Fraction of the true top-k found among `got` (k = kTruthK).
inline double recall_at_k(const Dataset& ds, size_t q, const uint32_t* got, size_t count) {
  size_t hit = 0;
  const uint32_t* want = &ds.truth[q * kTruthK];
  for (size_t i = 0; i < count; ++i) hit += std::find(want, want + kTruthK, got[i]) != want + kTruthK;
  return static_cast<double>(hit) / kTruthK;
}

}  // namespace kelpo::bench
