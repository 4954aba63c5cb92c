// The crash-safe save of a database directory, and the matching decision at
// open of which graph file to load.
//
// A save, in order (every file synced before its rename, the directory synced
// after every change of its entries):
//   0. create the directory if it is missing;
//   1. settle an earlier save: a graph.tmp without vectors.tmp that fits
//      vectors.bin is that save's committed graph, so rename it into place;
//      any other graph.tmp, then any vectors.tmp, is debris and is removed
//      (graph.tmp first, so the removal can never fake a committed graph);
//   2. write and sync vectors.tmp, then graph.tmp, sync the directory; remove
//      an existing vectors.sq8, which describes the old vectors;
//   3. rename vectors.tmp -> vectors.bin (the commit point), then
//      graph.tmp -> graph.kelpo;
//   4. if the database keeps quantization, write vectors.sq8 through
//      vectors.tmp;
//   5. remove wal.kelpo: only now are both new files durable.
//
// When the vectors are unchanged since vectors.bin was written or loaded (and
// the file is there with the size they need), the save keeps it: step 2
// removes a vectors.sq8 it will not keep (one it would write again, which
// describes the same vectors, stays), creates an empty vectors.tmp and syncs
// the directory, then writes graph.tmp; step 3 removes vectors.tmp instead
// of renaming it (the commit point), then renames the graph. So the rules
// below hold unchanged: graph.tmp without vectors.tmp exists only once
// graph.tmp is durable, and it fits the very vectors.bin it was written for.
//
// Any failure stops the save with an io error and keeps the log, so a reopen
// replays it over whichever state the directory holds.
//
// What a crash (or a power loss, which undoes whatever was not synced) can
// leave, and what find_saved_graph loads from it:
//   before step 3's first rename: the old graph.kelpo and vectors.bin, maybe
//     temporary files, the full log -> the old state, then the log;
//   between the renames: the new vectors.bin beside the old graph.kelpo and
//     a complete graph.tmp without vectors.tmp -> graph.tmp (rolled forward
//     in memory; no file is changed by opening), then the log;
//   after: the new pair, perhaps without vectors.sq8, perhaps a log whose
//     entries the files already hold -> the new state.
// The old graph.kelpo is never paired with the new vectors.bin.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "engine/storage/file_ops.h"
#include "engine/storage/graph_file.h"
#include "engine/storage/storage.h"
#include "engine/util/error.h"

namespace kelpo {

// Writes one file's contents. The save flushes, syncs and closes the file.
using FileWriterFn = std::function<Status(BufferedFileWriter&)>;

struct SaveFiles {
  FileWriterFn vectors;    // vectors.bin
  FileWriterFn graph;      // graph.kelpo
  FileWriterFn quantizer;  // vectors.sq8; empty when the database keeps no quantizer file (any old one is removed)
  // Set when vectors.bin already holds exactly the vectors being saved and
  // has this size: the file is kept and `vectors` is not called. Should the
  // file be missing or of another size, `vectors` writes it after all.
  std::optional<uint64_t> unchanged_vectors_size;
};

// What a save did, for callers that track which files hold their state.
struct SaveOutcome {
  bool vectors_written = false;  // false: vectors.bin was kept as it was
};

enum class SaveStep : uint8_t {
  kEarlierSaveSettled,
  kTempFilesWritten,
  kVectorsCommitted,
  kGraphCommitted,
  kQuantizerWritten,
  kLogRemoved,
};

struct SaveHooks {
  // Called after each step; an error stops the save right there, as a crash
  // would (for tests of what every intermediate directory opens to).
  std::function<Status(SaveStep)> after_step;
};

// Runs one save. The caller holds whatever keeps the state it writes stable,
// and has closed its log writer: step 5 removes the log file, and the next
// logged write opens a new one.
Status save_database_files(FileOps& ops, const Storage& storage, const SaveFiles& files, const SaveHooks& hooks = {},
                           SaveOutcome* outcome = nullptr);

enum class GraphSource : uint8_t {
  kNone,           // no saved database: vectors.bin or a graph file is missing
  kGraph,          // graph.kelpo
  kRolledForward,  // graph.tmp, the committed graph of a save cut short between its renames
};

struct SavedGraph {
  GraphSource source = GraphSource::kNone;
  LoadedGraph graph;           // parsed and checked, when source is not kNone
  uint64_t vectors_size = 0;   // equals vectors_file_size(graph's n, dim)
};

// Which saved state the directory holds, with its graph parsed and checked
// against vectors.bin's size. Modifies nothing. A graph.kelpo that cannot be
// read, does not parse or does not fit vectors.bin is an io error.
Result<SavedGraph> find_saved_graph(FileOps& ops, const Storage& storage);

}  // namespace kelpo
