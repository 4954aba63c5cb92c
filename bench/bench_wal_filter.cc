// Write-ahead log throughput and metadata filter resolution.
//
//   bench_wal_filter [records=20000] [filter_records=1000000]
//
// 1. Appends 128-dimensional insert entries with small metadata to a log in a
//    temporary directory, one record per append (as single writes do) and in
//    batches of 1000 (as batch writes do), and reports records per second.
// 2. Inserts the same vectors into an HNSW index with one batch insert, the
//    work a batch write does after logging, so that the log's share of a batch
//    write can be read off (target: logging at most 10% of it).
// 3. Indexes `filter_records` records' metadata and times the resolution of an
//    equality, an $in and an equality-and-equality filter.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/index/hnsw_index.h"
#include "engine/metadata/filter.h"
#include "engine/metadata/metadata_index.h"
#include "engine/wal/wal.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kDim = 128;
constexpr size_t kBatch = 1000;
const char* const kGenres[] = {"rock", "jazz", "pop", "folk", "blues", "soul", "punk", "metal",
                               "funk", "disco", "house", "techno", "ambient", "opera", "swing", "reggae"};

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

kelpo::Json small_metadata(size_t i) {
  return kelpo::Json::object({{"genre", kGenres[i % 16]}, {"year", 1950 + i % 75}, {"live", i % 3 == 0}});
}

// The median of `reps` timings of fn, in microseconds.
template <class Fn>
double median_us(int reps, Fn fn) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    fn();
    t.push_back(seconds_since(t0) * 1e6);
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

bool bench_wal(size_t n, const std::vector<float>& vectors, const std::vector<kelpo::Json>& metadata,
               double* batched_seconds) {
  std::string dir = (std::filesystem::temp_directory_path() / "kelpo-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) return false;
  const std::string path = dir + "/wal.kelpo";
  bool ok = true;

  kelpo::Wal single(path);
  auto t0 = Clock::now();
  for (size_t i = 0; i < n && ok; ++i) {
    kelpo::WalBatch b;
    b.add_insert("id-" + std::to_string(i), &vectors[i * kDim], kDim, &metadata[i]);
    ok = single.append(b).ok();
  }
  const double single_s = seconds_since(t0);
  const auto bytes = std::filesystem::file_size(path);
  ok = ok && single.remove_file().ok();

  kelpo::Wal batched(path);
  t0 = Clock::now();
  for (size_t start = 0; start < n && ok; start += kBatch) {
    kelpo::WalBatch b;
    for (size_t i = start; i < std::min(n, start + kBatch); ++i) {
      b.add_insert("id-" + std::to_string(i), &vectors[i * kDim], kDim, &metadata[i]);
    }
    ok = batched.append(b).ok();
  }
  *batched_seconds = seconds_since(t0);

  t0 = Clock::now();
  auto entries = batched.read();
  const double read_s = seconds_since(t0);
  ok = ok && entries.ok() && entries->size() == n;
  batched.close();
  std::filesystem::remove_all(dir);
  if (!ok) return false;

  std::printf("log, %zu insert records of %zu floats with small metadata (%.0f bytes each)\n", n, kDim,
              static_cast<double>(bytes) / static_cast<double>(n));
  std::printf("  one record per append      %10.0f records/s  %7.1f MB/s\n", n / single_s,
              bytes / single_s / 1e6);
  std::printf("  batches of %-4zu            %10.0f records/s  %7.1f MB/s\n", kBatch, n / *batched_seconds,
              bytes / *batched_seconds / 1e6);
  std::printf("  reading back               %10.0f records/s\n", n / read_s);
  return true;
}

void bench_index(size_t n, const std::vector<float>& vectors, double log_seconds) {
  kelpo::HnswIndex index(kDim, kelpo::Metric::kCosine, 16, 200);
  std::vector<const float*> rows(n);
  for (size_t i = 0; i < n; ++i) rows[i] = &vectors[i * kDim];
  const auto t0 = Clock::now();
  index.batch_insert(rows);
  const double index_s = seconds_since(t0);
  std::printf("index, one batch insert of the same %zu vectors (m 16, ef_construction 200)\n", n);
  std::printf("  %.2f s, %.0f vectors/s; batched logging is %.2f%% of it (target at most 10%%)\n", index_s,
              n / index_s, 100.0 * log_seconds / index_s);
}

void bench_filters(size_t n) {
  std::vector<kelpo::SharedJson> metadata(n);
  for (size_t i = 0; i < n; ++i) metadata[i] = std::make_shared<const kelpo::Json>(small_metadata(i));
  kelpo::MetadataIndex index;
  auto t0 = Clock::now();
  index.rebuild(metadata, nullptr);
  const double build_s = seconds_since(t0);
  std::printf("metadata index over %zu records: built in %.2f s (%.0f records/s)\n", n, build_s, n / build_s);

  const kelpo::Filter eq = kelpo::Filter::eq("genre", "jazz");
  const kelpo::Filter in = kelpo::Filter::in("genre", {"jazz", "pop", "folk"});
  const kelpo::Filter both = kelpo::Filter::combine({eq, kelpo::Filter::eq("year", kelpo::filter_int_value(2001))});
  size_t sink = 0;
  auto report = [&](const char* name, const kelpo::Filter& f) {
    const double borrowed = median_us(201, [&] { sink += kelpo::resolve_candidates(f, index).slots().size(); });
    const double copied = median_us(21, [&] { sink += kelpo::resolve_from_index(f, index)->size(); });
    std::printf("  %-28s %8zu slots  %10.3f us resolved in place  %10.1f us as an owned set\n", name,
                kelpo::resolve_candidates(f, index).slots().size(), borrowed, copied);
  };
  report("genre == 'jazz'", eq);
  report("genre $in 3 values", in);
  report("genre == 'jazz' and year == 2001", both);
  if (sink == 0) std::printf("(no slots)\n");
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::stoul(argv[1]) : 20000;
  const size_t filter_n = argc > 2 ? std::stoul(argv[2]) : 1000000;
  std::mt19937 rng(42);
  std::normal_distribution<float> gauss;
  std::vector<float> vectors(n * kDim);
  for (float& x : vectors) x = gauss(rng);
  std::vector<kelpo::Json> metadata;
  for (size_t i = 0; i < n; ++i) metadata.push_back(small_metadata(i));

  double batched_s = 0;
  if (!bench_wal(n, vectors, metadata, &batched_s)) {
    std::fprintf(stderr, "log benchmark failed\n");
    return 1;
  }
  bench_index(n, vectors, batched_s);
  bench_filters(filter_n);
  return 0;
}
