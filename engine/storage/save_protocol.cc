#include "engine/storage/save_protocol.h"

#include <utility>

#include "engine/storage/vector_files.h"

namespace kelpo {

namespace {

// Creates (or empties) `path`, lets `fill` write it, and makes it durable.
Status write_synced_file(FileOps& ops, const std::string& path, const FileWriterFn& fill) {
  Result<int> fd = ops.open_for_write(path, WriteMode::kTruncate);
  if (!fd.ok()) return fd.error();
  Status st;
  {
    BufferedFileWriter out(ops, *fd);
    st = fill(out);
    if (st.ok()) st = out.flush();
  }
  if (st.ok()) st = ops.sync(*fd);
  Status closed = ops.close(*fd);
  if (st.ok()) st = std::move(closed);
  return st;
}

// Renames and makes the new name durable.
Status rename_synced(FileOps& ops, const std::string& from, const std::string& to, const std::string& dir) {
  KELPO_RETURN_IF_ERROR(ops.rename(from, to));
  return ops.sync_dir(dir);
}

// graph.tmp, parsed, when it is the committed graph of a save that stopped
// between its two renames: graph.tmp is there, vectors.tmp is not (it was
// renamed), and the graph parses completely and fits vectors.bin. A save
// writes and syncs graph.tmp before it renames vectors.tmp, so anything less
// is debris of a save that never reached its commit point.
Result<std::optional<SavedGraph>> rolled_forward_graph(FileOps& ops, const Storage& storage) {
  Result<bool> graph_temp = ops.exists(storage.graph_temp_path);
  if (!graph_temp.ok()) return graph_temp.error();
  if (!*graph_temp) return std::optional<SavedGraph>();
  Result<bool> vectors_temp = ops.exists(storage.vectors_temp_path);
  if (!vectors_temp.ok()) return vectors_temp.error();
  Result<bool> vectors = ops.exists(storage.vectors_path);
  if (!vectors.ok()) return vectors.error();
  if (*vectors_temp || !*vectors) return std::optional<SavedGraph>();

  Result<uint64_t> size = ops.file_size(storage.vectors_path);
  if (!size.ok()) return size.error();
  Result<std::string> bytes = ops.read_file(storage.graph_temp_path);
  if (!bytes.ok()) return bytes.error();
  Result<LoadedGraph> graph = parse_graph(*bytes);
  if (!graph.ok()) return std::optional<SavedGraph>();
  if (!check_vectors_file_size(*size, graph->header.node_count, graph->header.dim).ok()) {
    return std::optional<SavedGraph>();
  }
  return std::optional<SavedGraph>(SavedGraph{GraphSource::kRolledForward, std::move(graph).value(), *size});
}

Status step_done(const SaveHooks& hooks, SaveStep step) {
  if (hooks.after_step) return hooks.after_step(step);
  return Status::OK();
}

// Whether vectors.bin is there with the size the unchanged vectors need.
Result<bool> vectors_file_fits(FileOps& ops, const Storage& storage, const SaveFiles& files) {
  if (!files.unchanged_vectors_size) return false;
  Result<bool> exists = ops.exists(storage.vectors_path);
  if (!exists.ok()) return exists.error();
  if (!*exists) return false;
  Result<uint64_t> size = ops.file_size(storage.vectors_path);
  if (!size.ok()) return size.error();
  return *size == *files.unchanged_vectors_size;
}

}  // namespace

Status save_database_files(FileOps& ops, const Storage& storage, const SaveFiles& files, const SaveHooks& hooks,
                           SaveOutcome* outcome) {
  const std::string& dir = storage.dir;
  if (outcome != nullptr) *outcome = SaveOutcome{};

  // 0. The directory may have been removed since the database was opened.
  Result<bool> dir_exists = ops.exists(dir);
  if (!dir_exists.ok()) return dir_exists.error();
  if (!*dir_exists) {
    KELPO_RETURN_IF_ERROR(ops.create_directories(dir));
    KELPO_RETURN_IF_ERROR(ops.sync_dir(parent_directory(dir)));
  }

  // 1. Settle what an earlier save left. Its last directory changes may not
  // be durable yet (a killed process does not sync), and a file system may
  // write directory changes in any order: sync them before deciding anything
  // from them, or a change made now could reach the disk ahead of them and
  // pair one save's graph with another's vectors.
  KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
  // Finishing a save that passed its commit point matters: the state in
  // memory may have been loaded from its graph.tmp, and throwing that file
  // away would pair the new vectors.bin with the old graph.kelpo if this save
  // stops before its own renames.
  Result<std::optional<SavedGraph>> earlier = rolled_forward_graph(ops, storage);
  if (!earlier.ok()) return earlier.error();
  if (earlier->has_value()) {
    KELPO_RETURN_IF_ERROR(rename_synced(ops, storage.graph_temp_path, storage.graph_path, dir));
  } else {
    Result<bool> graph_temp = ops.exists(storage.graph_temp_path);
    if (!graph_temp.ok()) return graph_temp.error();
    if (*graph_temp) {
      // Durably gone before vectors.tmp goes, or a crash in between could
      // leave a graph.tmp without vectors.tmp that looks committed.
      KELPO_RETURN_IF_ERROR(ops.remove(storage.graph_temp_path));
      KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
    }
    KELPO_RETURN_IF_ERROR(ops.remove(storage.vectors_temp_path));
  }
  KELPO_RETURN_IF_ERROR(step_done(hooks, SaveStep::kEarlierSaveSettled));

  // Decided after step 1, which may have settled an earlier save: its
  // renames never touch vectors.bin, and the caller's vectors are the ones
  // that file held when they were last written or loaded.
  Result<bool> keep_vectors = vectors_file_fits(ops, storage, files);
  if (!keep_vectors.ok()) return keep_vectors.error();
  Result<bool> quantized = ops.exists(storage.quantized_path);
  if (!quantized.ok()) return quantized.error();
  // An existing vectors.sq8 always describes the vectors.bin beside it (a
  // full save removes it before its commit point and writes it after), so
  // with the vectors kept it is exactly what the save would write again.
  const bool keep_quantizer = *keep_vectors && *quantized && files.quantizer;

  // 2. The new files complete and durable before any is renamed. The
  // directory is synced between vectors.tmp and graph.tmp so that graph.tmp
  // can never be on disk without vectors.tmp beside it, which would read as
  // a committed graph.
  if (*keep_vectors) {
    // vectors.bin stays, so vectors.tmp is only the marker that graph.tmp is
    // not committed yet: an empty file, there before graph.tmp is created
    // and removed once graph.tmp is durable. A quantizer file the save does
    // not keep goes first, as below.
    if (*quantized && !keep_quantizer) KELPO_RETURN_IF_ERROR(ops.remove(storage.quantized_path));
    Result<int> marker = ops.open_for_write(storage.vectors_temp_path, WriteMode::kTruncate);
    if (!marker.ok()) return marker.error();
    KELPO_RETURN_IF_ERROR(ops.close(*marker));
  } else {
    KELPO_RETURN_IF_ERROR(write_synced_file(ops, storage.vectors_temp_path, files.vectors));
  }
  KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
  KELPO_RETURN_IF_ERROR(write_synced_file(ops, storage.graph_temp_path, files.graph));
  KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
  // A quantizer file that describes the vectors being replaced goes now, so
  // a crash before step 4 leaves no vectors.sq8 rather than one whose codes
  // belong to other vectors (or are too few to load).
  if (*quantized && !*keep_vectors) {
    KELPO_RETURN_IF_ERROR(ops.remove(storage.quantized_path));
    KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
  }
  KELPO_RETURN_IF_ERROR(step_done(hooks, SaveStep::kTempFilesWritten));

  // 3. The commit point: vectors.tmp goes, by its rename over vectors.bin or
  // (vectors kept) its removal. From then on graph.tmp without vectors.tmp is
  // the committed graph.
  if (*keep_vectors) {
    KELPO_RETURN_IF_ERROR(ops.remove(storage.vectors_temp_path));
    KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
  } else {
    KELPO_RETURN_IF_ERROR(rename_synced(ops, storage.vectors_temp_path, storage.vectors_path, dir));
    if (outcome != nullptr) outcome->vectors_written = true;
  }
  KELPO_RETURN_IF_ERROR(step_done(hooks, SaveStep::kVectorsCommitted));
  KELPO_RETURN_IF_ERROR(rename_synced(ops, storage.graph_temp_path, storage.graph_path, dir));
  KELPO_RETURN_IF_ERROR(step_done(hooks, SaveStep::kGraphCommitted));

  // 4. A derived file: losing it to a crash costs speed, not data.
  if (files.quantizer && !keep_quantizer) {
    KELPO_RETURN_IF_ERROR(write_synced_file(ops, storage.vectors_temp_path, files.quantizer));
    KELPO_RETURN_IF_ERROR(rename_synced(ops, storage.vectors_temp_path, storage.quantized_path, dir));
  }
  KELPO_RETURN_IF_ERROR(step_done(hooks, SaveStep::kQuantizerWritten));

  // 5. The files now hold every logged write.
  Result<bool> log = ops.exists(storage.log_path);
  if (!log.ok()) return log.error();
  if (*log) {
    KELPO_RETURN_IF_ERROR(ops.remove(storage.log_path));
    KELPO_RETURN_IF_ERROR(ops.sync_dir(dir));
  }
  return step_done(hooks, SaveStep::kLogRemoved);
}

Result<SavedGraph> find_saved_graph(FileOps& ops, const Storage& storage) {
  Result<std::optional<SavedGraph>> rolled = rolled_forward_graph(ops, storage);
  if (!rolled.ok()) return rolled.error();
  if (rolled->has_value()) return std::move(**rolled);

  Result<bool> graph = ops.exists(storage.graph_path);
  if (!graph.ok()) return graph.error();
  Result<bool> vectors = ops.exists(storage.vectors_path);
  if (!vectors.ok()) return vectors.error();
  if (!*graph || !*vectors) return SavedGraph{};

  Result<std::string> bytes = ops.read_file(storage.graph_path);
  if (!bytes.ok()) return bytes.error();
  Result<LoadedGraph> parsed = parse_graph(*bytes);
  if (!parsed.ok()) return parsed.error();
  Result<uint64_t> size = ops.file_size(storage.vectors_path);
  if (!size.ok()) return size.error();
  KELPO_RETURN_IF_ERROR(check_vectors_file_size(*size, parsed->header.node_count, parsed->header.dim));
  return SavedGraph{GraphSource::kGraph, std::move(parsed).value(), *size};
}

}  // namespace kelpo
