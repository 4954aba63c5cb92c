// The child side of the persistence benchmark: one open of a saved kelpo
// database or hnswlib index in a fresh process, then the first searches,
// reported as one JSON line on stdout.
#pragma once

#include <sys/resource.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_persist_data.h"
#include "bench/bench_persist_os.h"
#include "engine/db/database.h"
#include "engine/storage/graph_file.h"
#include "engine/storage/index_files.h"
#include "engine/storage/storage.h"
#include "engine/storage/vector_files.h"

namespace kelpo::bench {

// mode: "kelpo" or "hnswlib" (open, then search every query once), or
// "kelpo-phases" (the steps of a kelpo open, timed one by one). `dir` is the
// database directory or the index file; `cold` drops the files from the
// page cache first, otherwise they are read into it.
struct ChildRequest {
  std::string mode, dir, queries_file;
  size_t dim = 0;
  bool cold = false;
};

inline nlohmann::json rss_json(const Rss& r) { return {{"anon", r.anon}, {"file", r.file}}; }

inline int child_open(const ChildRequest& a) {
  using nlohmann::json;
  const std::vector<float> queries = read_floats(a.queries_file);
  const size_t nq = queries.size() / a.dim;
  const bool kelpo = a.mode == "kelpo" || a.mode == "kelpo-phases";
  const std::vector<std::string> files = kelpo ? files_of(a.dir) : std::vector<std::string>{a.dir};
  for (const auto& f : files) {
    if (a.cold) {
      if (!drop_from_cache(f)) std::fprintf(stderr, "could not drop %s from the page cache\n", f.c_str());
    } else {
      read_into_cache(f);
    }
  }
  json out;
  out["cached_before"] = cached_fraction(files);
  out["file_bytes"] = bytes_of(files);
  malloc_trim(0);

  if (a.mode == "kelpo-phases") {
    // The steps of an open one by one (the parts Database::open adds on top:
    // the id and metadata tables, the metadata index, the log check).
    FileOps& ops = FileOps::posix();
    const Storage storage(a.dir);
    auto t = Clock::now();
    Result<std::string> bytes = ops.read_file(storage.graph_path);
    out["read_graph_s"] = seconds_since(t);
    if (!bytes.ok()) return 1;
    {
      // For comparison: one read into a buffer of the file's size.
      t = Clock::now();
      const int fd = ::open(storage.graph_path.c_str(), O_RDONLY | O_CLOEXEC);
      std::unique_ptr<char[]> buf(new char[bytes->size() + 1]);
      size_t got = 0;
      for (ssize_t r; (r = ::read(fd, buf.get() + got, bytes->size() + 1 - got)) > 0;) got += static_cast<size_t>(r);
      ::close(fd);
      out["plain_read_s"] = seconds_since(t);
      if (got != bytes->size()) return 1;
    }
    t = Clock::now();
    Result<LoadedGraph> graph = parse_graph(*bytes);
    out["parse_graph_s"] = seconds_since(t);
    if (!graph.ok()) return 1;
    out["graph_bytes"] = bytes->size();
    t = Clock::now();
    Result<MappedVectors> mapped =
        map_vectors_file(ops, storage.vectors_path, graph->header.node_count, graph->header.dim);
    out["map_vectors_s"] = seconds_since(t);
    if (!mapped.ok()) return 1;
    t = Clock::now();
    Result<std::unique_ptr<HnswIndex>> index = restore_index(*graph, std::move(mapped.value()));
    out["restore_index_s"] = seconds_since(t);
    if (!index.ok()) return 1;
    std::printf("%s\n", out.dump().c_str());
    return 0;
  }

  SearchOptions opt;
  opt.k = kK;
  opt.ef_search = kEf;
  std::vector<double> lat;
  json results = json::array();
  const Rss before = rss_now();
  out["rss_before"] = rss_json(before);
  if (kelpo) {
    TimingFileOps ops;
    DatabaseHooks hooks;
    hooks.file_ops = &ops;
    const auto t0 = Clock::now();
    const double cpu0 = process_cpu_seconds();
    Result<std::unique_ptr<Database>> db = Database::open(a.dir, hooks);
    out["open_s"] = seconds_since(t0);
    out["open_cpu_s"] = process_cpu_seconds() - cpu0;
    if (!db.ok()) {
      std::fprintf(stderr, "open failed: %s\n", db.error().message().c_str());
      return 1;
    }
    out["read_s"] = ops.read_s;
    out["rss_open"] = rss_json(rss_now());
    for (size_t q = 0; q < nq; ++q) {
      struct rusage before_search;
      ::getrusage(RUSAGE_SELF, &before_search);
      const auto t = Clock::now();
      const Result<std::vector<SearchHit>> hits = (*db)->search(&queries[q * a.dim], a.dim, opt);
      lat.push_back(seconds_since(t));
      if (q == 0) {
        // Where a first search's time goes: page faults, waiting on the disk
        // (major) or only mapping a cached page (minor).
        struct rusage after_search;
        ::getrusage(RUSAGE_SELF, &after_search);
        out["first_search_faults"] = {{"minor", after_search.ru_minflt - before_search.ru_minflt},
                                      {"major", after_search.ru_majflt - before_search.ru_majflt}};
      }
      json r = json::array();
      if (hits.ok()) {
        for (const SearchHit& h : hits.value()) r.push_back(label_of(h.id));
      }
      results.push_back(std::move(r));
    }
    out["rss_search"] = rss_json(rss_now());
  } else {
#ifdef KELPO_BENCH_HNSWLIB
    hnswlib::L2Space space(a.dim);
    const auto t0 = Clock::now();
    const double cpu0 = process_cpu_seconds();
    auto index = std::make_unique<Peer>(&space, a.dir);
    out["open_s"] = seconds_since(t0);
    out["open_cpu_s"] = process_cpu_seconds() - cpu0;
    out["rss_open"] = rss_json(rss_now());
    index->setEf(kEf);
    for (size_t q = 0; q < nq; ++q) {
      const auto t = Clock::now();
      std::vector<uint32_t> hits = peer_search(*index, &queries[q * a.dim]);
      lat.push_back(seconds_since(t));
      results.push_back(hits);
    }
    out["rss_search"] = rss_json(rss_now());
#else
    return 1;
#endif
  }
  out["first_search_s"] = lat.front();
  out["next_median_s"] = median(std::vector<double>(lat.begin() + 1, lat.end()));
  out["results"] = std::move(results);
  std::printf("%s\n", out.dump().c_str());
  return 0;
}


}  // namespace kelpo::bench
