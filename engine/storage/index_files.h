// The index's side of the saved files: writing an HnswIndex's graph and
// vectors, and building one back from a parsed graph file and a mapped
// vectors file. The formats themselves know nothing of the index.
#pragma once

#include <memory>
#include <span>

#include "engine/index/hnsw_index.h"
#include "engine/storage/file_ops.h"
#include "engine/storage/graph_file.h"
#include "engine/storage/vector_files.h"
#include "engine/util/error.h"

namespace kelpo {

// Reads an index's node levels and lists; each list is copied under its own
// lock. The index must stay under its owner's shared lock while in use.
class IndexNodeSource final : public GraphNodeSource {
 public:
  explicit IndexNodeSource(const HnswIndex& index) : index_(index) {}
  size_t level(Slot s) const override { return index_.node_level(s); }
  size_t copy_list(Slot s, size_t layer, Slot* out) const override { return index_.links().copy(s, layer, out); }

 private:
  const HnswIndex& index_;
};

// The header fields of the index as it stands.
GraphHeader graph_header(const HnswIndex& index);

// graph.kelpo's contents for the index and these records.
Status write_index_graph(BufferedFileWriter& out, const HnswIndex& index, std::span<const RecordView> records);
Status write_index_graph(BufferedFileWriter& out, const HnswIndex& index, std::span<const MetaRecord> records);
// The same bytes in memory, as render_graph makes them.
Status render_index_graph(const HnswIndex& index, std::span<const RecordView> records,
                          std::vector<std::string>* pieces);

// vectors.bin's contents: the store's vector floats (for a mapped store, not
// the norms that follow them in the mapping), then the index's norms.
Status write_index_vectors(BufferedFileWriter& out, const HnswIndex& index);

// An index over a parsed graph and its mapped vectors file. Moves the
// graph's deleted set and lists out of `graph`; its header and records stay.
Result<std::unique_ptr<HnswIndex>> restore_index(LoadedGraph& graph, MappedVectors vectors);

}  // namespace kelpo
