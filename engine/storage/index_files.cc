#include "engine/storage/index_files.h"

#include <utility>
#include <vector>

namespace kelpo {

GraphHeader graph_header(const HnswIndex& index) {
  GraphHeader h;
  h.dim = static_cast<uint32_t>(index.dim());
  h.metric = index.metric();
  h.m = static_cast<uint32_t>(index.m());
  h.ef_construction = static_cast<uint32_t>(index.ef_construction());
  h.entry_point = index.entry_point();
  h.max_level = static_cast<uint32_t>(index.max_level());
  h.node_count = index.node_count();
  return h;
}

Status write_index_graph(BufferedFileWriter& out, const HnswIndex& index, std::span<const MetaRecord> records) {
  const std::vector<Slot> deleted = index.deleted_slots();
  return write_graph(out, graph_header(index), deleted, IndexNodeSource(index), records);
}

Status write_index_vectors(BufferedFileWriter& out, const HnswIndex& index) {
  const VectorStore& store = index.vector_store();
  return write_vectors_file(out, std::span<const float>(store.data(), store.size()), index.norms(), index.dim());
}

Result<std::unique_ptr<HnswIndex>> restore_index(LoadedGraph& graph, MappedVectors vectors) {
  const GraphHeader& h = graph.header;
  GraphSnapshot snapshot;
  snapshot.entry_point = h.entry_point;
  snapshot.max_level = h.max_level;
  snapshot.deleted = std::move(graph.deleted);
  snapshot.levels.assign(graph.levels.begin(), graph.levels.end());
  snapshot.list_sizes.resize(graph.list_start.empty() ? 0 : graph.list_start.size() - 1);
  for (size_t i = 0; i < snapshot.list_sizes.size(); ++i) {
    snapshot.list_sizes[i] = static_cast<uint32_t>(graph.list_start[i + 1] - graph.list_start[i]);
  }
  snapshot.links = std::move(graph.links);
  graph.levels.clear();
  graph.list_start.clear();
  graph.node_first_list.clear();
  return HnswIndex::restore(h.dim, h.metric, h.m, h.ef_construction, std::move(vectors.store), std::move(vectors.norms),
                            snapshot);
}

}  // namespace kelpo
