// Writers beside searches: one thread adding one record at a time while other
// threads search the same database. Reports the writer's rate alone and beside
// 1, 2 and 4 searching threads, and the searches' rate with and without the
// writer. With --save-compact it also times how long one add waits behind a
// save and behind a compaction, and counts the searches that complete while
// each runs. First it compares the lock policies alone, in the same run:
// readers holding the lock shared in overlapping turns, one writer taking it
// exclusively, with std::shared_mutex and with the database's FairSharedMutex.
//
// Other programs on the machine take CPU from the run; so beside each wall
// rate comes the share of the CPU the run got (process CPU time over wall time
// times the cores its threads could use) and the rate divided by that share:
// what the run would do with the machine to itself, comparable across runs.
//
// With --recall M it then adds M records one at a time alone and M more beside
// 4 searching threads, and compares the two groups: how often a search for a
// record's own vector returns it first, and recall@10 against an exact scan
// for queries near the records.
//
//   bench_rw_fairness [--n N] [--dim D] [--seconds S] [--save-compact] [--no-rates] [--recall M] [--dir PATH]
//                     [--from SAVED]
// (--no-rates: skip the lock comparison and the rates beside searchers.
// --from: work on a copy of a saved database of dimension D instead of
// building one, which at a million records takes longer than the run.)
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include <shared_mutex>

#include "engine/db/database.h"
#include "engine/db/fair_shared_mutex.h"

using namespace kelpo;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The share of the CPU a run of `threads` busy threads got over `wall` seconds.
double cpu_share(double cpu, double wall, size_t threads) {
  const size_t usable = std::min<size_t>(threads, std::max(1u, std::thread::hardware_concurrency()));
  return std::min(1.0, cpu / (wall * static_cast<double>(usable)));
}

struct Args {
  size_t n = 110000, dim = 96;
  double seconds = 4.0;
  bool save_compact = false;
  bool rates = true;
  size_t recall = 0;
  std::string dir = "/tmp/kelpo-bench-rw";
  std::string from;
};

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string s = argv[i];
    if (s == "--n") a.n = std::stoull(argv[++i]);
    else if (s == "--dim") a.dim = std::stoull(argv[++i]);
    else if (s == "--seconds") a.seconds = std::stod(argv[++i]);
    else if (s == "--save-compact") a.save_compact = true;
    else if (s == "--dir") a.dir = argv[++i];
    else if (s == "--from") a.from = argv[++i];
    else if (s == "--no-rates") a.rates = false;
    else if (s == "--recall") a.recall = std::stoull(argv[++i]);
  }
  return a;
}

std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> g;
  std::vector<float> v(dim);
  for (float& x : v) x = g(rng);
  return v;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Rates {
  double writes = 0, searches = 0;
  double share = 1;  // of the CPU the run's threads could use
  double writer_core = 0;  // the writer thread's CPU time over wall time: the share of one core it ran on
  double writes_per_writer_cpu() const { return writer_core > 0 ? writes / writer_core : 0; }
  double writes_adjusted() const { return writes / share; }
  double searches_adjusted() const { return searches / share; }
};

// `searchers` threads search and (when `write`) one thread adds for `seconds`.
Rates run(Database& db, size_t dim, size_t searchers, bool write, double seconds, std::atomic<size_t>& next_id) {
  std::atomic<bool> stop{false};
  std::atomic<size_t> searches{0}, writes{0};
  std::atomic<double> writer_cpu{0};
  std::vector<std::thread> threads;
  const double cpu0 = process_cpu_seconds();
  const auto t0 = Clock::now();
  for (size_t t = 0; t < searchers; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(100 + t));
      SearchOptions opt;
      opt.k = 10;
      while (!stop.load(std::memory_order_relaxed)) {
        const std::vector<float> q = random_vector(rng, dim);
        if (!db.search(q.data(), dim, opt).ok()) std::abort();
        searches.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  if (write) {
    threads.emplace_back([&] {
      std::mt19937 rng(7);
      const double own0 = thread_cpu_seconds();
      while (!stop.load(std::memory_order_relaxed)) {
        if (!db.add("w" + std::to_string(next_id++), random_vector(rng, dim), std::nullopt).ok()) std::abort();
        writes.fetch_add(1, std::memory_order_relaxed);
      }
      writer_cpu = thread_cpu_seconds() - own0;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  const double wall = since(t0);
  return {static_cast<double>(writes.load()) / wall, static_cast<double>(searches.load()) / wall,
          cpu_share(process_cpu_seconds() - cpu0, wall, threads.size()), writer_cpu.load() / wall};
}

// Starts `op` on its own thread; while it runs, one thread adds records and
// two search. Prints the op's time, the longest single add, the adds that
// overlapped the op with their 99th-percentile latency, and the searches
// completed during the op.
void beside(const char* name, Database& db, size_t dim, std::atomic<size_t>& next_id,
            const std::function<void()>& op) {
  std::atomic<bool> done{false};
  std::atomic<size_t> searches{0};
  std::atomic<bool> timing{false};
  std::vector<double> waits;  // the writer's: each add's latency while the op runs
  double longest_add = 0;
  size_t adds = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(300 + t));
      SearchOptions opt;
      while (!done.load()) {
        const std::vector<float> q = random_vector(rng, dim);
        if (!db.search(q.data(), dim, opt).ok()) std::abort();
        searches.fetch_add(1);
      }
    });
  }
  std::thread writer([&] {
    std::mt19937 rng(11);
    while (!done.load()) {
      const std::vector<float> v = random_vector(rng, dim);
      const auto t0 = Clock::now();
      const bool during = timing.load();
      if (!db.add("s" + std::to_string(next_id++), v, std::nullopt).ok()) std::abort();
      const double took = since(t0);
      longest_add = std::max(longest_add, took);
      if (during || timing.load()) waits.push_back(took);
      ++adds;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const size_t searches_before = searches.load();
  const double cpu0 = process_cpu_seconds();
  const auto t0 = Clock::now();
  timing = true;
  op();
  timing = false;
  const double op_s = since(t0);
  const double share = cpu_share(process_cpu_seconds() - cpu0, op_s, 4);
  const size_t searches_during = searches.load() - searches_before;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  done = true;
  writer.join();
  for (auto& th : threads) th.join();
  std::sort(waits.begin(), waits.end());
  const double p99 = waits.empty() ? 0.0 : waits[std::min(waits.size() - 1, waits.size() * 99 / 100)];
  std::printf("%-12s %8.2f s   longest add %8.3f s   adds during it %zu (p99 %.4f s)   searches during it %zu "
              "(%.0f/s)   [CPU share %3.0f%%]\n",
              name, op_s, longest_add, waits.size(), p99, searches_during,
              static_cast<double>(searches_during) / op_s, 100.0 * share);
}

// Readers each hold the lock shared for ~50 us of work per turn, back to
// back; one writer takes it exclusively for ~5 us per turn. Returns the
// writer's and the readers' acquisitions per second.
template <class Mutex>
std::pair<double, double> lock_policy(size_t readers, double seconds) {
  Mutex mu;
  std::atomic<bool> stop{false};
  std::atomic<size_t> reads{0}, writes{0};
  auto spin = [](std::chrono::microseconds d) {
    const auto until = Clock::now() + d;
    while (Clock::now() < until) {
    }
  };
  std::vector<std::thread> threads;
  for (size_t r = 0; r < readers; ++r) {
    threads.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        std::shared_lock<Mutex> lock(mu);
        spin(std::chrono::microseconds(50));
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      std::unique_lock<Mutex> lock(mu);
      spin(std::chrono::microseconds(5));
      writes.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  return {static_cast<double>(writes.load()) / seconds, static_cast<double>(reads.load()) / seconds};
}

// Adds `count` records ("c{first}"...) one at a time, their vectors from
// `rng`, while `searchers` threads search; returns the records' vectors.
std::vector<std::vector<float>> add_group(Database& db, size_t dim, size_t first, size_t count, size_t searchers,
                                          std::mt19937& rng) {
  std::vector<std::vector<float>> added;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < searchers; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 search_rng(static_cast<unsigned>(500 + t));
      SearchOptions opt;
      while (!stop.load(std::memory_order_relaxed)) {
        const std::vector<float> q = random_vector(search_rng, dim);
        if (!db.search(q.data(), dim, opt).ok()) std::abort();
      }
    });
  }
  for (size_t i = 0; i < count; ++i) {
    added.push_back(random_vector(rng, dim));
    if (!db.add("c" + std::to_string(first + i), added.back(), std::nullopt).ok()) std::abort();
  }
  stop = true;
  for (auto& th : threads) th.join();
  return added;
}

// For each of (at most 300 of) `group`'s records: whether searching its own
// vector returns it first, and recall@10 for a query near it against an
// exact scan of every stored vector. Prints both averages.
void group_recall(const char* name, Database& db, size_t dim, size_t first, const std::vector<std::vector<float>>& group,
                  const std::vector<std::vector<float>>& stored) {
  const size_t probes = std::min<size_t>(300, group.size());
  std::mt19937 rng(9);
  std::normal_distribution<float> g;
  const DistanceFunction fn(Metric::kCosine);
  size_t self = 0;
  double recall = 0;
  for (size_t p = 0; p < probes; ++p) {
    const size_t i = p * group.size() / probes;
    SearchOptions opt;
    opt.k = 10;
    auto own = db.search(group[i].data(), dim, opt);
    if (!own.ok()) std::abort();
    self += !own.value().empty() && own.value().front().id == "c" + std::to_string(first + i);
    std::vector<float> q = group[i];
    for (float& x : q) x += 0.5f * g(rng);
    auto hits = db.search(q.data(), dim, opt);
    if (!hits.ok()) std::abort();
    std::vector<std::pair<float, size_t>> exact;
    exact.reserve(stored.size());
    for (size_t r = 0; r < stored.size(); ++r) exact.emplace_back(fn(q.data(), stored[r].data(), dim), r);
    std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
    const float tenth = exact[9].first;
    size_t found = 0;
    for (const SearchHit& h : hits.value()) found += h.distance <= tenth;  // ties at the 10th count as found
    recall += static_cast<double>(std::min<size_t>(found, 10)) / 10.0;
  }
  std::printf("%-34s own vector first %5.1f%%   recall@10 near it %.4f   (%zu probes)\n", name,
              100.0 * static_cast<double>(self) / static_cast<double>(probes), recall / static_cast<double>(probes),
              probes);
}

}  // namespace

int main(int argc, char** argv) {
  const Args a = parse(argc, argv);
  for (size_t readers : {1, 2, 4}) {
    if (!a.rates) break;
    const auto [w_std, r_std] = lock_policy<std::shared_mutex>(readers, a.seconds / 2);
    const auto [w_fair, r_fair] = lock_policy<FairSharedMutex>(readers, a.seconds / 2);
    std::printf("locks, %zu readers: writer %9.0f/s (std::shared_mutex) vs %9.0f/s (fair); readers %9.0f/s vs %9.0f/s\n",
                readers, w_std, w_fair, r_std, r_fair);
  }
  if (a.n == 0) return 0;  // --n 0: the lock comparison only

  std::filesystem::remove_all(a.dir);
  if (!a.from.empty()) std::filesystem::copy(a.from, a.dir, std::filesystem::copy_options::recursive);
  auto opened = a.from.empty() ? Database::open_or_create_with_config(a.dir, a.dim, Metric::kCosine, {})
                               : Database::open(a.dir);
  if (!opened.ok()) {
    std::fprintf(stderr, "%s\n", opened.error().message().c_str());
    return 1;
  }
  Database& db = *opened.value();
  std::mt19937 rng(1);
  const size_t chunk = 10000;
  std::atomic<size_t> next_id{0};
  const auto t_build = Clock::now();
  for (size_t done = 0; a.from.empty() && done < a.n; done += chunk) {
    const size_t rows = std::min(chunk, a.n - done);
    VectorBatch batch = VectorBatch::uniform(rows, a.dim);
    std::normal_distribution<float> g;
    for (float& x : batch.data) x = g(rng);
    std::vector<std::string> ids;
    for (size_t i = 0; i < rows; ++i) ids.push_back("r" + std::to_string(next_id++));
    if (!db.add_many(ids, batch, {}).ok()) return 1;
  }
  if (a.from.empty()) {
    std::printf("built %zu x %zu cosine in %.1f s\n", a.n, a.dim, since(t_build));
  } else {
    std::printf("opened a copy of %s: %zu records in %.1f s\n", a.from.c_str(), db.ids().size(), since(t_build));
  }

  const Rates alone = run(db, a.dim, 0, true, a.rates ? a.seconds : 0.1, next_id);
  std::printf("%-28s writes %8.0f/s   [CPU share %3.0f%%: %8.0f/s]   writer thread on %3.0f%% of a core: %8.0f "
              "writes per CPU second\n",
              "writer alone", alone.writes, 100.0 * alone.share, alone.writes_adjusted(), 100.0 * alone.writer_core,
              alone.writes_per_writer_cpu());
  for (size_t searchers : {1, 2, 4}) {
    if (!a.rates) break;
    const Rates quiet = run(db, a.dim, searchers, false, a.seconds, next_id);
    const Rates mixed = run(db, a.dim, searchers, true, a.seconds, next_id);
    std::printf("%zu searching: writes %8.0f/s (%5.1f%% of alone)   searches %8.0f/s with the writer, %8.0f/s "
                "without (%5.1f%%)\n",
                searchers, mixed.writes, 100.0 * mixed.writes / alone.writes, mixed.searches, quiet.searches,
                100.0 * mixed.searches / quiet.searches);
    std::printf("   [CPU share %3.0f%% mixed, %3.0f%% quiet: writes %8.0f/s (%5.1f%%)   searches %8.0f/s vs %8.0f/s "
                "(%5.1f%%)]\n",
                100.0 * mixed.share, 100.0 * quiet.share, mixed.writes_adjusted(),
                100.0 * mixed.writes_adjusted() / alone.writes_adjusted(), mixed.searches_adjusted(),
                quiet.searches_adjusted(), 100.0 * mixed.searches_adjusted() / quiet.searches_adjusted());
    std::printf("   [writer thread on %3.0f%% of a core (alone %3.0f%%): %8.0f writes per CPU second (%5.1f%% of "
                "alone)]\n",
                100.0 * mixed.writer_core, 100.0 * alone.writer_core, mixed.writes_per_writer_cpu(),
                100.0 * mixed.writes_per_writer_cpu() / alone.writes_per_writer_cpu());
  }

  if (a.recall > 0) {
    // Every stored vector, read back, for the exact scan.
    std::vector<std::vector<float>> stored;
    for (const std::string& id : db.ids()) stored.push_back(db.get(id).value().first);
    std::mt19937 group_rng(77);
    const size_t first = next_id.fetch_add(2 * a.recall);
    const auto alone_group = add_group(db, a.dim, first, a.recall, 0, group_rng);
    const auto beside_group = add_group(db, a.dim, first + a.recall, a.recall, 4, group_rng);
    stored.insert(stored.end(), alone_group.begin(), alone_group.end());
    stored.insert(stored.end(), beside_group.begin(), beside_group.end());
    group_recall("added one at a time, alone", db, a.dim, first, alone_group, stored);
    group_recall("added one at a time, 4 searching", db, a.dim, first + a.recall, beside_group, stored);
  }

  if (a.save_compact) {
    beside("save", db, a.dim, next_id, [&] {
      if (!db.save().ok()) std::abort();
    });
    // Every tenth record, so the compaction has deletions to drop.
    std::vector<std::string> doomed;
    const std::vector<std::string> ids = db.ids();
    for (size_t i = 0; i < ids.size(); i += 10) doomed.push_back(ids[i]);
    if (!db.delete_many(doomed).ok()) return 1;
    beside("compaction", db, a.dim, next_id, [&] {
      if (!db.compact().ok()) std::abort();
    });
  }
  opened.value().reset();
  std::filesystem::remove_all(a.dir);
  return 0;
}
