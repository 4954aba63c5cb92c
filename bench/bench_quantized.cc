// Quantized traversal against full-precision traversal on the same graph:
// queries per second and recall@10 at several beam widths, and what the codes
// cost in memory. The graph is built once; the same queries run with the
// codes off, then on (same ef, same graph), so the ratio isolates the walk.
//
// Data: Fashion-MNIST (60,000 x 784, squared Euclidean) and a synthetic
// clustered set (default 100,000 x 768, cosine).
//
// Usage: bench_quantized [--dataset=fashion|synthetic|all] [--queries=N]
//                        [--base=N] [--synthetic-n=N] [--synthetic-dim=N]
//                        [--threads=N] [--repeats=N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/global_control.h>

#include "bench_index_data.h"
#include "engine/index/hnsw_index.h"

namespace kelpo::bench {
namespace {

struct Args {
  std::string dataset = "all";
  size_t queries = 1000;
  size_t base = SIZE_MAX;
  size_t synthetic_n = 100000, synthetic_dim = 768;
  size_t threads = 2;
  size_t repeats = 3;
};

bool parse_args(int argc, char** argv, Args& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(0, eq), val = eq == std::string::npos ? "" : arg.substr(eq + 1);
    try {
      if (key == "--dataset" && (val == "fashion" || val == "synthetic" || val == "all")) {
        a.dataset = val;
      } else if (key == "--queries") {
        a.queries = std::stoul(val);
      } else if (key == "--base") {
        a.base = std::stoul(val);
      } else if (key == "--synthetic-n") {
        a.synthetic_n = std::stoul(val);
      } else if (key == "--synthetic-dim") {
        a.synthetic_dim = std::stoul(val);
      } else if (key == "--threads") {
        a.threads = std::max<size_t>(1, std::stoul(val));
      } else if (key == "--repeats") {
        a.repeats = std::max<size_t>(1, std::stoul(val));
      } else {
        std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
        return false;
      }
    } catch (const std::exception&) {
      std::fprintf(stderr, "bad number in %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Exact top-10 under the dataset's metric (compute_truth ranks by squared
// Euclidean only).
void compute_truth_for(Dataset& ds, Metric metric, size_t threads) {
  if (metric == Metric::kEuclidean) {
    compute_truth(ds);
    return;
  }
  ds.truth.assign(ds.nq * kTruthK, 0);
  const DistanceFunction fn(metric);
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      std::vector<std::pair<float, uint32_t>> all(ds.n);
      for (size_t q = t; q < ds.nq; q += threads) {
        for (size_t i = 0; i < ds.n; ++i) all[i] = {fn(ds.query(q), ds.row(i), ds.dim), static_cast<uint32_t>(i)};
        std::partial_sort(all.begin(), all.begin() + kTruthK, all.end());
        for (size_t j = 0; j < kTruthK; ++j) ds.truth[q * kTruthK + j] = all[j].second;
      }
    });
  }
  for (auto& th : pool) th.join();
}

struct Run {
  double qps = 0, recall = 0;
};

// All queries on one thread, best of `repeats` passes.
Run run_queries(const HnswIndex& index, const Dataset& ds, size_t ef, size_t repeats) {
  Run best;
  std::vector<uint32_t> got;
  for (size_t r = 0; r < repeats; ++r) {
    double recall = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t q = 0; q < ds.nq; ++q) {
      const std::vector<Neighbor> hits = index.search(ds.query(q), kTruthK, ef);
      got.clear();
      for (const Neighbor& h : hits) got.push_back(h.slot);
      recall += recall_at_k(ds, q, got.data(), got.size());
    }
    const double qps = static_cast<double>(ds.nq) / seconds_since(t0);
    if (qps > best.qps) best.qps = qps;
    best.recall = recall / static_cast<double>(ds.nq);
  }
  return best;
}

void bench_dataset(Dataset& ds, Metric metric, const Args& args) {
  std::printf("\n== %s: %zu x %zu, %zu queries, %s\n", ds.name.c_str(), ds.n, ds.dim, ds.nq, metric_name(metric));
  std::fflush(stdout);
  auto t0 = std::chrono::steady_clock::now();
  compute_truth_for(ds, metric, args.threads);
  std::printf("ground truth: %.1f s\n", seconds_since(t0));

  HnswIndex index(ds.dim, metric, 16, 200);
  std::vector<const float*> rows(ds.n);
  for (size_t i = 0; i < ds.n; ++i) rows[i] = ds.row(i);
  t0 = std::chrono::steady_clock::now();
  index.batch_insert(rows);
  std::printf("build (M 16, ef_construction 200, %zu threads): %.1f s\n", args.threads, seconds_since(t0));
  if (index.uses_brute_force()) {
    std::printf("(collection below the brute-force limit: search scans exactly; results say nothing of the walk)\n");
  }

  t0 = std::chrono::steady_clock::now();
  index.enable_quantized_search();
  const double enable_s = seconds_since(t0);
  const double vectors_mb = 4.0 * static_cast<double>(index.vector_store_floats()) / 1e6;
  const double codes_mb = static_cast<double>(index.quantized_bytes()) / 1e6;
  const double graph_mb = static_cast<double>(index.graph_bytes()) / 1e6;
  std::printf("enable (train + code all): %.2f s\n", enable_s);
  std::printf("memory: vectors %.1f MB, codes %.1f MB (%.2f of vectors), graph %.1f MB\n", vectors_mb, codes_mb,
              codes_mb / vectors_mb, graph_mb);

  std::printf("\n| ef | full QPS | full recall@10 | SQ8 QPS | SQ8 recall@10 | QPS ratio | recall change |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
  for (size_t ef : {40, 80, 200}) {
    index.disable_quantized_search();
    const Run full = run_queries(index, ds, ef, args.repeats);
    index.enable_quantized_search();
    const Run sq8 = run_queries(index, ds, ef, args.repeats);
    std::printf("| %zu | %.0f | %.4f | %.0f | %.4f | **%.2f** | %+.4f |\n", ef, full.qps, full.recall, sq8.qps,
                sq8.recall, sq8.qps / full.qps, sq8.recall - full.recall);
    std::fflush(stdout);
  }
}

int run(const Args& args) {
  oneapi::tbb::global_control pool(oneapi::tbb::global_control::max_allowed_parallelism, args.threads);
  BLAS_HINT_SHOWN.store(true);  // the bench never wants the hint
  if (args.dataset == "fashion" || args.dataset == "all") {
    Dataset ds;
    std::string error;
    if (!load_fashion_mnist(args.base, args.queries, ds, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    bench_dataset(ds, Metric::kEuclidean, args);
  }
  if (args.dataset == "synthetic" || args.dataset == "all") {
    Dataset ds;
    make_synthetic(std::min(args.synthetic_n, args.base), args.queries, args.synthetic_dim, ds);
    bench_dataset(ds, Metric::kCosine, args);
  }
  return 0;
}

}  // namespace
}  // namespace kelpo::bench

int main(int argc, char** argv) {
  kelpo::bench::Args args;
  if (!kelpo::bench::parse_args(argc, argv, args)) return 2;
  return kelpo::bench::run(args);
}
