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

Status write_index_graph(BufferedFileWriter& out, const HnswIndex& index, std::span<const RecordView> records) {
  const std::vector<Slot> deleted = index.deleted_slots();
  return write_graph(out, graph_header(index), deleted, IndexNodeSource(index), records);
}

Status render_index_graph(const HnswIndex& index, std::span<const RecordView> records,
                          std::vector<std::string>* pieces) {
  const std::vector<Slot> deleted = index.deleted_slots();
  return render_graph(graph_header(index), deleted, IndexNodeSource(index), records, pieces);
}

Status write_index_graph(BufferedFileWriter& out, const HnswIndex& index, std::span<const MetaRecord> records) {
  const std::vector<RecordView> views = record_views(records);
  return write_index_graph(out, index, std::span<const RecordView>(views));
}

Status write_index_vectors(BufferedFileWriter& out, const HnswIndex& index) {
  const VectorStore& store = index.vector_store();
  return write_vectors_file(out, std::span<const float>(store.data(), store.size()), index.norms(), index.dim());
}

Result<std::unique_ptr<HnswIndex>> restore_index(LoadedGraph& graph, MappedVectors vectors) {
  const GraphHeader& h = graph.header;
  SavedLinks links;
  links.entry_point = h.entry_point;
  links.max_level = h.max_level;
  links.deleted = std::move(graph.deleted);
  links.lists = std::move(graph.lists);
  graph.deleted.clear();
  graph.lists = NeighborArrays();
  return HnswIndex::restore(h.dim, h.metric, h.m, h.ef_construction, std::move(vectors.store), std::move(vectors.norms),
                            std::move(links));
}

}  // namespace kelpo
