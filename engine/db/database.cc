// Database construction and the single-record operations.
#include "engine/db/database.h"
#include "engine/db/db_validate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "engine/metadata/filter_plan.h"

namespace kelpo {

Database::Database(std::string path, std::unique_ptr<HnswIndex> index, bool quantize_on_save,
                   const DatabaseHooks& hooks)
    : path_(std::move(path)),
      storage_(path_),
      dim_(index->dim()),
      quantize_on_save_(quantize_on_save),
      file_ops_(hooks.file_ops ? hooks.file_ops : &FileOps::posix()),
      save_hooks_(hooks.save),
      wal_(storage_.log_path, file_ops_),
      index_(std::move(index)) {}

Database::~Database() {
  {
    std::lock_guard<std::mutex> lock(wal_mu_);
    wal_.close();
  }
  std::lock_guard<std::mutex> lock(writer_mu_);
  writer_lock_.release();
}

Status Database::claim_writer() {
  if (writer_claimed_.load(std::memory_order_acquire)) return Status::OK();
  std::lock_guard<std::mutex> lock(writer_mu_);
  KELPO_RETURN_IF_ERROR(writer_lock_.acquire(path_, opened_));
  writer_claimed_.store(true, std::memory_order_release);
  return Status::OK();
}

Status Database::add(const std::string& id, std::vector<float> vector, std::optional<Json> metadata) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  if (vector.size() != dim_) return KelpoError::dimension_mismatch(dim_, vector.size());
  KELPO_RETURN_IF_ERROR(check_finite(vector.data(), vector.size()));
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  if (id_to_slot_.count(id)) return KelpoError::duplicate_id(id);
  {
    WalBatch batch;
    batch.add_insert(id, vector.data(), vector.size(), metadata ? &*metadata : nullptr);
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  note_written(id);
  apply_insert_new(id, vector.data(), std::move(metadata));
  return Status::OK();
}

Status Database::upsert(const std::string& id, std::vector<float> vector, std::optional<Json> metadata) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  if (vector.size() != dim_) return KelpoError::dimension_mismatch(dim_, vector.size());
  KELPO_RETURN_IF_ERROR(check_finite(vector.data(), vector.size()));
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  {
    WalBatch batch;
    batch.add_insert(id, vector.data(), vector.size(), metadata ? &*metadata : nullptr);
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  note_written(id);
  auto it = id_to_slot_.find(id);
  if (it != id_to_slot_.end()) {
    apply_replace(it->second, vector.data(), /*metadata_change=*/true, std::move(metadata));
  } else {
    apply_insert_new(id, vector.data(), std::move(metadata));
  }
  return Status::OK();
}

Status Database::update(const std::string& id, std::optional<std::vector<float>> vector,
                        std::optional<Json> metadata) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return KelpoError::not_found(id);
  if (vector && vector->size() != dim_) return KelpoError::dimension_mismatch(dim_, vector->size());
  if (vector) KELPO_RETURN_IF_ERROR(check_finite(vector->data(), vector->size()));
  const bool metadata_change = metadata.has_value();
  {
    WalBatch batch;
    batch.add_update(id, vector ? vector->data() : nullptr, vector ? vector->size() : 0, metadata_change,
                     metadata ? &*metadata : nullptr);
    std::lock_guard<std::mutex> wal(wal_mu_);
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  note_written(id);
  apply_replace(it->second, vector ? vector->data() : nullptr, metadata_change, std::move(metadata));
  return Status::OK();
}

Result<bool> Database::remove(const std::string& id) {
  KELPO_RETURN_IF_ERROR(claim_writer());
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  auto it = id_to_slot_.find(id);
  if (it == id_to_slot_.end()) return false;  // nothing is logged
  {
    WalBatch batch;
    batch.add_delete(id);
    std::lock_guard<std::mutex> wal(wal_mu_);
    // The id leaves the map only once its record is logged, so a failed
    // append leaves the record fully live.
    KELPO_RETURN_IF_ERROR(wal_.append(batch));
  }
  note_written(id);
  const Slot slot = it->second;
  id_to_slot_.erase(it);
  apply_delete(slot);
  return true;
}

Result<std::pair<std::vector<float>, std::optional<Json>>> Database::get(const std::string& id) const {
  Slot slot;
  {
    std::shared_lock<FairSharedMutex> ids(id_to_slot_mu_);
    auto it = id_to_slot_.find(id);
    if (it == id_to_slot_.end()) return KelpoError::not_found(id);
    slot = it->second;
  }
  std::vector<float> vector;
  {
    std::shared_lock<FairSharedMutex> index(index_mu_);
    if (slot >= index_->node_count()) return KelpoError::corrupt_data("vector slot missing");
    const float* v = index_->vector(slot);
    vector.assign(v, v + dim_);
  }
  std::optional<Json> metadata;
  {
    std::shared_lock<FairSharedMutex> meta(metadata_mu_);
    if (slot < metadata_.size() && metadata_[slot]) metadata = *metadata_[slot];
  }
  return std::make_pair(std::move(vector), std::move(metadata));
}

std::vector<std::string> Database::ids() const {
  std::shared_lock<FairSharedMutex> ids(id_to_slot_mu_);
  std::vector<std::string> out;
  out.reserve(id_to_slot_.size());
  for (const auto& [id, slot] : id_to_slot_) out.push_back(id);
  return out;
}

bool Database::contains(const std::string& id) const {
  std::shared_lock<FairSharedMutex> ids(id_to_slot_mu_);
  return id_to_slot_.count(id) != 0;
}

Metric Database::metric() const {
  std::shared_lock<FairSharedMutex> index(index_mu_);
  return index_->metric();
}

size_t Database::count(const Filter* filter) const {
  if (filter == nullptr) {
    std::shared_lock<FairSharedMutex> index(index_mu_);
    return index_->live_count();
  }
  std::shared_lock<FairSharedMutex> index(index_mu_);
  std::shared_lock<FairSharedMutex> meta(metadata_mu_);
  // The plan borrows the index's sets: writers of the index hold
  // metadata_mu_ exclusively, so they stay valid under our shared hold.
  std::shared_lock<FairSharedMutex> mi(metadata_index_mu_);
  const FilterPlan plan(*filter, metadata_index_, metadata_);
  // The index holds only live slots: an exact count needs no slot visited.
  if (plan.count_is_exact()) return plan.estimate();
  mi.unlock();
  const Slot total = index_->node_count();
  auto accepts = [&](Slot s) { return s < total && !index_->is_deleted(s) && plan.accepts(s); };
  size_t n = 0;
  if (plan.has_driver()) {
    plan.for_each_candidate([&](Slot s) { n += accepts(s); });
  } else {
    for (Slot s = 0; s < total; ++s) n += accepts(s);
  }
  return n;
}

// ---- in-memory halves of the writes ----

void Database::apply_insert_new(const std::string& id, const float* vector, std::optional<Json> metadata) {
  std::vector<SharedJson> metadatas{share_json(std::move(metadata))};
  apply_insert_batch({&id}, {vector}, metadatas);
}

void Database::apply_replace(Slot slot, const float* vector, bool metadata_change, std::optional<Json> metadata) {
  if (vector != nullptr) {
    std::unique_lock<FairSharedMutex> index(index_mu_);
    index_->update_vector(slot, vector);
  }
  if (metadata_change) {
    SharedJson fresh = share_json(std::move(metadata));
    std::unique_lock<FairSharedMutex> meta(metadata_mu_);
    if (metadata_.size() <= slot) metadata_.resize(size_t{slot} + 1);
    std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
    metadata_index_.remove(slot, metadata_[slot].get());
    metadata_index_.index(slot, fresh.get());
    metadata_[slot] = std::move(fresh);
  }
}

void Database::apply_delete(Slot slot) {
  {
    std::unique_lock<FairSharedMutex> index(index_mu_);
    index_->mark_deleted(slot);
  }
  {
    std::unique_lock<FairSharedMutex> sid(slot_to_id_mu_);
    if (slot < slot_to_id_.size()) slot_to_id_[slot].clear();
  }
  std::unique_lock<FairSharedMutex> meta(metadata_mu_);
  if (slot < metadata_.size()) {
    {
      std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
      metadata_index_.remove(slot, metadata_[slot].get());
    }
    metadata_[slot].reset();
  }
}

size_t default_ef(size_t k) {
  const size_t widened = k + static_cast<size_t>(10.0 * std::sqrt(static_cast<double>(k)));
  return std::max<size_t>(200, widened);
}

void Database::enable_quantized_search() {
  std::unique_lock<FairSharedMutex> lock(index_mu_);
  index_->enable_quantized_search();
}

void Database::disable_quantized_search() {
  std::unique_lock<FairSharedMutex> lock(index_mu_);
  index_->disable_quantized_search();
}

bool Database::quantized_search() const {
  std::shared_lock<FairSharedMutex> lock(index_mu_);
  return index_->quantized_search();
}

}  // namespace kelpo
