#include "engine/storage/index_files.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/storage/save_protocol.h"
#include "tests/engine/storage_test_util.h"

namespace kelpo {
namespace {

using testing::TempDir;

std::unique_ptr<HnswIndex> build_index(size_t n, size_t dim) {
  auto index = std::make_unique<HnswIndex>(dim, Metric::kCosine, 4, 32);
  std::mt19937 rng(7);
  std::normal_distribution<float> gauss;
  std::vector<std::vector<float>> rows(n, std::vector<float>(dim));
  std::vector<const float*> ptrs;
  for (auto& r : rows) {
    for (float& x : r) x = gauss(rng);
    ptrs.push_back(r.data());
  }
  index->batch_insert(ptrs);
  for (Slot s = 3; s < n; s += 7) index->mark_deleted(s);
  return index;
}

Status save_index(const Storage& storage, const HnswIndex& index, const std::vector<MetaRecord>& records) {
  SaveFiles files;
  files.vectors = [&](BufferedFileWriter& out) { return write_index_vectors(out, index); };
  files.graph = [&](BufferedFileWriter& out) { return write_index_graph(out, index, records); };
  return save_database_files(FileOps::posix(), storage, files);
}

Result<std::unique_ptr<HnswIndex>> load_index(const Storage& storage, std::vector<MetaRecord>* records) {
  Result<SavedGraph> saved = find_saved_graph(FileOps::posix(), storage);
  if (!saved.ok()) return saved.error();
  EXPECT_EQ(saved->source, GraphSource::kGraph);
  LoadedGraph& g = saved->graph;
  Result<MappedVectors> mapped = map_vectors_file(FileOps::posix(), storage.vectors_path, g.node_count(), g.header.dim);
  if (!mapped.ok()) return mapped.error();
  *records = std::move(g.records);
  return restore_index(g, std::move(mapped).value());
}

TEST(StorageIndexTest, SavedIndexReopensMappedWithTheSameGraphVectorsAndDeletions) {
  TempDir dir;
  const Storage storage(dir.path());
  const size_t n = 300, dim = 8;
  std::unique_ptr<HnswIndex> index = build_index(n, dim);
  std::vector<MetaRecord> records;
  for (Slot s = 0; s < n; ++s) {
    if (!index->is_deleted(s)) records.push_back(MetaRecord{"v" + std::to_string(s), std::make_shared<const Json>(Json{{"s", s}}), s});
  }
  ASSERT_TRUE(save_index(storage, *index, records).ok());
  EXPECT_EQ(FileOps::posix().file_size(storage.vectors_path).value(), 4 * n * (dim + 1));

  std::vector<MetaRecord> loaded_records;
  Result<std::unique_ptr<HnswIndex>> loaded = load_index(storage, &loaded_records);
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  const HnswIndex& back = **loaded;
  EXPECT_TRUE(back.vector_store().is_mapped());
  ASSERT_EQ(back.node_count(), n);
  EXPECT_EQ(back.dim(), dim);
  EXPECT_EQ(back.m(), 4u);
  EXPECT_EQ(back.ef_construction(), 32u);
  EXPECT_EQ(back.entry_point(), index->entry_point());
  EXPECT_EQ(back.max_level(), index->max_level());
  EXPECT_EQ(back.deleted_slots(), index->deleted_slots());
  EXPECT_EQ(back.live_count(), index->live_count());
  for (Slot s = 0; s < n; ++s) {
    ASSERT_EQ(std::memcmp(back.vector(s), index->vector(s), dim * sizeof(float)), 0) << s;
    ASSERT_EQ(back.norm(s), index->norm(s));
    ASSERT_EQ(back.node_level(s), index->node_level(s));
    for (size_t layer = 0; layer <= back.node_level(s); ++layer) {
      ASSERT_EQ(back.neighbors(s, layer), index->neighbors(s, layer)) << s << "/" << layer;
    }
  }
  ASSERT_EQ(loaded_records.size(), records.size());
  EXPECT_EQ(loaded_records[5].id, records[5].id);
  EXPECT_EQ(loaded_records[5].slot, records[5].slot);

  // Saving the mapped index again writes the same bytes.
  const std::string vectors_before = FileOps::posix().read_file(storage.vectors_path).value();
  const std::string graph_before = FileOps::posix().read_file(storage.graph_path).value();
  ASSERT_TRUE(save_index(storage, back, loaded_records).ok());
  EXPECT_EQ(FileOps::posix().read_file(storage.vectors_path).value(), vectors_before);
  EXPECT_EQ(FileOps::posix().read_file(storage.graph_path).value(), graph_before);
  // The mapping of the replaced file stays readable.
  EXPECT_EQ(std::memcmp(back.vector(n - 1), index->vector(n - 1), dim * sizeof(float)), 0);
}

TEST(StorageIndexTest, EmptyIndexSavesAndReopens) {
  TempDir dir;
  const Storage storage(dir.path());
  HnswIndex empty(4, Metric::kEuclidean, 16, 200);
  ASSERT_TRUE(save_index(storage, empty, {}).ok());
  EXPECT_EQ(FileOps::posix().file_size(storage.graph_path).value(), 45u);
  EXPECT_EQ(FileOps::posix().file_size(storage.vectors_path).value(), 0u);
  std::vector<MetaRecord> records;
  Result<std::unique_ptr<HnswIndex>> back = load_index(storage, &records);
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ((*back)->node_count(), 0u);
  EXPECT_EQ((*back)->entry_point(), NO_ENTRY);
  EXPECT_EQ((*back)->metric(), Metric::kEuclidean);
  EXPECT_TRUE((*back)->norms().empty());
}

}  // namespace
}  // namespace kelpo
