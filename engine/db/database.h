// Database: binds caller-chosen string ids to index slots, keeps one optional
// JSON metadata value per slot and the inverted index over it, logs every write
// ahead of memory, and answers searches.
//
// Locks. Each member has its own lock. A thread holding several takes them in
// this order, and releases in reverse:
//
//     compact_mu_ -> id_to_slot_mu_ -> wal_mu_ -> index_mu_ -> index_write_mu_ -> slot_to_id_mu_ -> metadata_mu_
//         -> metadata_index_mu_
//
// (save takes wal_mu_ last, after its shared locks; see the write rule.)
//
// The write rule. Every write takes id_to_slot_mu_ exclusively before it logs
// and keeps it until its change is in memory. So a log record is never
// "logged but not yet applied" while anyone holds id_to_slot_mu_ — which is
// what lets a save (holding it shared while it writes the files and then
// deletes the log) never drop an acknowledged write. It also makes every check
// that can fail (duplicate ids, unknown ids) happen before anything is logged:
// a write that fails leaves nothing in the log for replay to apply.
//
// Searches take index_mu_, slot_to_id_mu_ and metadata_mu_ shared (and briefly
// metadata_index_mu_), so they run beside each other and wait only for writers.
//
// Adds beside searches. New records (add, upsert of a new id, batches of up
// to PARALLEL_BATCH_THRESHOLD new records) are linked into the index under
// index_mu_ held shared plus index_write_mu_, which keeps the writers of the
// index to one at a time (they also all hold id_to_slot_mu_ exclusively) and
// keeps out the few readers of array sizes (stats, with_index). It works
// only while every array has room (see HnswIndex::insert_beside_searches);
// otherwise that add takes index_mu_ exclusively and grows everything,
// slot_to_id_ and metadata_ included, ahead by half again. The new slot's id
// and metadata are written before the index publishes the slot, so a search
// that meets it finds both; no reader looks at a slot the index has not
// published (searches reach slots only through the index, and every other
// reader of a slot's entries holds id_to_slot_mu_, which the writer holds
// exclusively). Object metadata is then entered in metadata_index_ under
// metadata_mu_ and metadata_index_mu_ held exclusively, as before: until
// then a filtered search treats the record as not yet added. Updates of an
// existing vector, deletes, compaction, save and quantizer changes keep
// their exclusive locks.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/db/fair_shared_mutex.h"
#include "engine/db/id_map.h"
#include "engine/db/writer_lock.h"
#include "engine/index/distance.h"
#include "engine/index/hnsw_index.h"
#include "engine/metadata/filter.h"
#include "engine/metadata/json.h"
#include "engine/metadata/metadata_index.h"
#include "engine/storage/file_ops.h"
#include "engine/storage/save_protocol.h"
#include "engine/storage/storage.h"
#include "engine/util/error.h"
#include "engine/util/seeded_hash.h"
#include "engine/wal/wal.h"

namespace kelpo {

class FilterPlan;

// Creation parameters other than dimension and metric.
struct DatabaseConfig {
  size_t m = 16;
  size_t ef_construction = 200;
  bool quantize = false;
};

// Many vectors in one flat buffer; rows may differ in length (the engine checks
// each against the dimension). Row i is data[offsets[i] .. offsets[i+1]).
struct VectorBatch {
  std::vector<float> data;
  std::vector<size_t> offsets{0};

  size_t size() const { return offsets.size() - 1; }
  const float* row(size_t i) const { return data.data() + offsets[i]; }
  size_t row_size(size_t i) const { return offsets[i + 1] - offsets[i]; }
  // Appends a row of n floats.
  void push_back(const float* v, size_t n) {
    data.insert(data.end(), v, v + n);
    offsets.push_back(data.size());
  }
  // `rows` rows of `cols` floats each (zero-filled), for the caller to fill
  // through data().
  static VectorBatch uniform(size_t rows, size_t cols) {
    VectorBatch b;
    b.data.resize(rows * cols);
    b.offsets.resize(rows + 1);
    for (size_t i = 0; i <= rows; ++i) b.offsets[i] = i * cols;
    return b;
  }
};

struct SearchHit {
  std::string id;
  float distance = 0.0f;
  SharedJson metadata;  // null when the record has none
};

struct SearchOptions {
  size_t k = 10;
  std::optional<size_t> ef_search;
  const Filter* filter = nullptr;  // not owned
  std::optional<float> max_distance;
};

struct DatabaseStats {
  uint64_t num_vectors = 0;
  uint64_t num_deleted = 0;
  uint64_t num_layers = 0;
  double avg_degree_layer0 = 0.0;
  uint64_t max_degree_layer0 = 0;
  uint64_t min_degree_layer0 = 0;
  uint64_t memory_vectors_bytes = 0;
  uint64_t memory_graph_bytes = 0;
  uint64_t memory_quantized_bytes = 0;
  bool uses_brute_force = true;
  bool uses_quantized_search = false;
};

// Replacements for the system calls and save steps, for tests that make them
// fail or stop. Not owned; they must outlive the database.
struct DatabaseHooks {
  FileOps* file_ops = nullptr;  // every file call: the log, saving and opening
  SaveHooks save;               // stops a save after a chosen step
};

class Database {
 public:
  // Loads the database saved in `path` and replays its log. Fails with
  // "database not found at '{path}'" when the directory holds none.
  static Result<std::unique_ptr<Database>> open(const std::string& path, const DatabaseHooks& hooks = {});

  // Loads the database saved in `path` (its stored dim, metric and
  // parameters win over the arguments), or, when there is none, creates the
  // directory (and parents) and starts an empty one. Either way the log is
  // replayed: one left by a process that wrote and never saved holds
  // acknowledged writes.
  static Result<std::unique_ptr<Database>> open_or_create_with_config(const std::string& path, size_t dim,
                                                                      Metric metric, const DatabaseConfig& config,
                                                                      const DatabaseHooks& hooks = {});

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  Status add(const std::string& id, std::vector<float> vector, std::optional<Json> metadata);
  Status upsert(const std::string& id, std::vector<float> vector, std::optional<Json> metadata);
  // An absent vector or metadata leaves that part unchanged.
  Status update(const std::string& id, std::optional<std::vector<float>> vector, std::optional<Json> metadata);
  // True when the id was live and is now deleted; false when it was not live.
  Result<bool> remove(const std::string& id);
  Result<std::pair<std::vector<float>, std::optional<Json>>> get(const std::string& id) const;
  std::vector<std::string> ids() const;
  size_t count(const Filter* filter) const;
  bool contains(const std::string& id) const;
  size_t dim() const { return dim_; }
  Metric metric() const;

  // `metadatas` is empty (no item has metadata) or holds one entry per id.
  Status add_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                  std::vector<std::optional<Json>> metadatas);
  Status upsert_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                     std::vector<std::optional<Json>> metadatas);
  Result<size_t> delete_many(const std::vector<std::string>& ids);
  // Makes room for `records` more vectors, so that adding them over several
  // batches fills the store in place rather than growing it by copies.
  void reserve(size_t records);

  Result<std::vector<SearchHit>> search(const float* query, size_t query_len, const SearchOptions& options) const;
  Result<std::vector<std::vector<SearchHit>>> search_many(const VectorBatch& queries,
                                                          const SearchOptions& options) const;

  // Quantized traversal of the graph (see HnswIndex). Enabling trains a new
  // quantizer on every stored vector; on an empty database it does nothing.
  // Neither touches a file: whether saves keep a quantizer file was fixed
  // when the database was created or opened.
  void enable_quantized_search();
  void disable_quantized_search();
  bool quantized_search() const;

  DatabaseStats stats() const;
  size_t total_slots() const;
  size_t deleted_count() const;

  // Writes graph.kelpo, vectors.bin (and vectors.sq8 when quantization is kept
  // on save) through temporary files, syncs them, renames them into place and
  // then deletes the log. Memory is unchanged.
  Status save();
  // Rebuilds the index from the live records only, renumbering them from 0.
  // Writes and searches go on during the rebuild; writers wait only while the
  // live records are copied and at the final swap. Touches no file; the next
  // save writes the smaller state. Fails only when another process is writing
  // the directory (see WriterLock).
  Status compact();

  const std::string& path() const { return path_; }

  // Runs f(const HnswIndex&) under the shared index lock: for benchmarks and
  // tests that compare the database path with the bare index.
  template <class F>
  auto with_index(F&& f) const {
    std::shared_lock<FairSharedMutex> lock(index_mu_);
    std::lock_guard<std::mutex> no_add(index_write_mu_);
    return f(*index_);
  }

 private:
  Database(std::string path, std::unique_ptr<HnswIndex> index, bool quantize_on_save, const DatabaseHooks& hooks);

  // Loads the saved state found in the directory and replays the log.
  static Result<std::unique_ptr<Database>> load(const std::string& path, SavedGraph saved, bool quantize,
                                                const DatabaseHooks& hooks, const DirFingerprint& before);

  // Takes this process's writer lock on the directory before the first
  // write, save or compaction (see WriterLock); cheap once held.
  Status claim_writer();

  // Applies the log's records over the assembled state. Runs before the
  // database is handed out.
  Status replay_wal();

  // The in-memory halves of the writes. Callers hold id_to_slot_mu_
  // exclusively; these take the member locks they touch, in order.
  void apply_insert_new(const std::string& id, const float* vector, std::optional<Json> metadata);
  void apply_replace(Slot slot, const float* vector, bool metadata_change, std::optional<Json> metadata);
  void apply_delete(Slot slot);
  // Inserts new records through one batch insertion. Ids are distinct and not live.
  void apply_insert_batch(const std::vector<const std::string*>& ids, const std::vector<const float*>& vectors,
                          std::vector<SharedJson>& metadatas);

  // Compaction's halves (db_compact.cc). The ids written since its snapshot,
  // their state copied under the caller's id lock, and the new structures.
  using CompactionIds = std::unordered_set<std::string, SeededStringHash, std::equal_to<>>;
  struct NotedRecord;
  struct Rebuild;
  void copy_noted(const CompactionIds& noted, std::vector<NotedRecord>& out) const;
  static void catch_up(std::vector<NotedRecord>& current, Rebuild& r);
  // Every write calls this under id_to_slot_mu_ held exclusively, once its
  // record is logged.
  void note_written(const std::string& id) {
    if (compaction_recording_) compaction_noted_.emplace(id);
  }

  // Search internals; callers hold index_mu_, slot_to_id_mu_, metadata_mu_ shared.
  // `plan` is the filter compiled against the metadata index, or null for an
  // unfiltered search.
  std::vector<Neighbor> ranked_search(const float* query, size_t k, size_t ef, const FilterPlan* plan) const;
  std::vector<Neighbor> exact_filtered_scan(const float* query, size_t k, const FilterPlan& plan) const;
  std::vector<SearchHit> build_hits(const std::vector<Neighbor>& ranked,
                                    const std::optional<float>& max_distance) const;

  // Constant after construction.
  const std::string path_;
  const Storage storage_;
  const size_t dim_;
  const bool quantize_on_save_;
  FileOps* const file_ops_;
  const SaveHooks save_hooks_;
  // The directory as it was before opening read it; set by the opener.
  DirFingerprint opened_;

  std::mutex writer_mu_;
  std::atomic<bool> writer_claimed_{false};
  WriterLock writer_lock_;  // guarded by writer_mu_

  mutable FairSharedMutex id_to_slot_mu_;
  // Guarded by id_to_slot_mu_; exactly the live ids. Keyed hashing: ids are
  // the caller's choice, and crafted ones must not all share one bucket.
  IdMap id_to_slot_;

  // Taken before every other lock: one compaction at a time.
  std::mutex compact_mu_;
  // Guarded by id_to_slot_mu_ (held exclusively): whether a compaction is
  // rebuilding, and the ids written since its snapshot.
  bool compaction_recording_ = false;
  CompactionIds compaction_noted_;

  std::mutex wal_mu_;
  Wal wal_;  // guarded by wal_mu_
  // Guarded by wal_mu_: the version of the index's vector store that
  // vectors.bin holds, as of the last successful save or the load (0: none).
  uint64_t saved_vectors_version_ = 0;

  mutable FairSharedMutex index_mu_;
  std::unique_ptr<HnswIndex> index_;  // guarded by index_mu_; never null
  // Held with index_mu_ shared by the one writer that adds beside searches,
  // and by readers of the index's array sizes (see "Adds beside searches").
  mutable std::mutex index_write_mu_;

  // Both tables hold an entry per slot of the index's capacity: entries of
  // published slots are guarded by their lock; the entries beyond belong to
  // the writer holding id_to_slot_mu_ exclusively, and their number changes
  // only under index_mu_ held exclusively.
  mutable FairSharedMutex slot_to_id_mu_;
  std::vector<std::string> slot_to_id_;  // "" for deleted and unused slots

  mutable FairSharedMutex metadata_mu_;
  std::vector<SharedJson> metadata_;  // null for deleted and unused slots

  // Guarded by metadata_index_mu_; exactly the live slots' scalar fields.
  // Every writer also holds metadata_mu_ exclusively while it changes it, so a
  // reader holding metadata_mu_ shared may keep using sets it looked up.
  mutable FairSharedMutex metadata_index_mu_;
  MetadataIndex metadata_index_;
};

// The beam width used when a search names none: max(200, k + floor(10 * sqrt(k))).
size_t default_ef(size_t k);

}  // namespace kelpo
