#include "engine/index/vector_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/index/hnsw_index.h"
#include "tests/engine/hnsw_test_util.h"

namespace kelpo {
namespace {

// A file in the test's temporary directory, removed afterwards.
class TempFile {
 public:
  explicit TempFile(const std::string& name)
      : path_(::testing::TempDir() + name + "." + std::to_string(::getpid())) {}
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }
  void write(const std::vector<float>& floats) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(floats.data()), static_cast<std::streamsize>(floats.size() * 4));
  }

 private:
  std::string path_;
};

// A vectors file: n vectors of dim floats, then their norms.
std::vector<float> vectors_file(const std::vector<float>& vectors, size_t dim) {
  std::vector<float> out = vectors;
  for (size_t i = 0; i < vectors.size(); i += dim) out.push_back(vector_norm(&vectors[i], dim));
  return out;
}

TEST(VectorStore, MappedReadsTheFileAndConvertsToOwned) {
  const size_t dim = 5, n = 7;
  const std::vector<float> vectors = test_util::clustered(n, dim, 11);
  TempFile file("vs_map");
  file.write(vectors_file(vectors, dim));

  Result<VectorStore> mapped = VectorStore::map_file(file.path(), n * dim);
  ASSERT_TRUE(mapped.ok()) << mapped.error().message();
  VectorStore store = std::move(mapped.value());
  EXPECT_TRUE(store.is_mapped());
  ASSERT_EQ(store.size(), n * dim);
  EXPECT_EQ(std::memcmp(store.data(), vectors.data(), n * dim * 4), 0);
  const std::vector<float> norms = store.mapped_norms();
  ASSERT_EQ(norms.size(), n);
  for (size_t s = 0; s < n; ++s) EXPECT_EQ(norms[s], vector_norm(&vectors[s * dim], dim));

  // Moving keeps one owner of the mapping.
  VectorStore moved = std::move(store);
  EXPECT_TRUE(moved.is_mapped());
  EXPECT_FALSE(store.is_mapped());  // NOLINT: moved-from state is defined
  EXPECT_EQ(store.size(), 0u);

  moved.make_owned();
  EXPECT_FALSE(moved.is_mapped());
  ASSERT_EQ(moved.size(), n * dim);
  EXPECT_EQ(std::memcmp(moved.data(), vectors.data(), n * dim * 4), 0);
  EXPECT_TRUE(moved.mapped_norms().empty());
  // The copy no longer depends on the file.
  file.write({});
  EXPECT_EQ(moved.data()[n * dim - 1], vectors.back());
}

TEST(VectorStore, MappingChecksTheFile) {
  TempFile file("vs_short");
  file.write(std::vector<float>(9, 1.0f));
  const Result<VectorStore> too_short = VectorStore::map_file(file.path(), 10);
  ASSERT_FALSE(too_short.ok());
  EXPECT_EQ(too_short.error().kind(), ErrorKind::kIo);

  const Result<VectorStore> missing = VectorStore::map_file(file.path() + ".absent", 0);
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().message().find("(os error 2)"), std::string::npos) << missing.error().message();

  file.write({});
  Result<VectorStore> empty = VectorStore::map_file(file.path(), 0);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->is_mapped());
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_TRUE(empty->mapped_norms().empty());
}

// A restored index over a mapped file searches the mapped vectors, and its
// first insert or update turns the store Owned without changing old vectors.
TEST(VectorStore, RestoredIndexConvertsOnFirstWrite) {
  const size_t dim = 6, n = 40;
  const std::vector<float> vectors = test_util::clustered(n + 2, dim, 12);
  const std::vector<float> saved(vectors.begin(), vectors.begin() + n * dim);

  HnswIndex original(dim, Metric::kEuclidean, 4, 20);
  original.batch_insert(test_util::rows(saved, dim));
  original.mark_deleted(3);
  GraphSnapshot graph;
  graph.entry_point = original.entry_point();
  graph.max_level = original.max_level();
  graph.deleted = original.deleted_slots();
  for (Slot s = 0; s < n; ++s) {
    graph.levels.push_back(static_cast<uint32_t>(original.node_level(s)));
    for (size_t layer = 0; layer <= original.node_level(s); ++layer) {
      const auto list = original.neighbors(s, layer);
      graph.list_sizes.push_back(static_cast<uint32_t>(list.size()));
      graph.links.insert(graph.links.end(), list.begin(), list.end());
    }
  }

  TempFile file("vs_restore");
  file.write(vectors_file(saved, dim));
  Result<VectorStore> mapped = VectorStore::map_file(file.path(), n * dim);
  ASSERT_TRUE(mapped.ok());
  std::vector<float> norms = mapped->mapped_norms();
  auto restored = HnswIndex::restore(dim, Metric::kEuclidean, 4, 20, std::move(mapped.value()), std::move(norms), graph);
  ASSERT_TRUE(restored.ok()) << restored.error().message();
  HnswIndex& index = *restored.value();
  EXPECT_TRUE(index.vector_store().is_mapped());
  EXPECT_EQ(index.live_count(), n - 1);
  EXPECT_TRUE(index.is_deleted(3));
  test_util::expect_graph_invariants(index);
  const auto hits = index.search(&saved[7 * dim], 1, 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits.front().slot, 7u);

  EXPECT_EQ(index.insert(&vectors[n * dim]), n);
  EXPECT_FALSE(index.vector_store().is_mapped());
  EXPECT_EQ(std::memcmp(index.vector(0), saved.data(), n * dim * 4), 0);
  EXPECT_EQ(std::memcmp(index.vector(n), &vectors[n * dim], dim * 4), 0);
  test_util::expect_graph_invariants(index);
}

TEST(VectorStore, RestoreRejectsGraphsThatDoNotFit) {
  const size_t dim = 2;
  auto make = [&](const GraphSnapshot& g, size_t nodes) {
    std::vector<float> norms(nodes, 1.0f);
    return HnswIndex::restore(dim, Metric::kCosine, 2, 10, VectorStore(FloatArray(nodes * dim, 1.0f)),
                              std::move(norms), g);
  };
  GraphSnapshot good;
  good.entry_point = 0;
  good.levels = {0, 0};
  good.list_sizes = {1, 1};
  good.links = {1, 0};
  ASSERT_TRUE(make(good, 2).ok());

  GraphSnapshot beyond = good;
  beyond.links = {1, 2};  // slot 2 of 2 nodes
  GraphSnapshot too_long = good;
  too_long.list_sizes = {5, 0};  // layer 0 holds at most 4 with m = 2
  too_long.links = {1, 1, 1, 1, 1};
  GraphSnapshot wrong_top = good;
  wrong_top.max_level = 1;  // the entry point is on level 0
  GraphSnapshot bad_deleted = good;
  bad_deleted.deleted = {9};
  for (const GraphSnapshot* g : {&beyond, &too_long, &wrong_top, &bad_deleted}) {
    const auto r = make(*g, 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::kIo) << r.error().message();
  }
  EXPECT_FALSE(make(good, 3).ok());  // three vectors for two nodes
}

}  // namespace
}  // namespace kelpo
