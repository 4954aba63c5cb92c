// Log replay: the records logged since the last save, applied again over the
// assembled state before the database is handed out. Records are applied
// directly, never logged again, and the log file is not modified.
#include "engine/db/database.h"

namespace kelpo {

Status Database::replay_wal() {
  std::vector<WalEntry> entries;
  {
    std::lock_guard<std::mutex> wal(wal_mu_);
    Result<std::vector<WalEntry>> read = wal_.read();
    if (!read.ok()) return read.error();
    entries = std::move(read.value());
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
