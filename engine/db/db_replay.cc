// Log replay: the records logged since the last save, applied again over the
// assembled state before the database is handed out. Records are applied
// directly, never logged again, and the log file is not modified.
#include "engine/db/database.h"

namespace kelpo {

Status Database::replay_wal() {
  std::vector<WalEntry> entries;
  bool never_saved = false;
  {
    std::lock_guard<std::mutex> wal(wal_mu_);
    Result<std::vector<WalEntry>> read = wal_.read();
    if (!read.ok()) return read.error();
    entries = std::move(read.value());
    // No vectors file was loaded: the directory holds only a log.
    never_saved = saved_vectors_version_ == 0;
  }
  if (never_saved) {
    // With nothing saved, the log is the whole database and the caller's dim
    // a guess. A log whose records all have another length belongs to a
    // database of that dimension: opening would skip them all, and the first
    // save would delete the log and them with it. Refuse instead. (A log
    // mixing lengths, which older versions could leave, opens as before.)
    size_t other = 0;
    bool fits = false;
    for (const WalEntry& e : entries) {
      if (!e.vector) continue;
      if (e.vector->size() == dim_) fits = true;
      if (e.vector->size() != dim_ && other == 0) other = e.vector->size();
    }
    if (other != 0 && !fits) return KelpoError::log_dimension_mismatch(path_, dim_, other);
  }
  // Nobody else can see this database yet; the id lock is taken only because
  // the apply helpers expect it held, as the live writes hold it.
  std::unique_lock<FairSharedMutex> ids(id_to_slot_mu_);
  for (WalEntry& e : entries) {
    switch (e.kind) {
      case WalEntry::Kind::kInsert: {
        if (!e.vector || e.vector->size() != dim_) break;  // not of this database's shape
        auto it = id_to_slot_.find(e.id);
        if (it != id_to_slot_.end()) {
          // An insert of a live id acts as an upsert (absent metadata clears).
          apply_replace(it->second, e.vector->data(), /*metadata_change=*/true, std::move(e.metadata));
        } else {
          apply_insert_new(e.id, e.vector->data(), std::move(e.metadata));
        }
        break;
      }
      case WalEntry::Kind::kUpdate: {
        auto it = id_to_slot_.find(e.id);
        if (it == id_to_slot_.end()) break;
        // A vector of another length is ignored; the metadata part still applies.
        const float* v = (e.vector && e.vector->size() == dim_) ? e.vector->data() : nullptr;
        apply_replace(it->second, v, e.metadata_change, std::move(e.metadata));
        break;
      }
      case WalEntry::Kind::kDelete: {
        auto it = id_to_slot_.find(e.id);
        if (it == id_to_slot_.end()) break;
        const Slot slot = it->second;
        id_to_slot_.erase(it);
        apply_delete(slot);
        break;
      }
    }
  }
  return Status::OK();
}

}  // namespace kelpo
