// Persistence benchmark: a kelpo database and an hnswlib index built over the
// same synthetic vectors with the same M and ef_construction, side by side in
// one run. Reports build time, save time (with and without syncing to stable
// storage), open time with the files in the page cache and dropped from it,
// resident memory right after opening, the latency of the first search after
// opening and of the ones after it, and compaction (delete 10%, compact)
// against a fresh build of the remaining vectors.
//
// Each open runs in a child process (this program again, with --child=...),
// so memory is measured from a clean heap and the first search is the
// process's first. Cold opens drop the files from the page cache first
// (posix_fadvise DONTNEED, after fsync) and report how much of them was
// still cached.
//
//   bench_persist [--n=N] [--dim=D] [--queries=Q] [--threads=T] [--m=M]
//                 [--ef-construction=E] [--rounds=R] [--settle-ms=MS]
//                 [--dir=PATH] [--keep] [--data=latent|clusters]
//                 [--metadata] [--no-hnswlib] [--no-rebuild] [--no-compact] [--json]
//
// --n defaults to 100,000 (a quick run); --threads (2) is for the builds;
// --rounds (3) repeats every save and open, and medians are shown; before
// each timed save the files are synced and the disk left alone for
// --settle-ms (2000) milliseconds. Files go to a new temporary directory,
// removed at the end unless --keep is given; --dir=PATH works in PATH and
// leaves its files. A kept kelpo database is saved once more after its
// compaction. --metadata gives every record a small JSON object; --no-rebuild
// skips the fresh builds compaction is compared with, --no-compact the
// compaction itself (a kept database is then the one the opens timed).
// --data=latent (the default) draws from a 16-dimensional latent space mapped
// into dim dimensions; --data=clusters from 100 Gaussian clusters, as
// bench_db does.
//
// Under the sanitizer build pass --no-hnswlib: hnswlib's insertion reads one
// entry past a neighbour list when it prefetches, which AddressSanitizer
// reports as an overflow in its searchBaseLayer.
//
// Never run as a test: the numbers depend on the machine and its disk.

#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <oneapi/tbb/global_control.h>

#include "bench/bench_persist_child.h"
#include "bench/bench_persist_data.h"
#include "bench/bench_persist_os.h"
#include "engine/db/database.h"

namespace kelpo::bench {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;


struct Args {
  size_t n = 100000, dim = 128, queries = 101, threads = 2, m = 16, ef_construction = 200, rounds = 3,
         settle_ms = 2000;
  std::string dir, data = "latent";
  bool keep = false, metadata = false, hnswlib = true, rebuild = true, compact = true, json = false;
  // Child mode: "kelpo", "hnswlib" or "kelpo-phases"; opens `dir`.
  std::string child;
  std::string queries_file;
  bool cold = false;
};

bool parse_args(int argc, char** argv, Args& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(0, eq), val = eq == std::string::npos ? "" : arg.substr(eq + 1);
    auto num = [&](size_t& out) {
      out = std::stoul(val);
      return true;
    };
    if (key == "--n") num(a.n);
    else if (key == "--dim") num(a.dim);
    else if (key == "--queries") num(a.queries);
    else if (key == "--threads") num(a.threads);
    else if (key == "--m") num(a.m);
    else if (key == "--ef-construction") num(a.ef_construction);
    else if (key == "--rounds") num(a.rounds);
    else if (key == "--settle-ms") num(a.settle_ms);
    else if (key == "--dir") a.dir = val;
    else if (key == "--data" && (val == "latent" || val == "clusters")) a.data = val;
    else if (key == "--keep") a.keep = true;
    else if (key == "--metadata") a.metadata = true;
    else if (key == "--no-hnswlib") a.hnswlib = false;
    else if (key == "--no-rebuild") a.rebuild = false;
    else if (key == "--no-compact") a.compact = false;
    else if (key == "--json") a.json = true;
    else if (key == "--child") a.child = val;
    else if (key == "--queries-file") a.queries_file = val;
    else if (key == "--cold") a.cold = true;
    else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return false;
    }
  }
  if (a.queries < 2) a.queries = 2;
  if (a.rounds < 1) a.rounds = 1;
  if (a.threads < 1) a.threads = 1;
  return a.n > 0 && a.dim > 0;
}


std::string fmt_time(double s) {
  char buf[32];
  if (std::isnan(s)) return "-";
  if (s < 1e-3) std::snprintf(buf, sizeof buf, "%.0f us", s * 1e6);
  else if (s < 1) std::snprintf(buf, sizeof buf, "%.1f ms", s * 1e3);
  else std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

std::string fmt_mib(double bytes) {
  char buf[32];
  if (std::isnan(bytes)) return "-";
  std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return buf;
}

std::string fmt_num(const char* f, double v) {
  char buf[32];
  if (std::isnan(v)) return "-";
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

void log(const char* f, const std::string& s = "") {
  static const auto start = Clock::now();
  std::fprintf(stderr, "[%7.1f s] ", seconds_since(start));
  std::fprintf(stderr, f, s.c_str());
  std::fprintf(stderr, "\n");
}

// ---------------------------------------------------------------------------
// Parent

struct OpenFigures {
  std::vector<double> open, open_cpu, first, next, rss_open, anon_open, file_open, rss_search, anon_search, file_search, cached,
      read;
  Labels results;  // from the last run
  size_t runs = 0, same_results = 0;  // runs whose answers equal the in-memory index's

  void add(const json& j, const Labels& in_memory) {
    open.push_back(j["open_s"]);
    open_cpu.push_back(j["open_cpu_s"]);
    first.push_back(j["first_search_s"]);
    next.push_back(j["next_median_s"]);
    cached.push_back(j["cached_before"]);
    if (j.contains("read_s")) read.push_back(j["read_s"]);
    auto delta = [&](const char* key, std::vector<double>& total, std::vector<double>& anon,
                     std::vector<double>& file) {
      const double a = j[key]["anon"].get<double>() - j["rss_before"]["anon"].get<double>();
      const double f = j[key]["file"].get<double>() - j["rss_before"]["file"].get<double>();
      anon.push_back(a);
      file.push_back(f);
      total.push_back(a + f);
    };
    delta("rss_open", rss_open, anon_open, file_open);
    delta("rss_search", rss_search, anon_search, file_search);
    results = j["results"].get<Labels>();
    ++runs;
    same_results += results == in_memory;
  }
};

std::string self_exe() {
  std::vector<char> buf(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : "bench_persist";
}

std::optional<json> run_child(const Args& a, const std::string& engine, const std::string& dir, bool cold) {
  std::string cmd = shell_quote(self_exe()) + " --child=" + engine + " --dir=" + shell_quote(dir) +
                    " --dim=" + std::to_string(a.dim) + " --queries-file=" + shell_quote(a.queries_file);
  if (cold) cmd += " --cold";
  bool ok = false;
  const std::string out = run_capture(cmd, ok);
  if (!ok) {
    std::fprintf(stderr, "child %s failed\n", engine.c_str());
    return std::nullopt;
  }
  return json::parse(out);
}

// One kelpo save, timed, with where its time went.
struct SaveBreakdown {
  double total = 0, collect = 0, vectors_write = 0, vectors_sync = 0, graph_write = 0, graph_sync = 0, dir_sync = 0,
         rename = 0, remove = 0, rest = 0;
  uint64_t vectors_bytes = 0, graph_bytes = 0;
  size_t dir_syncs = 0;
};

SaveBreakdown timed_kelpo_save(Database& db, TimingFileOps& ops, bool syncing) {
  ops.syncing = syncing;
  ops.reset();
  SaveBreakdown b;
  const auto t0 = Clock::now();
  const Status st = db.save();
  b.total = seconds_since(t0);
  if (!st.ok()) {
    std::fprintf(stderr, "save failed: %s\n", st.error().message().c_str());
    std::exit(1);
  }
  b.collect = ops.any_call ? std::chrono::duration<double>(ops.first_call - t0).count() : 0;
  const auto& v = ops.files["vectors.tmp"];
  const auto& g = ops.files["graph.tmp"];
  b.vectors_sync = v.sync;
  b.vectors_write = v.open_to_close - v.sync;
  b.vectors_bytes = v.bytes;
  b.graph_sync = g.sync;
  b.graph_write = g.open_to_close - g.sync;
  b.graph_bytes = g.bytes;
  b.dir_sync = ops.dir_sync;
  b.dir_syncs = ops.dir_syncs;
  b.rename = ops.rename_s;
  b.remove = ops.remove_s;
  b.rest = b.total - b.collect - v.open_to_close - g.open_to_close - b.dir_sync - b.rename - b.remove;
  ops.syncing = true;
  return b;
}

void sync_all(const std::string& dir) {
  for (const auto& f : files_of(dir)) fsync_path(f);
  fsync_path(dir);
}

struct Row {
  std::string name, kelpo, peer, ratio;
};

void print_table(const std::string& title, const std::vector<Row>& rows) {
  std::printf("\n%s\n", title.c_str());
  std::printf("  %-46s %14s %14s %10s\n", "", "kelpo", "hnswlib", "h/k");
  for (const Row& r : rows) {
    std::printf("  %-46s %14s %14s %10s\n", r.name.c_str(), r.kelpo.c_str(), r.peer.c_str(), r.ratio.c_str());
  }
}

// peer / kelpo: above 1 kelpo is faster or smaller.
std::string ratio(double kelpo, double peer) {
  if (std::isnan(kelpo) || std::isnan(peer) || kelpo <= 0) return "-";
  return fmt_num(peer / kelpo >= 100 ? "%.0fx" : "%.2fx", peer / kelpo);
}

Row time_row(const std::string& name, double k, double p) { return {name, fmt_time(k), fmt_time(p), ratio(k, p)}; }
Row mem_row(const std::string& name, double k, double p) { return {name, fmt_mib(k), fmt_mib(p), ratio(k, p)}; }

int parent(Args a) {
  const bool peer_on = a.hnswlib && hnswlib_usable();
#ifndef KELPO_BENCH_HNSWLIB
  const bool peer_built_in = false;
#else
  const bool peer_built_in = true;
#endif
  const bool with_peer = peer_on && peer_built_in;
  if (a.hnswlib && !with_peer) std::fprintf(stderr, "hnswlib needs AVX-512 here; running kelpo alone\n");

  log("generating data");
  const Dataset ds = a.data == "clusters" ? overlapping_clusters(a.n, a.queries, a.dim)
                                          : latent_space(a.n, a.queries, a.dim);
  std::printf("persistence benchmark: %zu x %zu, %s, M %zu, ef_construction %zu, %zu build thread(s), k %zu, "
              "ef %zu, %zu queries, %zu round(s)%s\n",
              a.n, a.dim, ds.name.c_str(), a.m, a.ef_construction, a.threads, kK, kEf, a.queries, a.rounds,
              a.metadata ? ", small metadata on every record" : "");
  oneapi::tbb::global_control limit(oneapi::tbb::global_control::max_allowed_parallelism, a.threads);

  const Labels truth = exact_topk(ds, [](size_t) { return true; });

  std::string base = a.dir;
  if (base.empty()) {
    std::string t = (fs::temp_directory_path() / "kelpo-persist-XXXXXX").string();
    if (::mkdtemp(t.data()) == nullptr) return 1;
    base = t;
  } else {
    fs::create_directories(base);
  }
  const std::string kelpo_dir = base + "/kelpo", peer_dir = base + "/hnswlib", peer_file = peer_dir + "/index.bin",
                    fresh_dir = base + "/kelpo-fresh";
  fs::remove_all(kelpo_dir);
  fs::remove_all(peer_dir);
  fs::remove_all(fresh_dir);
  fs::create_directories(peer_dir);
  a.queries_file = base + "/queries.f32";
  write_floats(a.queries_file, ds.queries.data(), ds.queries.size());
  log("working in %s", base);

  json j;
  j["n"] = a.n;
  j["dim"] = a.dim;
  j["m"] = a.m;
  j["ef_construction"] = a.ef_construction;
  j["threads"] = a.threads;

  // ---- build ----
  TimingFileOps ops;
  DatabaseHooks hooks;
  hooks.file_ops = &ops;
  DatabaseConfig config;
  config.m = a.m;
  config.ef_construction = a.ef_construction;
  auto created = Database::open_or_create_with_config(kelpo_dir, a.dim, Metric::kEuclidean, config, hooks);
  if (!created.ok()) {
    std::fprintf(stderr, "%s\n", created.error().message().c_str());
    return 1;
  }
  std::unique_ptr<Database> db = std::move(created.value());
  std::vector<std::string> ids(a.n);
  for (size_t i = 0; i < a.n; ++i) ids[i] = "v" + std::to_string(i);
  double kelpo_build = 0;
  {
    VectorBatch batch = VectorBatch::uniform(a.n, a.dim);
    std::copy(ds.base.begin(), ds.base.end(), batch.data.begin());
    std::vector<std::optional<Json>> metas;
    if (a.metadata) {
      metas.resize(a.n);
      for (size_t i = 0; i < a.n; ++i) metas[i] = Json{{"group", static_cast<int64_t>(i % 100)}};
    }
    log("kelpo: building (add_many)");
    const auto t0 = Clock::now();
    const Status st = db->add_many(ids, batch, std::move(metas));
    kelpo_build = seconds_since(t0);
    if (!st.ok()) {
      std::fprintf(stderr, "%s\n", st.error().message().c_str());
      return 1;
    }
  }
  malloc_trim(0);
  log("kelpo: built in %s", fmt_time(kelpo_build));
  const Labels kelpo_in_memory = kelpo_search_all(*db, ds);
  const double kelpo_recall = recall(kelpo_in_memory, truth);

  double peer_build_s = std::nan(""), peer_recall = std::nan("");
  Labels peer_in_memory;
#ifdef KELPO_BENCH_HNSWLIB
  hnswlib::L2Space space(a.dim);
  std::unique_ptr<Peer> peer;
  if (with_peer) {
    std::vector<uint32_t> all(a.n);
    for (size_t i = 0; i < a.n; ++i) all[i] = static_cast<uint32_t>(i);
    log("hnswlib: building");
    const auto t0 = Clock::now();
    peer = std::make_unique<Peer>(&space, a.n, a.m, a.ef_construction);
    peer_build(*peer, ds, all, a.threads);
    peer_build_s = seconds_since(t0);
    log("hnswlib: built in %s", fmt_time(peer_build_s));
    peer_in_memory = peer_search_all(*peer, ds);
    peer_recall = recall(peer_in_memory, truth);
  }
#endif

  // ---- save ----
  // The first save after the build also deletes the log the build wrote;
  // later saves rewrite the same state.
  log("saving");
  const SaveBreakdown first_save = timed_kelpo_save(*db, ops, true);
  double peer_first_save = std::nan("");
  std::vector<SaveBreakdown> synced, unsynced;
  std::vector<double> peer_synced, peer_unsynced;
#ifdef KELPO_BENCH_HNSWLIB
  auto peer_save = [&](bool sync) {
    const auto t0 = Clock::now();
    peer->saveIndex(peer_file);
    if (sync) {
      fsync_path(peer_file);
      fsync_path(peer_dir);
    }
    const double s = seconds_since(t0);
    if (!sync) sync_all(peer_dir);
    return s;
  };
  if (with_peer) {
    sync_all(kelpo_dir);
    std::this_thread::sleep_for(std::chrono::milliseconds(a.settle_ms));
    peer_first_save = peer_save(true);
  }
#endif
  // Each timed save starts from a settled disk: the previous save's writes
  // synced and a pause for the device to finish with them (a virtual disk
  // keeps working after fsync returns, and the freed blocks of a replaced
  // file are discarded at the next journal commit). Which side goes first
  // alternates between rounds.
  auto settle = [&] {
    sync_all(kelpo_dir);
    if (with_peer) sync_all(peer_dir);
    std::this_thread::sleep_for(std::chrono::milliseconds(a.settle_ms));
  };
  // A save after which no vector changed keeps vectors.bin; these rows time
  // full saves, so each one follows a vector write (rewriting a row with
  // its own values, outside the timing).
  auto touch_vector = [&](size_t r) {
    const size_t row = r % a.n;
    const Status st = db->update(ids[row], std::vector<float>(ds.row(row), ds.row(row) + a.dim), std::nullopt);
    if (!st.ok()) std::exit(1);
  };
  for (size_t r = 0; r < a.rounds; ++r) {
    auto kelpo_saves = [&] {
      settle();
      touch_vector(r);
      synced.push_back(timed_kelpo_save(*db, ops, true));
      settle();
      touch_vector(r);
      unsynced.push_back(timed_kelpo_save(*db, ops, false));
    };
    auto peer_saves = [&] {
#ifdef KELPO_BENCH_HNSWLIB
      if (!with_peer) return;
      settle();
      peer_synced.push_back(peer_save(true));
      settle();
      peer_unsynced.push_back(peer_save(false));
#endif
    };
    if (r % 2 == 0) {
      kelpo_saves();
      peer_saves();
    } else {
      peer_saves();
      kelpo_saves();
    }
    const SaveBreakdown& ks = synced.back();
    std::string line = "save round " + std::to_string(r + 1) + ": kelpo synced " + fmt_time(ks.total) +
                       " (vectors.tmp written " + fmt_time(ks.vectors_write) + "), unsynced " +
                       fmt_time(unsynced.back().total);
    if (with_peer) {
      line += "; hnswlib synced " + fmt_time(peer_synced.back()) + ", unsynced " + fmt_time(peer_unsynced.back());
    }
    log("%s", line);
  }
  // Saves after a metadata change only: the graph file alone is written.
  std::vector<double> metadata_only;
  for (size_t r = 0; r < a.rounds; ++r) {
    settle();
    const Status st = db->update(ids[(r * 7919) % a.n], std::nullopt, Json{{"touched", static_cast<int64_t>(r)}});
    if (!st.ok()) return 1;
    const SaveBreakdown b = timed_kelpo_save(*db, ops, true);
    if (b.vectors_bytes != 0) std::fprintf(stderr, "a metadata-only save wrote vectors.tmp\n");
    metadata_only.push_back(b.total);
    log("%s", "metadata-only save round " + std::to_string(r + 1) + ": " + fmt_time(b.total));
  }
  // The synced save last, so the files opened below are the as-shipped ones.
  settle();
  touch_vector(0);
  synced.push_back(timed_kelpo_save(*db, ops, true));
  auto totals = [](const std::vector<SaveBreakdown>& v) {
    std::vector<double> t;
    for (const auto& b : v) t.push_back(b.total);
    return t;
  };
  // The breakdowns shown are those of the middle runs.
  std::vector<SaveBreakdown> by_total = synced;
  std::sort(by_total.begin(), by_total.end(), [](const auto& x, const auto& y) { return x.total < y.total; });
  const SaveBreakdown save_mid = by_total[by_total.size() / 2];
  by_total = unsynced;
  std::sort(by_total.begin(), by_total.end(), [](const auto& x, const auto& y) { return x.total < y.total; });
  const SaveBreakdown unsynced_mid = by_total[by_total.size() / 2];
  const double kelpo_save_synced = median(totals(synced)), kelpo_save_unsynced = median(totals(unsynced));
  const double peer_save_synced = median(peer_synced), peer_save_unsynced = median(peer_unsynced);
  const uint64_t kelpo_bytes = bytes_of(files_of(kelpo_dir));
  const uint64_t peer_bytes = with_peer ? bytes_of({peer_file}) : 0;

  // ---- open ----
  OpenFigures warm_k, cold_k, warm_p, cold_p;
  std::vector<double> phase_read, phase_plain_read, phase_parse, phase_map, phase_restore;
  settle();
  for (size_t r = 0; r < a.rounds; ++r) {
    log("opening, round %s", std::to_string(r + 1));
    for (bool cold : {false, true}) {
      if (auto res = run_child(a, "kelpo", kelpo_dir, cold)) (cold ? cold_k : warm_k).add(*res, kelpo_in_memory);
      else return 1;
      if (with_peer) {
        if (auto res = run_child(a, "hnswlib", peer_file, cold)) (cold ? cold_p : warm_p).add(*res, peer_in_memory);
        else return 1;
      }
    }
    if (auto res = run_child(a, "kelpo-phases", kelpo_dir, false)) {
      phase_read.push_back((*res)["read_graph_s"]);
      phase_plain_read.push_back((*res)["plain_read_s"]);
      phase_parse.push_back((*res)["parse_graph_s"]);
      phase_map.push_back((*res)["map_vectors_s"]);
      phase_restore.push_back((*res)["restore_index_s"]);
    } else {
      return 1;
    }
  }
  const double reopened_recall = recall(warm_k.results, truth);
  const double peer_reopened_recall = with_peer ? recall(warm_p.results, truth) : std::nan("");
#ifdef KELPO_BENCH_HNSWLIB
  peer.reset();
#endif

  // ---- compaction ----
  std::vector<std::string> doomed;
  std::vector<uint32_t> live;
  for (size_t i = 0; i < a.n; ++i) {
    if (i % 10 == 0) doomed.push_back(ids[i]);
    else live.push_back(static_cast<uint32_t>(i));
  }
  auto t0 = Clock::now();
  double delete_s = std::nan(""), deleted_recall = std::nan(""), compact_s = std::nan(""),
         compacted_recall = std::nan("");
  Labels truth_live;
  if (a.compact) {
    log("compaction: deleting 10%%");
    if (db->delete_many(doomed).value() != doomed.size()) return 1;
    delete_s = seconds_since(t0);
    truth_live = exact_topk(ds, [](size_t i) { return i % 10 != 0; });
    deleted_recall = recall(kelpo_search_all(*db, ds), truth_live);
    log("compaction: compact()");
    t0 = Clock::now();
    if (!db->compact().ok()) return 1;
    compact_s = seconds_since(t0);
    compacted_recall = recall(kelpo_search_all(*db, ds), truth_live);
    log("compaction: done in %s", fmt_time(compact_s));
    if (a.keep && !db->save().ok()) return 1;
  }
  db.reset();
  malloc_trim(0);

  double fresh_s = std::nan(""), fresh_recall = std::nan(""), peer_fresh_s = std::nan(""),
         peer_fresh_recall = std::nan("");
  if (a.rebuild && a.compact) {
    auto fresh = Database::open_or_create_with_config(fresh_dir, a.dim, Metric::kEuclidean, config);
    if (!fresh.ok()) return 1;
    std::vector<std::string> live_ids;
    VectorBatch batch = VectorBatch::uniform(live.size(), a.dim);
    for (size_t j2 = 0; j2 < live.size(); ++j2) {
      live_ids.push_back(ids[live[j2]]);
      std::copy(ds.row(live[j2]), ds.row(live[j2]) + a.dim, batch.data.begin() + static_cast<ptrdiff_t>(j2 * a.dim));
    }
    log("kelpo: fresh build of the remaining 90%%");
    t0 = Clock::now();
    if (!(*fresh)->add_many(live_ids, batch, {}).ok()) return 1;
    fresh_s = seconds_since(t0);
    fresh_recall = recall(kelpo_search_all(**fresh, ds), truth_live);
    fresh.value().reset();
    fs::remove_all(fresh_dir);
#ifdef KELPO_BENCH_HNSWLIB
    if (with_peer) {
      log("hnswlib: fresh build of the remaining 90%%");
      t0 = Clock::now();
      Peer rebuilt(&space, live.size(), a.m, a.ef_construction);
      peer_build(rebuilt, ds, live, a.threads);
      peer_fresh_s = seconds_since(t0);
      peer_fresh_recall = recall(peer_search_all(rebuilt, ds), truth_live);
    }
#endif
  }
  log("done");

  // ---- report ----
  const double nan = std::nan("");
  std::vector<Row> rows = {
      time_row("build (" + std::to_string(a.threads) + " threads)", kelpo_build, peer_build_s),
      mem_row("files on disk", static_cast<double>(kelpo_bytes), with_peer ? static_cast<double>(peer_bytes) : nan),
      time_row("first save after the build (synced)", first_save.total, peer_first_save),
      time_row("save, synced (kelpo as shipped; hnswlib+fsync)", kelpo_save_synced, peer_save_synced),
      time_row("save, unsynced (kelpo syncs off; hnswlib)", kelpo_save_unsynced, peer_save_unsynced),
      time_row("save, synced, only metadata changed", median(metadata_only), peer_save_synced),
      time_row("open, warm page cache", median(warm_k.open), median(warm_p.open)),
      time_row("open, cold (files dropped from cache)", median(cold_k.open), median(cold_p.open)),
      time_row("open, warm, CPU time (all threads)", median(warm_k.open_cpu), median(warm_p.open_cpu)),
      time_row("open, cold, CPU time (all threads)", median(cold_k.open_cpu), median(cold_p.open_cpu)),
      time_row("first search after warm open", median(warm_k.first), median(warm_p.first)),
      time_row("  median of the next " + std::to_string(a.queries - 1), median(warm_k.next), median(warm_p.next)),
      time_row("first search after cold open", median(cold_k.first), median(cold_p.first)),
      time_row("  median of the next " + std::to_string(a.queries - 1), median(cold_k.next), median(cold_p.next)),
      time_row("open + first search, warm", median(warm_k.open) + median(warm_k.first),
               median(warm_p.open) + median(warm_p.first)),
      time_row("open + first search, cold", median(cold_k.open) + median(cold_k.first),
               median(cold_p.open) + median(cold_p.first)),
      mem_row("RSS after open (warm)", median(warm_k.rss_open), median(warm_p.rss_open)),
      mem_row("  of which file-backed (mapped)", median(warm_k.file_open), median(warm_p.file_open)),
      mem_row("RSS after open + " + std::to_string(a.queries) + " searches (warm)", median(warm_k.rss_search),
              median(warm_p.rss_search)),
      mem_row("  of which file-backed (mapped)", median(warm_k.file_search), median(warm_p.file_search)),
      mem_row("RSS after open + " + std::to_string(a.queries) + " searches (cold)", median(cold_k.rss_search),
              median(cold_p.rss_search)),
      {"recall@10, in memory / after reopen", fmt_num("%.4f", kelpo_recall) + "/" + fmt_num("%.4f", reopened_recall),
       fmt_num("%.4f", peer_recall) + "/" + fmt_num("%.4f", peer_reopened_recall), ""},
      {"opens answering exactly as before the save",
       std::to_string(warm_k.same_results + cold_k.same_results) + "/" + std::to_string(warm_k.runs + cold_k.runs),
       std::to_string(warm_p.same_results + cold_p.same_results) + "/" + std::to_string(warm_p.runs + cold_p.runs), ""},
      {"share of files cached before cold opens", fmt_num("%.3f", median(cold_k.cached)),
       fmt_num("%.3f", median(cold_p.cached)), ""},
  };
  print_table("save and open (medians; h/k = hnswlib / kelpo, above 1 kelpo is faster or smaller)", rows);

  auto print_breakdown = [](const char* what, const SaveBreakdown& b) {
    std::printf("kelpo save, %s (%s):\n", what, fmt_time(b.total).c_str());
    std::printf("  collect id records %s; vectors.tmp %s written + %s fsync (%s);\n"
                "  graph.tmp %s written + %s fsync (%s); %zu directory syncs %s; renames %s; removals %s; other %s\n",
                fmt_time(b.collect).c_str(), fmt_time(b.vectors_write).c_str(), fmt_time(b.vectors_sync).c_str(),
                fmt_mib(static_cast<double>(b.vectors_bytes)).c_str(), fmt_time(b.graph_write).c_str(),
                fmt_time(b.graph_sync).c_str(), fmt_mib(static_cast<double>(b.graph_bytes)).c_str(), b.dir_syncs,
                fmt_time(b.dir_sync).c_str(), fmt_time(b.rename).c_str(), fmt_time(b.remove).c_str(),
                fmt_time(b.rest).c_str());
  };
  std::printf("\n");
  print_breakdown("middle synced run", save_mid);
  print_breakdown("middle unsynced run", unsynced_mid);
  std::printf("  first save: %s, of which removing the build's log %s\n", fmt_time(first_save.total).c_str(),
              fmt_time(first_save.remove).c_str());
  const double phases = median(phase_read) + median(phase_parse) + median(phase_map) + median(phase_restore);
  std::printf("kelpo open, warm, step by step: read graph.kelpo %s, parse %s, map vectors.bin + copy norms %s, "
              "restore index %s; tables, metadata index and log check %s (open minus these).\n"
              "  (One read of graph.kelpo into a buffer of its size: %s.)\n",
              fmt_time(median(phase_read)).c_str(), fmt_time(median(phase_parse)).c_str(),
              fmt_time(median(phase_map)).c_str(), fmt_time(median(phase_restore)).c_str(),
              fmt_time(median(warm_k.open) - phases).c_str(), fmt_time(median(phase_plain_read)).c_str());

  std::vector<Row> crows = {
      {"delete 10% (delete_many)", fmt_time(delete_s), "", ""},
      time_row("compact() vs hnswlib fresh build of the rest", compact_s, peer_fresh_s),
      {"kelpo fresh build of the rest (add_many)", fmt_time(fresh_s), "", ratio(compact_s, fresh_s) + " (f/c)"},
      {"recall@10: 10% deleted / compacted", fmt_num("%.4f", deleted_recall) + "/" + fmt_num("%.4f", compacted_recall),
       "", ""},
      {"recall@10: fresh builds", fmt_num("%.4f", fresh_recall), fmt_num("%.4f", peer_fresh_recall), ""},
  };
  print_table("compaction (" + std::to_string(live.size()) + " live of " + std::to_string(a.n) + ")", crows);

  const double open_warm_ratio = median(warm_p.open) / median(warm_k.open);
  const double open_cold_ratio = median(cold_p.open) / median(cold_k.open);
  const double first_cold = median(cold_k.first);
  const double metadata_ratio = kelpo_save_synced / median(metadata_only);
  std::printf("\ntargets: metadata-only synced save >= 3x faster than a full one: %.1fx %s; first search after a "
              "cold open <= 50 ms: %s %s\n",
              metadata_ratio, metadata_ratio >= 3 ? "MET" : "MISSED", fmt_time(first_cold).c_str(),
              first_cold <= 0.050 ? "MET" : "MISSED");
  if (with_peer) {
    std::printf("targets: open >= 4x faster than hnswlib's load: warm %.1fx %s, cold %.1fx %s; "
                "synced save >= 0.5x hnswlib's: %.2fx %s\n",
                open_warm_ratio, open_warm_ratio >= 4 ? "MET" : "MISSED", open_cold_ratio,
                open_cold_ratio >= 4 ? "MET" : "MISSED", peer_save_synced / kelpo_save_synced,
                peer_save_synced >= 0.5 * kelpo_save_synced ? "MET" : "MISSED");
  }

  if (a.json) {
    j["build_s"] = {{"kelpo", kelpo_build}, {"hnswlib", peer_build_s}};
    j["file_bytes"] = {{"kelpo", kelpo_bytes}, {"hnswlib", peer_bytes}};
    j["save_first_s"] = {{"kelpo", first_save.total}, {"hnswlib", peer_first_save}};
    j["save_synced_s"] = {{"kelpo", kelpo_save_synced}, {"hnswlib", peer_save_synced}};
    j["save_metadata_only_synced_s"] = median(metadata_only);
    j["save_unsynced_s"] = {{"kelpo", kelpo_save_unsynced}, {"hnswlib", peer_save_unsynced}};
    auto open_json = [&](const OpenFigures& f) {
      return json{{"open_s", median(f.open)},           {"first_search_s", median(f.first)},
                  {"next_median_s", median(f.next)},    {"rss_open", median(f.rss_open)},
                  {"rss_search", median(f.rss_search)}, {"cached_before", median(f.cached)}};
    };
    j["open_warm"] = {{"kelpo", open_json(warm_k)}, {"hnswlib", open_json(warm_p)}};
    j["open_cold"] = {{"kelpo", open_json(cold_k)}, {"hnswlib", open_json(cold_p)}};
    auto breakdown_json = [](const SaveBreakdown& b) {
      return json{{"total_s", b.total},           {"collect_s", b.collect},       {"vectors_write_s", b.vectors_write},
                  {"vectors_sync_s", b.vectors_sync}, {"graph_write_s", b.graph_write}, {"graph_sync_s", b.graph_sync},
                  {"dir_sync_s", b.dir_sync},     {"rename_s", b.rename},         {"remove_s", b.remove}};
    };
    j["save_breakdown"] = {{"synced", breakdown_json(save_mid)}, {"unsynced", breakdown_json(unsynced_mid)}};
    j["open_steps_warm"] = {{"read_graph_s", median(phase_read)},    {"plain_read_s", median(phase_plain_read)},
                            {"parse_graph_s", median(phase_parse)},  {"map_vectors_s", median(phase_map)},
                            {"restore_index_s", median(phase_restore)}};
    j["recall"] = {{"kelpo", kelpo_recall}, {"kelpo_reopened", reopened_recall}, {"hnswlib", peer_recall}};
    j["compaction"] = {{"delete_s", delete_s},         {"compact_s", compact_s},
                       {"kelpo_fresh_s", fresh_s},     {"hnswlib_fresh_s", peer_fresh_s},
                       {"recall_deleted", deleted_recall}, {"recall_compacted", compacted_recall},
                       {"recall_kelpo_fresh", fresh_recall}, {"recall_hnswlib_fresh", peer_fresh_recall}};
    // JSON has no NaN: absent figures become null.
    std::printf("%s\n", j.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
  }

  if (!a.keep && a.dir.empty()) fs::remove_all(base);
  return 0;
}

}  // namespace
}  // namespace kelpo::bench

int main(int argc, char** argv) {
  kelpo::bench::Args a;
  if (!kelpo::bench::parse_args(argc, argv, a)) return 2;
  if (!a.child.empty()) return kelpo::bench::child_open({a.child, a.dir, a.queries_file, a.dim, a.cold});
  return kelpo::bench::parent(a);
}
