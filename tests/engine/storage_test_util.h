// Small graphs and file images shared by the storage tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/storage/file_ops.h"
#include "engine/storage/graph_file.h"
#include "engine/storage/mem_file_ops.h"

namespace kelpo::testing {

// A graph held as plain nested lists.
struct TestGraph final : GraphNodeSource {
  GraphHeader header;
  std::vector<std::vector<std::vector<Slot>>> lists;  // [slot][layer]
  std::vector<Slot> deleted;
  std::vector<MetaRecord> records;

  size_t level(Slot s) const override { return lists[s].size() - 1; }
  size_t copy_list(Slot s, size_t layer, Slot* out) const override {
    const std::vector<Slot>& l = lists[s][layer];
    for (size_t i = 0; i < l.size(); ++i) out[i] = l[i];
    return l.size();
  }
};

// n nodes (slot 0 on two layers, the entry point), ring-like links, every
// third slot deleted, a record with metadata for every other live slot.
inline TestGraph make_graph(uint32_t n, uint32_t dim = 4, uint32_t tag = 0) {
  TestGraph g;
  g.header.dim = dim;
  g.header.m = 4;
  g.header.ef_construction = 40 + tag;
  g.header.node_count = n;
  g.header.entry_point = n == 0 ? NO_ENTRY : 0;
  g.header.max_level = n == 0 ? 0 : 1;
  g.lists.resize(n);
  for (uint32_t s = 0; s < n; ++s) {
    g.lists[s].resize(s == 0 ? 2 : 1);
    for (uint32_t j = 1; j <= 3 && j < n; ++j) g.lists[s][0].push_back((s + j * (tag + 1)) % n);
    if (s == 0 && n > 1) g.lists[0][1] = {n - 1};
  }
  for (uint32_t s = 2; s < n; s += 3) g.deleted.push_back(s);
  for (uint32_t s = 0; s < n; ++s) {
    if (s % 3 == 2) continue;
    MetaRecord r;
    r.id = "id-" + std::to_string(s) + "-" + std::to_string(tag);
    r.slot = s;
    if (s % 2 == 0) r.metadata = std::make_shared<const Json>(Json{{"slot", s}, {"tag", tag}, {"name", "n\xc3\xa9"}});
    g.records.push_back(std::move(r));
  }
  return g;
}

// What a FileWriterFn-like callback writes, as bytes.
template <class Fill>
std::string render(Fill&& fill) {
  MemFileOps mem;
  EXPECT_TRUE(mem.create_directories("/r").ok());
  Result<int> fd = mem.open_for_write("/r/f", WriteMode::kTruncate);
  EXPECT_TRUE(fd.ok());
  BufferedFileWriter out(mem, *fd);
  Status st = fill(out);
  EXPECT_TRUE(st.ok()) << st.error().message();
  EXPECT_TRUE(out.flush().ok());
  return mem.read_file("/r/f").value();
}

inline std::string render_graph(const TestGraph& g) {
  return render([&](BufferedFileWriter& out) { return write_graph(out, g.header, g.deleted, g, g.records); });
}

// A fresh directory under the system's temporary directory, removed on exit.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelpo-storage-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

 private:
  std::string path_;
};

}  // namespace kelpo::testing
