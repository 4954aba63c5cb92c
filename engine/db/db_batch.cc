// Batch writes: many records logged with one append and applied with one
// parallel batch insertion for the new vectors.
#include <algorithm>
#include <unordered_map>

#include "engine/db/database.h"
#include "engine/db/db_validate.h"

namespace kelpo {

namespace {

Status check_shapes(size_t dim, const std::vector<std::string>& ids, const VectorBatch& vectors,
                    const std::vector<std::optional<Json>>& metadatas) {
  // The binding checks these with their own messages; engine callers get a
  // clear error instead of an out-of-bounds read.
  if (ids.size() != vectors.size() || (!metadatas.empty() && metadatas.size() != ids.size())) {
    return KelpoError::corrupt_data("batch arguments of different lengths");
  }
  for (size_t i = 0; i < vectors.size(); ++i) {
    if (vectors.row_size(i) != dim) return KelpoError::dimension_mismatch(dim, vectors.row_size(i));
  }
  return check_finite_rows(vectors, &ids);
}

const Json* meta_at(const std::vector<std::optional<Json>>& metadatas, size_t i) {
  if (metadatas.empty() || !metadatas[i]) return nullptr;
  return &*metadatas[i];
}

// The new records of a batch, for one batch insertion. An id named twice
// keeps one slot: the later occurrence updates the earlier one, exactly as
// replaying the batch's records does. So the slot goes to the first
// occurrence, the vector and metadata come from the last.
class NewRecords {
 public:
  void add(const std::string& id, const float* vector, size_t item) {
    auto [it, inserted] = position_.emplace(id, ids_.size());
    if (inserted) {
      ids_.push_back(&id);
      vectors_.push_back(vector);
      source_.push_back(item);
    } else {
      vectors_[it->second] = vector;
      source_[it->second] = item;
    }
  }
  const std::vector<const std::string*>& ids() const { return ids_; }
  const std::vector<const float*>& vectors() const { return vectors_; }
  // Each record's metadata, moved out of `metadatas` (empty: none has any).
  std::vector<SharedJson> metadata(std::vector<std::optional<Json>>& metadatas) const {
    std::vector<SharedJson> out(ids_.size());
    if (!metadatas.empty()) {
      for (size_t j = 0; j < ids_.size(); ++j) out[j] = share_json(std::move(metadatas[source_[j]]));
    }
    return out;
  }

 private:
  std::unordered_map<std::string_view, size_t, SeededStringHash> position_;  // id -> index in the lists below
  std::vector<const std::string*> ids_;
  std::vector<const float*> vectors_;
  std::vector<size_t> source_;  // the item supplying the final vector and metadata
};

}  // namespace

void Database::apply_insert_batch(const std::vector<const std::string*>& ids, const std::vector<const float*>& vectors,
                                  std::vector<SharedJson>& metadatas) {
  const size_t n = ids.size();
  if (n == 0) return;
  std::vector<uint8_t> levels(n);
  for (uint8_t& level : levels) level = static_cast<uint8_t>(index_->random_level());
  std::vector<Slot> slots;
  slots.reserve(n);

  // A batch this small is linked node by node anyway: beside the searches,
  // when every array has room (see "Adds beside searches" in database.h).
  bool objects = false;
  if (n <= PARALLEL_BATCH_THRESHOLD) {
    std::shared_lock<FairSharedMutex> index(index_mu_);
    std::lock_guard<std::mutex> writer(index_write_mu_);
    const size_t first = index_->node_count();
    if (index_->has_room(levels) && first + n <= slot_to_id_.size() && first + n <= metadata_.size()) {
      for (size_t i = 0; i < n; ++i) {
        // In place before the index publishes the slot, so a search that
        // meets it finds them.
        const size_t s = first + i;
        slot_to_id_[s] = *ids[i];
        metadata_[s] = std::move(metadatas[i]);
        objects = objects || (metadata_[s] && metadata_[s]->is_object());
        slots.push_back(index_->insert_beside_searches(vectors[i], levels[i]));
      }
    }
  }
  if (objects) {
    // Plans borrow the metadata index's sets under metadata_mu_ held shared:
    // changing them waits for the searches in flight.
    std::unique_lock<FairSharedMutex> meta(metadata_mu_);
    std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
    for (const Slot s : slots) {
      if (metadata_[s]) metadata_index_.index(s, metadata_[s].get());
    }
  }

  if (slots.empty()) {
    std::unique_lock<FairSharedMutex> index(index_mu_);
    slots = index_->batch_insert(vectors, levels);
    std::unique_lock<FairSharedMutex> sid(slot_to_id_mu_);
    std::unique_lock<FairSharedMutex> meta(metadata_mu_);
    std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
    // The tables follow the index's capacity, so the adds that fill it can
    // run beside searches.
    const size_t room = std::max<size_t>(size_t{slots.back()} + 1, index_->node_capacity());
    if (slot_to_id_.size() < room) slot_to_id_.resize(room);
    if (metadata_.size() < room) metadata_.resize(room);
    for (size_t i = 0; i < n; ++i) {
      const Slot s = slots[i];
      slot_to_id_[s] = *ids[i];
      metadata_[s] = std::move(metadatas[i]);
      if (metadata_[s]) metadata_index_.index(s, metadata_[s].get());
    }
  }
  for (size_t i = 0; i < n; ++i) id_to_slot_[*ids[i]] = slots[i];
}

Status Database::add_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                          std::vector<std::optional<Json>> metadatas) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  KELPO_RETURN_IF_ERROR(check_shapes(dim_, ids, vectors, metadatas));
  std::unique_lock<FairSharedMutex> id_lock(id_to_slot_mu_);
  for (const std::string& id : ids) {
    if (id_to_slot_.count(id)) return KelpoError::duplicate_id(id);
  }
  if (ids.empty()) return Status::OK();
  {
    WalBatch batch;
    for (size_t i = 0; i < ids.size(); ++i) batch.add_insert(ids[i], vectors.row(i), dim_, meta_at(metadatas, i));
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  for (const std::string& id : ids) note_written(id);
  NewRecords fresh;
  for (size_t i = 0; i < ids.size(); ++i) fresh.add(ids[i], vectors.row(i), i);
  std::vector<SharedJson> meta = fresh.metadata(metadatas);
  apply_insert_batch(fresh.ids(), fresh.vectors(), meta);
  return Status::OK();
}

Status Database::upsert_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                             std::vector<std::optional<Json>> metadatas) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  KELPO_RETURN_IF_ERROR(check_shapes(dim_, ids, vectors, metadatas));
  if (ids.empty()) return Status::OK();
  std::unique_lock<FairSharedMutex> id_lock(id_to_slot_mu_);
  {
    WalBatch batch;
    for (size_t i = 0; i < ids.size(); ++i) batch.add_insert(ids[i], vectors.row(i), dim_, meta_at(metadatas, i));
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  for (const std::string& id : ids) note_written(id);
  // Live ids are replaced in place, in item order; new ones are gathered for
  // one batch insertion.
  NewRecords fresh;
  for (size_t i = 0; i < ids.size(); ++i) {
    auto live = id_to_slot_.find(ids[i]);
    if (live == id_to_slot_.end()) {
      fresh.add(ids[i], vectors.row(i), i);
      continue;
    }
    std::optional<Json> m = metadatas.empty() ? std::nullopt : std::move(metadatas[i]);
    apply_replace(live->second, vectors.row(i), /*metadata_change=*/true, std::move(m));
  }
  std::vector<SharedJson> meta = fresh.metadata(metadatas);
  apply_insert_batch(fresh.ids(), fresh.vectors(), meta);
  return Status::OK();
}

Result<size_t> Database::delete_many(const std::vector<std::string>& ids) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  std::unique_lock<FairSharedMutex> id_lock(id_to_slot_mu_);
  // Decide everything first, then log the whole batch with one append: a
  // failed append leaves every id live and nothing in the log.
  std::vector<std::pair<const std::string*, Slot>> doomed;
  std::unordered_map<std::string_view, bool, SeededStringHash> seen;
  for (const std::string& id : ids) {
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end() || !seen.emplace(id, true).second) continue;
    doomed.emplace_back(&id, it->second);
  }
  if (doomed.empty()) return size_t{0};
  {
    WalBatch batch;
    for (const auto& [id, slot] : doomed) batch.add_delete(*id);
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  for (const auto& [id, slot] : doomed) note_written(*id);
  std::unique_lock<FairSharedMutex> index(index_mu_);
  std::unique_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::unique_lock<FairSharedMutex> meta(metadata_mu_);
  std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
  for (const auto& [id, slot] : doomed) {
    id_to_slot_.erase(*id);
    index_->mark_deleted(slot);
    if (slot < slot_to_id_.size()) slot_to_id_[slot].clear();
    if (slot < metadata_.size()) {
      metadata_index_.remove(slot, metadata_[slot].get());
      metadata_[slot].reset();
    }
  }
  return doomed.size();
}

}  // namespace kelpo
