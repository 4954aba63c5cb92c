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
//   bench_rw_fairness [--n N] [--dim D] [--seconds S] [--save-compact] [--no-rates] [--dir PATH]
// (--no-rates: skip the lock comparison and the rates beside searchers.)
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
  std::string dir = "/tmp/kelpo-bench-rw";
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
    else if (s == "--no-rates") a.rates = false;
  }
  return a;
}

std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> g;
  std::vector<float> v(dim);
  for (float& x : v) x = g(rng);
  return v;
}

struct Rates {
  double writes = 0, searches = 0;
  double share = 1;  // of the CPU the run's threads could use
  double writes_adjusted() const { return writes / share; }
  double searches_adjusted() const { return searches / share; }
};

// `searchers` threads search and (when `write`) one thread adds for `seconds`.
Rates run(Database& db, size_t dim, size_t searchers, bool write, double seconds, std::atomic<size_t>& next_id) {
  std::atomic<bool> stop{false};
  std::atomic<size_t> searches{0}, writes{0};
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
      while (!stop.load(std::memory_order_relaxed)) {
        if (!db.add("w" + std::to_string(next_id++), random_vector(rng, dim), std::nullopt).ok()) std::abort();
        writes.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& th : threads) th.join();
  const double wall = since(t0);
  return {static_cast<double>(writes.load()) / wall, static_cast<double>(searches.load()) / wall,
          cpu_share(process_cpu_seconds() - cpu0, wall, threads.size())};
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
  auto opened = Database::open_or_create_with_config(a.dir, a.dim, Metric::kCosine, {});
  if (!opened.ok()) {
    std::fprintf(stderr, "%s\n", opened.error().message().c_str());
    return 1;
  }
  Database& db = *opened.value();
  std::mt19937 rng(1);
  const size_t chunk = 10000;
  std::atomic<size_t> next_id{0};
  const auto t_build = Clock::now();
  for (size_t done = 0; done < a.n; done += chunk) {
    const size_t rows = std::min(chunk, a.n - done);
    VectorBatch batch = VectorBatch::uniform(rows, a.dim);
    std::normal_distribution<float> g;
    for (float& x : batch.data) x = g(rng);
    std::vector<std::string> ids;
    for (size_t i = 0; i < rows; ++i) ids.push_back("r" + std::to_string(next_id++));
    if (!db.add_many(ids, batch, {}).ok()) return 1;
  }
  std::printf("built %zu x %zu cosine in %.1f s\n", a.n, a.dim, since(t_build));

  const Rates alone = run(db, a.dim, 0, true, a.rates ? a.seconds : 0.1, next_id);
  std::printf("%-28s writes %8.0f/s   [CPU share %3.0f%%: %8.0f/s]\n", "writer alone", alone.writes,
              100.0 * alone.share, alone.writes_adjusted());
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
  }

  if (a.save_compact) {
    beside("save", db, a.dim, next_id, [&] {
      if (!db.save().ok()) std::abort();
    });
    std::vector<std::string> doomed;
    for (size_t i = 0; i < a.n; i += 10) doomed.push_back("r" + std::to_string(i));
    if (!db.delete_many(doomed).ok()) return 1;
    beside("compaction", db, a.dim, next_id, [&] {
      if (!db.compact().ok()) std::abort();
    });
  }
  opened.value().reset();
  std::filesystem::remove_all(a.dir);
  return 0;
}
