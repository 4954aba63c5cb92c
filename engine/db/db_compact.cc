// Compaction: rebuilds the index from the live records only, renumbering them,
// beside the live index so that writes and searches go on during the rebuild.
//
// 1. Snapshot. Under the id lock (no write is half done, none can start) the
//    live records are copied and recording starts: from then on every write
//    notes the ids it touched.
// 2. Rebuild. Without any lock of the database, a new index and new tables are
//    built from the copy.
// 3. Catch up. In rounds, the ids noted so far are taken and their current
//    state copied under the id lock, held for just that, then applied to the
//    new structures without it. Each round has only the writes
//    made during the previous one to cover, so the rounds shrink.
// 4. Swap. Once few ids are left, or the rounds stop shrinking, the id lock is
//    kept exclusively while the last ones are copied; then the new structures
//    replace the old under every table's lock.
//
// Every id not noted since the snapshot is as the snapshot has it; every noted
// one is copied from the current state under the final exclusive hold. So the
// result holds exactly the live records, as a compaction with writers stopped
// would. The log names records by id, not slot, so replaying it over a save
// made before or after the swap gives the same records, and compaction never
// touches it.
#include <cstdint>
#include <cstring>

#include "engine/db/database.h"

namespace kelpo {

namespace {

// Rounds end when the noted ids are this few (copied under the exclusive
// hold, so writers wait for them) or stop halving.
constexpr size_t kFinalRoundIds = 64;
constexpr int kMaxCatchUpRounds = 16;

}  // namespace

struct Database::Rebuild {
  std::unique_ptr<HnswIndex> index;
  IdMap ids;
  std::vector<std::string> slot_to_id;
  std::vector<SharedJson> metadata;
  MetadataIndex metadata_index;
};

struct Database::NotedRecord {
  const std::string* id = nullptr;
  bool live = false;
  std::vector<float> vector;
  SharedJson metadata;
};

void Database::copy_noted(const CompactionIds& noted, std::vector<NotedRecord>& out) const {
  out.clear();
  out.reserve(noted.size());
  std::shared_lock<FairSharedMutex> index(index_mu_);
  std::shared_lock<FairSharedMutex> meta(metadata_mu_);
  for (const std::string& id : noted) {
    NotedRecord c;
    c.id = &id;
    auto it = id_to_slot_.find(id);
    if (it != id_to_slot_.end()) {
      const Slot s = it->second;
      c.live = true;
      c.vector.assign(index_->vector(s), index_->vector(s) + dim_);
      if (s < metadata_.size()) c.metadata = metadata_[s];
    }
    out.push_back(std::move(c));
  }
}

// Into the new structures, which only the compaction sees: no lock.
void Database::catch_up(std::vector<NotedRecord>& current, Rebuild& r) {
  const size_t dim = r.index->dim();
  std::vector<const float*> new_vectors;
  std::vector<NotedRecord*> new_records;
  for (NotedRecord& c : current) {
    auto it = r.ids.find(*c.id);
    if (!c.live) {
      if (it == r.ids.end()) continue;
      const Slot s = it->second;
      r.ids.erase(it);
      r.index->mark_deleted(s);
      r.slot_to_id[s].clear();
      r.metadata_index.remove(s, r.metadata[s].get());
      r.metadata[s].reset();
      continue;
    }
    if (it == r.ids.end()) {
      new_vectors.push_back(c.vector.data());
      new_records.push_back(&c);
      continue;
    }
    const Slot s = it->second;
    // A metadata-only write leaves the vector as it was: no relinking.
    if (std::memcmp(r.index->vector(s), c.vector.data(), dim * sizeof(float)) != 0) {
      r.index->update_vector(s, c.vector.data());
    }
    r.metadata_index.remove(s, r.metadata[s].get());
    r.metadata_index.index(s, c.metadata.get());
    r.metadata[s] = std::move(c.metadata);
  }
  if (new_vectors.empty()) return;
  const std::vector<Slot> slots = r.index->batch_insert(new_vectors);
  const size_t needed = size_t{slots.back()} + 1;
  if (r.slot_to_id.size() < needed) r.slot_to_id.resize(needed);
  if (r.metadata.size() < needed) r.metadata.resize(needed);
  for (size_t i = 0; i < slots.size(); ++i) {
    const Slot s = slots[i];
    NotedRecord& c = *new_records[i];
    r.ids.emplace(*c.id, s);
    r.slot_to_id[s] = *c.id;
    r.metadata_index.index(s, c.metadata.get());
    r.metadata[s] = std::move(c.metadata);
  }
}

Status Database::compact() {
  KELPO_RETURN_IF_ERROR(claim_writer());
  // One compaction at a time: a second one waits and then compacts whatever
  // the first left deleted.
  std::lock_guard<std::mutex> only(compact_mu_);

  Rebuild r;
  std::vector<float> live_vectors;
  bool quantized = false;
  {
    // Writers hold the id lock exclusively from before they log until memory
    // has their change: under it, the state is whole and stays put. Held
    // exclusively, as writers hold it: the lock prefers writers, so a shared
    // request could wait behind a steady stream of them.
    std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
    std::shared_lock<FairSharedMutex> index(index_mu_);
    std::shared_lock<FairSharedMutex> meta(metadata_mu_);
    const HnswIndex& old = *index_;
    if (old.deleted_count() == 0) return Status::OK();
    const Slot n = old.node_count();
    std::vector<const std::string*> id_of(n, nullptr);
    for (const auto& [id, slot] : id_to_slot_) {
      if (slot < n) id_of[slot] = &id;
    }
    const size_t live = id_to_slot_.size();
    live_vectors.reserve(live * dim_);
    r.slot_to_id.reserve(live);
    r.metadata.reserve(live);
    // New slots follow the old order.
    for (Slot s = 0; s < n; ++s) {
      if (id_of[s] == nullptr || old.is_deleted(s)) continue;
      r.slot_to_id.push_back(*id_of[s]);
      r.metadata.push_back(s < metadata_.size() ? metadata_[s] : nullptr);
      live_vectors.insert(live_vectors.end(), old.vector(s), old.vector(s) + dim_);
    }
    quantized = old.quantized_search();
    r.index = std::make_unique<HnswIndex>(old.dim(), old.metric(), old.m(), old.ef_construction());
    compaction_noted_.clear();
    compaction_recording_ = true;
  }

  // The rebuild: writes and searches go on against the old index meanwhile.
  r.ids.reserve(r.slot_to_id.size());
  for (size_t s = 0; s < r.slot_to_id.size(); ++s) r.ids.emplace(r.slot_to_id[s], static_cast<Slot>(s));
  {
    std::vector<const float*> rows(r.slot_to_id.size());
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = live_vectors.data() + i * dim_;
    if (!rows.empty()) r.index->batch_insert(rows);
  }
  live_vectors = std::vector<float>();
  // A fresh quantizer for the compacted vectors; catch-up writes go through it.
  if (quantized) r.index->enable_quantized_search();
  r.metadata_index.rebuild(r.metadata, {});

  // Catch up in rounds while they shrink; the last round keeps the id lock.
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  std::vector<NotedRecord> current;
  size_t previous = SIZE_MAX;
  for (int round = 0; round < kMaxCatchUpRounds; ++round) {
    const size_t noted = compaction_noted_.size();
    if (noted <= kFinalRoundIds || noted * 2 > previous) break;
    previous = noted;
    CompactionIds taken;
    taken.swap(compaction_noted_);
    copy_noted(taken, current);
    ids.unlock();
    catch_up(current, r);
    ids.lock();
  }
  compaction_recording_ = false;
  copy_noted(compaction_noted_, current);
  catch_up(current, r);
  compaction_noted_.clear();

  // Install everything in the engine's lock order (index before the tables),
  // the same order searches take, so the two cannot deadlock.
  std::unique_lock<FairSharedMutex> index(index_mu_);
  std::unique_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::unique_lock<FairSharedMutex> meta(metadata_mu_);
  std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
  // Quantized search may have been switched during the rebuild; the new index
  // follows the switch's last position.
  if (index_->quantized_search() && !r.index->quantized_search()) r.index->enable_quantized_search();
  if (!index_->quantized_search() && r.index->quantized_search()) r.index->disable_quantized_search();
  index_ = std::move(r.index);  // drops the old index and any mapping it held
  slot_to_id_ = std::move(r.slot_to_id);
  metadata_ = std::move(r.metadata);
  metadata_index_ = std::move(r.metadata_index);
  id_to_slot_ = std::move(r.ids);
  return Status::OK();
}

}  // namespace kelpo
