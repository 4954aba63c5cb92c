// Database benchmark on a clustered 200,000 x 128 collection (graph path):
// filtered recall and cost at several selectivities, recall with 30% deleted
// against a collection rebuilt from the live records, search_many scaling,
// the cost of the database path over the bare index, and write throughput.
//
//   bench_db [--n N] [--dim D] [--queries Q] [--json]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <tbb/parallel_for.h>

#include "engine/db/database.h"

using namespace kelpo;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Args {
  size_t n = 200000, dim = 128, queries = 500;
  bool json = false;
};

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    std::string s = argv[i];
    auto next = [&] { return static_cast<size_t>(std::stoull(argv[++i])); };
    if (s == "--n") a.n = next();
    else if (s == "--dim") a.dim = next();
    else if (s == "--queries") a.queries = next();
    else if (s == "--json") a.json = true;
  }
  return a;
}

// Gaussian clusters around random centres, overlapping: the centres spread
// about as far as the points around them, as in real embeddings. (Clusters
// far apart from each other leave a graph built with nearest-first neighbour
// selection without links between them.)
std::vector<float> clustered(size_t n, size_t dim, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  const size_t clusters = 100;
  std::vector<float> centres(clusters * dim), sigma(clusters);
  for (auto& x : centres) x = g(rng);
  std::uniform_real_distribution<float> spread(0.5f, 1.0f);
  for (auto& s : sigma) s = spread(rng);
  std::vector<float> out(n * dim);
  std::uniform_int_distribution<size_t> pick(0, clusters - 1);
  for (size_t i = 0; i < n; ++i) {
    const size_t c = pick(rng);
    for (size_t j = 0; j < dim; ++j) out[i * dim + j] = centres[c * dim + j] + sigma[c] * g(rng);
  }
  return out;
}

struct TempDir {
  std::string path;
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "kelpo-bench-XXXXXX").string();
    path = mkdtemp(t.data());
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

// Exact top-k by brute force over the accepted rows.
std::vector<std::vector<size_t>> ground_truth(const std::vector<float>& base, const std::vector<float>& q, size_t n,
                                              size_t nq, size_t dim, size_t k,
                                              const std::function<bool(size_t)>& accept) {
  std::vector<std::vector<size_t>> out(nq);
  tbb::parallel_for(size_t{0}, nq, [&](size_t qi) {
    std::vector<std::pair<float, size_t>> d;
    for (size_t i = 0; i < n; ++i) {
      if (!accept(i)) continue;
      d.emplace_back(distance(&q[qi * dim], &base[i * dim], dim, Metric::kEuclidean), i);
    }
    const size_t kk = std::min(k, d.size());
    std::partial_sort(d.begin(), d.begin() + kk, d.end());
    for (size_t i = 0; i < kk; ++i) out[qi].push_back(d[i].second);
  });
  return out;
}

double recall(const std::vector<std::vector<SearchHit>>& hits, const std::vector<std::vector<size_t>>& truth) {
  size_t found = 0, total = 0;
  for (size_t q = 0; q < truth.size(); ++q) {
    std::set<size_t> t(truth[q].begin(), truth[q].end());
    for (const auto& h : hits[q]) found += t.count(std::stoul(h.id.substr(1)));
    total += truth[q].size();
  }
  return total ? static_cast<double>(found) / total : 1.0;
}

}  // namespace

int main(int argc, char** argv) {
  const Args a = parse(argc, argv);
  const size_t k = 10;
  std::printf("database benchmark: %zu x %zu clustered, %zu queries, k=%zu\n", a.n, a.dim, a.queries, k);
  // Queries come from the same clusters as the records (held out of them).
  std::vector<float> base = clustered(a.n + a.queries, a.dim, 1);
  const std::vector<float> queries(base.begin() + a.n * a.dim, base.end());
  base.resize(a.n * a.dim);

  TempDir dir;
  auto opened = Database::open_or_create_with_config(dir.path, a.dim, Metric::kEuclidean, {});
  if (!opened.ok()) {
    std::fprintf(stderr, "%s\n", opened.error().message().c_str());
    return 1;
  }
  Database& db = *opened.value();

  // ---- writes ----
  // Metadata: "sel50" ... "sel0.1" fields holding 1 for the chosen share of records.
  const std::vector<std::pair<std::string, size_t>> sels = {{"s50", 2}, {"s10", 10}, {"s1", 100}, {"s01", 1000}};
  std::vector<std::string> ids(a.n);
  std::vector<std::optional<Json>> metas(a.n);
  for (size_t i = 0; i < a.n; ++i) {
    ids[i] = "v" + std::to_string(i);
    Json m = Json::object();
    for (const auto& [field, every] : sels) m[field] = (i % every == 0) ? 1 : 0;
    metas[i] = std::move(m);
  }
  VectorBatch all = VectorBatch::uniform(a.n, a.dim);
  std::copy(base.begin(), base.end(), all.data.begin());

  const size_t singles = std::min<size_t>(2000, a.n / 10);
  double t0 = now();
  for (size_t i = 0; i < singles; ++i) {
    if (!db.add(ids[i], std::vector<float>(all.row(i), all.row(i) + a.dim), metas[i]).ok()) return 1;
  }
  const double single_rate = singles / (now() - t0);
  VectorBatch rest = VectorBatch::uniform(a.n - singles, a.dim);
  std::copy(base.begin() + singles * a.dim, base.end(), rest.data.begin());
  std::vector<std::string> rest_ids(ids.begin() + singles, ids.end());
  std::vector<std::optional<Json>> rest_meta(metas.begin() + singles, metas.end());
  t0 = now();
  if (!db.add_many(rest_ids, rest, rest_meta).ok()) return 1;
  const double batch_rate = (a.n - singles) / (now() - t0);
  std::printf("\nwrites (logging on): add %.0f/s (first %zu, small graph), add_many %.0f/s\n", single_rate, singles,
              batch_rate);

  // ---- unfiltered baseline and filtered searches ----
  VectorBatch qb = VectorBatch::uniform(a.queries, a.dim);
  std::copy(queries.begin(), queries.end(), qb.data.begin());
  auto run = [&](const SearchOptions& opt, std::vector<std::vector<SearchHit>>* out) {
    out->assign(a.queries, {});
    const double s = now();
    for (size_t q = 0; q < a.queries; ++q) (*out)[q] = db.search(qb.row(q), a.dim, opt).value();
    return (now() - s) / a.queries;
  };
  std::vector<std::vector<SearchHit>> hits;
  SearchOptions plain;
  plain.k = k;
  const double t_plain = run(plain, &hits);
  auto truth_all = ground_truth(base, queries, a.n, a.queries, a.dim, k, [](size_t) { return true; });
  const double r_plain = recall(hits, truth_all);
  std::printf("\nunfiltered: recall@10 %.4f, %.1f us/query\n", r_plain, t_plain * 1e6);
  std::printf("%-12s %10s %12s %10s\n", "selectivity", "recall@10", "us/query", "x plain");
  std::string json_rows;
  for (const auto& [field, every] : sels) {
    Filter f = Filter::eq(field, 1);
    SearchOptions opt = plain;
    opt.filter = &f;
    const double t = run(opt, &hits);
    const size_t ev = every;
    auto truth = ground_truth(base, queries, a.n, a.queries, a.dim, k, [ev](size_t i) { return i % ev == 0; });
    const double r = recall(hits, truth);
    std::printf("%-12.1f%% %10.4f %12.1f %10.2f\n", 100.0 / every, r, t * 1e6, t / t_plain);
    json_rows += (json_rows.empty() ? "" : ",") + std::string("{\"selectivity\":") + std::to_string(1.0 / every) +
                 ",\"recall\":" + std::to_string(r) + ",\"ratio\":" + std::to_string(t / t_plain) + "}";
  }

  // ---- the database path over the bare index (same graph, same queries) ----
  double t_index = 0;
  for (int rep = 0; rep < 2; ++rep) {  // second round measured: caches warm for both
    const double s = now();
    size_t sink = 0;
    db.with_index([&](const HnswIndex& index) {
      for (size_t q = 0; q < a.queries; ++q) sink += index.search(qb.row(q), k, default_ef(k)).size();
      return 0;
    });
    t_index = (now() - s) / a.queries;
    if (sink == 0) std::printf(" ");
  }
  const double t_db = run(plain, &hits);
  std::printf("\ndatabase path: %.1f us/query vs bare index %.1f: +%.1f%%\n", t_db * 1e6, t_index * 1e6,
              (t_db / t_index - 1) * 100);

  // ---- search_many scaling ----
  t0 = now();
  auto many = db.search_many(qb, plain).value();
  const double t_many = (now() - t0) / a.queries;
  std::printf("\nsearch_many: %.1f us/query vs %.1f single-threaded: %.2fx\n", t_many * 1e6, t_plain * 1e6,
              t_plain / t_many);

  // ---- deletions: 30% deleted vs rebuilt from the live records ----
  std::vector<std::string> doomed;
  for (size_t i = 0; i < a.n; ++i) {
    if (i % 10 < 3) doomed.push_back(ids[i]);
  }
  if (db.delete_many(doomed).value() != doomed.size()) return 1;
  const double t_del = run(plain, &hits);
  auto truth_live = ground_truth(base, queries, a.n, a.queries, a.dim, k, [](size_t i) { return i % 10 >= 3; });
  const double r_del = recall(hits, truth_live);

  TempDir dir2;
  auto rebuilt_r = Database::open_or_create_with_config(dir2.path, a.dim, Metric::kEuclidean, {});
  Database& rebuilt = *rebuilt_r.value();
  VectorBatch live;
  std::vector<std::string> live_ids;
  for (size_t i = 0; i < a.n; ++i) {
    if (i % 10 < 3) continue;
    live.push_back(&base[i * a.dim], a.dim);
    live_ids.push_back(ids[i]);
  }
  if (!rebuilt.add_many(live_ids, live, {}).ok()) return 1;
  std::vector<std::vector<SearchHit>> hits2(a.queries);
  for (size_t q = 0; q < a.queries; ++q) hits2[q] = rebuilt.search(qb.row(q), a.dim, plain).value();
  const double r_rebuilt = recall(hits2, truth_live);
  std::printf("\n30%% deleted: recall@10 %.4f (%.1f us/query); rebuilt from live records: %.4f; difference %.4f\n",
              r_del, t_del * 1e6, r_rebuilt, r_rebuilt - r_del);

  if (a.json) {
    std::printf(
        "{\"n\":%zu,\"dim\":%zu,\"add_per_s\":%.0f,\"add_many_per_s\":%.0f,\"unfiltered_recall\":%.4f,"
        "\"unfiltered_us\":%.2f,\"filtered\":[%s],\"search_many_speedup\":%.3f,\"deleted30_recall\":%.4f,"
        "\"rebuilt_recall\":%.4f,\"db_overhead\":%.4f}\n",
        a.n, a.dim, single_rate, batch_rate, r_plain, t_plain * 1e6, json_rows.c_str(), t_plain / t_many, r_del,
        r_rebuilt, t_db / t_index - 1);
  }
  return 0;
}
