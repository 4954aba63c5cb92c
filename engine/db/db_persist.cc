// Opening and saving: the database's side of its directory.

#include <limits>

#include "engine/db/database.h"
#include "engine/storage/index_files.h"
#include "engine/storage/vector_files.h"
#include "engine/util/huge_pages.h"
#include "engine/util/worker_pool.h"

namespace kelpo {

namespace {

Status check_parameters(size_t dim, const DatabaseConfig& config) {
  if (dim == 0) return KelpoError::io("invalid dimension: dim must be at least 1");
  if (dim > std::numeric_limits<uint32_t>::max()) {
    return KelpoError::io("invalid dimension: " + std::to_string(dim) + " does not fit the file format");
  }
  if (config.m < kMinGraphM || config.m > kMaxGraphM) {
    return KelpoError::io("invalid m: must be between " + std::to_string(kMinGraphM) + " and " +
                          std::to_string(kMaxGraphM) + ", got " + std::to_string(config.m));
  }
  if (config.ef_construction > std::numeric_limits<uint32_t>::max()) {
    return KelpoError::io("invalid ef_construction: " + std::to_string(config.ef_construction) +
                          " does not fit the file format");
  }
  return Status::OK();
}

}  // namespace

Result<std::unique_ptr<Database>> Database::load(const std::string& path, SavedGraph saved, bool quantize,
                                                 const DatabaseHooks& hooks, const DirFingerprint& before) {
  FileOps& ops = hooks.file_ops ? *hooks.file_ops : FileOps::posix();
  const Storage storage(path);
  LoadedGraph& graph = saved.graph;
  const GraphHeader header = graph.header;
  const size_t n = header.node_count;

  // The tables come from the records, the index from the lists and the
  // vectors file: independent work, done side by side.
  std::vector<SharedJson> metadata;
  reserve_huge(metadata, n);
  metadata.resize(n);
  for (MetaRecord& r : graph.records) metadata[r.slot] = std::move(r.metadata);  // slots checked by the parser
  IdMap id_to_slot;
  std::vector<std::string> slot_to_id;
  reserve_huge(slot_to_id, n);
  slot_to_id.resize(n);
  MetadataIndex metadata_index;
  Result<std::unique_ptr<HnswIndex>> index = KelpoError::io("index not restored");
  bool has_quantizer = false;
  auto restore = [&]() -> Status {
    Result<MappedVectors> mapped = map_vectors_file(ops, storage.vectors_path, header.node_count, header.dim);
    if (!mapped.ok()) return mapped.error();
    index = restore_index(graph, std::move(mapped.value()));
    if (!index.ok()) return index.error();
    // One search scratch made now, beside the table building, and pooled for
    // the first search: its visited marks (2 bytes a slot) are fresh memory,
    // a page fault per 4 KiB, which would otherwise fall on that search.
    { const ScratchPool::Lease warm = (*index)->lease_scratch(); }
    Result<bool> exists = ops.exists(storage.quantized_path);
    if (!exists.ok()) return exists.error();
    has_quantizer = *exists;
    if (!has_quantizer) return Status::OK();
    Result<std::string> bytes = ops.read_file(storage.quantized_path);
    if (!bytes.ok()) return bytes.error();
    Result<QuantizerFile> file = parse_quantizer_file(*bytes, header.node_count, header.dim);
    if (!file.ok()) return file.error();
    ScalarQuantizer quantizer;
    quantizer.dim = file->dim;
    quantizer.min = std::move(file->min);
    quantizer.scale = std::move(file->scale);
    return (*index)->load_quantized(std::move(quantizer), std::move(file->codes));
  };
  Status restored;
  pool_invoke(
      [&] { restored = restore(); },
      [&] {
        id_to_slot.reserve(graph.records.size());
        for (MetaRecord& r : graph.records) {
          id_to_slot.emplace(r.id, r.slot);
          slot_to_id[r.slot] = std::move(r.id);
        }
      },
      // Deleted slots hold no metadata: no record names one.
      [&] { metadata_index.rebuild(metadata, {}); });
  KELPO_RETURN_IF_ERROR(restored);

  std::unique_ptr<Database> db(new Database(path, std::move(index.value()), quantize || has_quantizer, hooks));
  db->opened_ = before;
  db->id_to_slot_ = std::move(id_to_slot);
  db->slot_to_id_ = std::move(slot_to_id);
  db->metadata_ = std::move(metadata);
  db->metadata_index_ = std::move(metadata_index);
  // vectors.bin holds these vectors until the log's replay (or a write) changes one.
  db->saved_vectors_version_ = db->index_->vector_store().version();
  KELPO_RETURN_IF_ERROR(db->replay_wal());
  return db;
}

Result<std::unique_ptr<Database>> Database::open(const std::string& path, const DatabaseHooks& hooks) {
  FileOps& ops = hooks.file_ops ? *hooks.file_ops : FileOps::posix();
  const DirFingerprint before = DirFingerprint::of(path);
  Result<SavedGraph> saved = find_saved_graph(ops, Storage(path));
  if (!saved.ok()) return saved.error();
  if (saved->source == GraphSource::kNone) return KelpoError::database_not_found(path);
  return load(path, std::move(saved.value()), /*quantize=*/false, hooks, before);
}

Result<std::unique_ptr<Database>> Database::open_or_create_with_config(const std::string& path, size_t dim,
                                                                       Metric metric, const DatabaseConfig& config,
                                                                       const DatabaseHooks& hooks) {
  FileOps& ops = hooks.file_ops ? *hooks.file_ops : FileOps::posix();
  KELPO_RETURN_IF_ERROR(ops.create_directories(path));
  const DirFingerprint before = DirFingerprint::of(path);
  Result<SavedGraph> saved = find_saved_graph(ops, Storage(path));
  if (!saved.ok()) return saved.error();
  if (saved->source != GraphSource::kNone) return load(path, std::move(saved.value()), config.quantize, hooks, before);

  // Nothing saved here yet: a new, empty database with the given parameters.
  KELPO_RETURN_IF_ERROR(check_parameters(dim, config));
  auto index = std::make_unique<HnswIndex>(dim, metric, config.m, config.ef_construction);
  std::unique_ptr<Database> db(new Database(path, std::move(index), config.quantize, hooks));
  db->opened_ = before;
  KELPO_RETURN_IF_ERROR(db->replay_wal());
  return db;
}

Status Database::save() {
  KELPO_RETURN_IF_ERROR(claim_writer());
  // The shared id lock keeps every writer out: a writer holds it exclusively
  // from before it logs until memory has its change, so everything the log
  // holds is in the state written below, and deleting the log loses nothing.
  std::shared_lock<FairSharedMutex> ids(id_to_slot_mu_);
  std::shared_lock<FairSharedMutex> index(index_mu_);
  std::shared_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::shared_lock<FairSharedMutex> meta(metadata_mu_);

  // Views into the tables, which the locks above keep unchanged, in slot
  // order: one pass over flat arrays rather than a walk of the id map's
  // nodes (a fifth of a second at a million records). The id map stays the
  // authority: should the live slots ever disagree with it, it is walked.
  auto metadata_of = [&](Slot slot) { return slot < metadata_.size() ? metadata_[slot].get() : nullptr; };
  std::vector<RecordView> records;
  records.reserve(id_to_slot_.size());
  const Slot nodes = index_->node_count();
  for (Slot slot = 0; slot < nodes && slot < slot_to_id_.size(); ++slot) {
    if (!index_->is_deleted(slot)) records.push_back({slot_to_id_[slot], metadata_of(slot), slot});
  }
  bool agree = records.size() == id_to_slot_.size();
  if (agree && !records.empty()) {
    // A cheap spot check of the correspondence besides the count.
    const RecordView& last = records.back();
    auto it = id_to_slot_.find(last.id);
    agree = it != id_to_slot_.end() && it->second == last.slot;
  }
  if (!agree) {
    records.clear();
    for (const auto& [id, slot] : id_to_slot_) records.push_back({id, metadata_of(slot), slot});
  }

  SaveFiles files;
  const HnswIndex& idx = *index_;
  files.vectors = [&idx](BufferedFileWriter& out) { return write_index_vectors(out, idx); };
  // The graph file's bytes are made in memory beside the save's first steps
  // (writing vectors.bin above all), then written in large pieces. The locks
  // above keep what they are made from unchanged until the save ends.
  std::vector<std::string> graph_pieces;
  Status graph_rendered;
  BesideTask rendering;
  rendering.run([&] { graph_rendered = render_index_graph(idx, std::span<const RecordView>(records), &graph_pieces); });
  files.graph = [&](BufferedFileWriter& out) -> Status {
    rendering.wait();
    KELPO_RETURN_IF_ERROR(graph_rendered);
    for (const std::string& piece : graph_pieces) out.append(piece);
    return out.status();
  };
  if (quantize_on_save_) {
    // A quantizer of its own for the file, trained on every slot; the one in
    // memory (if any) is left as it is.
    files.quantizer = [&idx](BufferedFileWriter& out) {
      const size_t floats = idx.node_count() * idx.dim();
      const ScalarQuantizer quantizer = ScalarQuantizer::train(idx.vector_store().data(), floats, idx.dim());
      const std::vector<uint8_t> codes = quantizer.quantize_batch(idx.vector_store().data(), floats);
      return write_quantizer_file(out, quantizer.min, quantizer.scale, codes);
    };
  }

  std::lock_guard<std::mutex> wal(wal_mu_);
  const uint64_t version = idx.vector_store().version();
  if (version == saved_vectors_version_) {
    // No vector changed since vectors.bin was written or loaded: only the
    // graph file (ids, metadata, deletions, links) needs writing.
    files.unchanged_vectors_size = vectors_file_size(idx.node_count(), idx.dim());
  }
  // The log is deleted as the save's last step; its writer must not keep the
  // old file open, and the next write starts a new one.
  wal_.close();
  Status st = save_database_files(*file_ops_, storage_, files, save_hooks_);
  rendering.wait();  // a save that failed before the graph file still waits for its bytes
  if (st.ok()) {
    saved_vectors_version_ = version;
    // The log is gone, and with it any partial record that made the log
    // refuse appends after a write it could not undo (a full disk, say).
    wal_.file_removed();
  }
  return st;
}

void Database::reserve(size_t records) {
  // The tables follow the index's capacity; their sizes change only with the
  // writers kept out.
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  std::unique_lock<FairSharedMutex> index(index_mu_);
  index_->reserve(records);
  std::unique_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::unique_lock<FairSharedMutex> meta(metadata_mu_);
  if (slot_to_id_.size() < index_->node_capacity()) slot_to_id_.resize(index_->node_capacity());
  if (metadata_.size() < index_->node_capacity()) metadata_.resize(index_->node_capacity());
}

}  // namespace kelpo
