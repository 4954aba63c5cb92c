// Compaction: rebuilds the index from the live records only, renumbering them.
#include "engine/db/database.h"

namespace kelpo {

Status Database::compact() {
  KELPO_RETURN_IF_ERROR(claim_writer());
  // Writers stay out for the whole rebuild, so no write can fall between the
  // copy of the live records and the installation of the new tables.
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);

  std::unique_ptr<HnswIndex> fresh;
  std::vector<Slot> new_slot_of;  // old slot -> new slot, NO_ENTRY for deleted ones
  {
    // Searches go on beside the rebuild.
    std::shared_lock<FairSharedMutex> index(index_mu_);
    const HnswIndex& old = *index_;
    if (old.deleted_count() == 0) return Status::OK();
    const Slot n = old.node_count();
    new_slot_of.assign(n, NO_ENTRY);
    std::vector<const float*> live;
    live.reserve(old.live_count());
    for (Slot s = 0; s < n; ++s) {
      if (old.is_deleted(s)) continue;
      new_slot_of[s] = static_cast<Slot>(live.size());
      live.push_back(old.vector(s));
    }
    fresh = std::make_unique<HnswIndex>(old.dim(), old.metric(), old.m(), old.ef_construction());
    if (!live.empty()) fresh->batch_insert(live);
    // A fresh quantizer for the compacted vectors.
    if (old.quantized_search()) fresh->enable_quantized_search();
  }

  IdMap new_ids;
  new_ids.reserve(id_to_slot_.size());
  std::vector<std::string> new_slot_to_id(fresh->node_count());
  std::vector<std::optional<Json>> new_metadata(fresh->node_count());
  {
    std::shared_lock<FairSharedMutex> meta(metadata_mu_);
    for (const auto& [id, old_slot] : id_to_slot_) {
      if (old_slot >= new_slot_of.size() || new_slot_of[old_slot] == NO_ENTRY) continue;
      const Slot s = new_slot_of[old_slot];
      new_ids.emplace(id, s);
      new_slot_to_id[s] = id;
      if (old_slot < metadata_.size()) new_metadata[s] = metadata_[old_slot];
    }
  }
  MetadataIndex new_metadata_index;
  new_metadata_index.rebuild(new_metadata, {});

  // Install everything in the engine's lock order (index before the tables),
  // the same order searches take, so the two cannot deadlock.
  std::unique_lock<FairSharedMutex> index(index_mu_);
  std::unique_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::unique_lock<FairSharedMutex> meta(metadata_mu_);
  std::unique_lock<FairSharedMutex> mi(metadata_index_mu_);
  index_ = std::move(fresh);  // drops the old index and any mapping it held
  slot_to_id_ = std::move(new_slot_to_id);
  metadata_ = std::move(new_metadata);
  metadata_index_ = std::move(new_metadata_index);
  id_to_slot_ = std::move(new_ids);
  return Status::OK();
}

}  // namespace kelpo
