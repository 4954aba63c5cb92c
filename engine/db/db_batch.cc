// Batch writes: many records logged with one append and applied with one
// parallel batch insertion for the new vectors.
#include <unordered_map>

#include "engine/db/database.h"

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
  return Status::OK();
}

const Json* meta_at(const std::vector<std::optional<Json>>& metadatas, size_t i) {
  if (metadatas.empty() || !metadatas[i]) return nullptr;
  return &*metadatas[i];
}

}  // namespace

void Database::apply_insert_batch(const std::vector<const std::string*>& ids, const std::vector<const float*>& vectors,
                                  std::vector<std::optional<Json>*>& metadatas) {
  if (ids.empty()) return;
  std::unique_lock<std::shared_mutex> index(index_mu_);
  const std::vector<Slot> slots = index_->batch_insert(vectors);
  std::unique_lock<std::shared_mutex> sid(slot_to_id_mu_);
  std::unique_lock<std::shared_mutex> meta(metadata_mu_);
  std::unique_lock<std::shared_mutex> mi(metadata_index_mu_);
  const size_t needed = size_t{slots.back()} + 1;
  if (slot_to_id_.size() < needed) slot_to_id_.resize(needed);
  if (metadata_.size() < needed) metadata_.resize(needed);
  for (size_t i = 0; i < ids.size(); ++i) {
    const Slot s = slots[i];
    slot_to_id_[s] = *ids[i];
    std::optional<Json>* m = metadatas[i];
    if (m && *m) {
      metadata_index_.index(s, &**m);
      metadata_[s] = std::move(*m);
    } else {
      metadata_[s].reset();
    }
    id_to_slot_[*ids[i]] = s;
  }
}

Status Database::add_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                          std::vector<std::optional<Json>> metadatas) {
  KELPO_RETURN_IF_ERROR(check_shapes(dim_, ids, vectors, metadatas));
  std::unique_lock<std::shared_mutex> id_lock(id_to_slot_mu_);
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
  // An id named twice keeps one slot: the later occurrence updates the earlier
  // one, exactly as replaying this batch's records does. The slot goes to the
  // first occurrence; vector and metadata come from the last.
  std::unordered_map<std::string_view, size_t> position;  // id -> index into the unique lists
  std::vector<const std::string*> new_ids;
  std::vector<const float*> new_vectors;
  std::vector<size_t> source;  // item index supplying the final vector and metadata
  position.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    auto [it, inserted] = position.emplace(ids[i], new_ids.size());
    if (inserted) {
      new_ids.push_back(&ids[i]);
      new_vectors.push_back(vectors.row(i));
      source.push_back(i);
    } else {
      new_vectors[it->second] = vectors.row(i);
      source[it->second] = i;
    }
  }
  std::vector<std::optional<Json>*> new_meta(new_ids.size(), nullptr);
  if (!metadatas.empty()) {
    for (size_t j = 0; j < new_ids.size(); ++j) new_meta[j] = &metadatas[source[j]];
  }
  apply_insert_batch(new_ids, new_vectors, new_meta);
  return Status::OK();
}

Status Database::upsert_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                             std::vector<std::optional<Json>> metadatas) {
  KELPO_RETURN_IF_ERROR(check_shapes(dim_, ids, vectors, metadatas));
  if (ids.empty()) return Status::OK();
  std::unique_lock<std::shared_mutex> id_lock(id_to_slot_mu_);
  {
    WalBatch batch;
    for (size_t i = 0; i < ids.size(); ++i) batch.add_insert(ids[i], vectors.row(i), dim_, meta_at(metadatas, i));
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  // Live ids are replaced in place, in item order. New ids are gathered
  // (a repeated new id keeps its first position and its last values) and
  // inserted by one batch insertion.
  std::unordered_map<std::string_view, size_t> position;
  std::vector<const std::string*> new_ids;
  std::vector<const float*> new_vectors;
  std::vector<size_t> source;
  for (size_t i = 0; i < ids.size(); ++i) {
    auto live = id_to_slot_.find(ids[i]);
    if (live != id_to_slot_.end()) {
      std::optional<Json> m = metadatas.empty() ? std::nullopt : std::move(metadatas[i]);
      apply_replace(live->second, vectors.row(i), /*metadata_change=*/true, std::move(m));
      continue;
    }
    auto [it, inserted] = position.emplace(ids[i], new_ids.size());
    if (inserted) {
      new_ids.push_back(&ids[i]);
      new_vectors.push_back(vectors.row(i));
      source.push_back(i);
    } else {
      new_vectors[it->second] = vectors.row(i);
      source[it->second] = i;
    }
  }
  std::vector<std::optional<Json>*> new_meta(new_ids.size(), nullptr);
  if (!metadatas.empty()) {
    for (size_t j = 0; j < new_ids.size(); ++j) new_meta[j] = &metadatas[source[j]];
  }
  apply_insert_batch(new_ids, new_vectors, new_meta);
  return Status::OK();
}

Result<size_t> Database::delete_many(const std::vector<std::string>& ids) {
  std::unique_lock<std::shared_mutex> id_lock(id_to_slot_mu_);
  // Decide everything first, then log the whole batch with one append: a
  // failed append leaves every id live and nothing in the log.
  std::vector<std::pair<const std::string*, Slot>> doomed;
  std::unordered_map<std::string_view, bool> seen;
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
  std::unique_lock<std::shared_mutex> index(index_mu_);
  std::unique_lock<std::shared_mutex> sid(slot_to_id_mu_);
  std::unique_lock<std::shared_mutex> meta(metadata_mu_);
  std::unique_lock<std::shared_mutex> mi(metadata_index_mu_);
  for (const auto& [id, slot] : doomed) {
    id_to_slot_.erase(*id);
    index_->mark_deleted(slot);
    if (slot < slot_to_id_.size()) slot_to_id_[slot].clear();
    if (slot < metadata_.size()) {
      const std::optional<Json>& old = metadata_[slot];
      metadata_index_.remove(slot, old ? &*old : nullptr);
      metadata_[slot].reset();
    }
  }
  return doomed.size();
}

}  // namespace kelpo
