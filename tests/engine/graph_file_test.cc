#include "engine/storage/graph_file.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/engine/storage_test_util.h"

namespace kelpo {
namespace {

using testing::make_graph;
using testing::render_graph;
using testing::TestGraph;

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

void put_u32(std::string& bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
}

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  put_u32(s, 0, v);
  return s;
}

std::string parse_error(const std::string& bytes) {
  Result<LoadedGraph> g = parse_graph(bytes);
  return g.ok() ? "parsed" : g.error().message();
}

// The rules a loaded graph must satisfy before an index may be built on it,
// checked independently of the parser.
void expect_safe(const LoadedGraph& g) {
  const uint32_t n = g.header.node_count;
  ASSERT_EQ(g.lists.levels.size(), n);
  if (n == 0) {
    EXPECT_EQ(g.header.entry_point, NO_ENTRY);
  } else {
    ASSERT_LT(g.header.entry_point, n);
    EXPECT_EQ(g.level(g.header.entry_point), g.header.max_level);
  }
  for (Slot s : g.deleted) EXPECT_LT(s, n);
  for (Slot s = 0; s < n; ++s) {
    ASSERT_LE(g.level(s), g.header.max_level);
    for (size_t layer = 0; layer <= g.level(s); ++layer) {
      std::span<const Slot> l = g.neighbors(s, layer);
      EXPECT_LE(l.size(), layer == 0 ? 2u * g.header.m : g.header.m);
      for (Slot x : l) ASSERT_LT(x, n);
    }
  }
  for (const MetaRecord& r : g.records) ASSERT_LT(r.slot, n);
}

TEST(GraphFileTest, EmptyDatabaseIsTheFortyFiveByteFile) {
  TestGraph g = make_graph(0);
  g.header.m = 16;
  g.header.ef_construction = 200;
  const std::string bytes = render_graph(g);
  EXPECT_EQ(hex(bytes),
            "47 57 53 48 02 00 00 00 04 00 00 00 00 10 00 00 00 C8 00 00 00 FF FF FF FF 00 00 00 00 "
            "00 00 00 00 00 00 00 00 41 54 45 4D 00 00 00 00");
  Result<LoadedGraph> back = parse_graph(bytes);
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ(back->node_count(), 0u);
  EXPECT_EQ(back->header.entry_point, NO_ENTRY);
  EXPECT_EQ(back->header.max_level, 0u);
  EXPECT_EQ(back->header.dim, 4u);
  EXPECT_TRUE(back->records.empty());
}

TEST(GraphFileTest, NodeRecordLayout) {
  TestGraph g = make_graph(4);
  g.deleted.clear();
  g.records.clear();
  g.lists[0] = {{1, 2}, {3}};
  g.lists[3].push_back({});  // slot 3 also reaches layer 1
  const std::string bytes = render_graph(g);
  EXPECT_EQ(hex(bytes.substr(kGraphHeaderSize, 24)),
            "02 00 00 00 02 00 00 00 01 00 00 00 02 00 00 00 01 00 00 00 03 00 00 00");
}

TEST(GraphFileTest, RoundTripKeepsEverything) {
  TestGraph g = make_graph(40, 3, 1);
  g.header.metric = Metric::kDotProduct;
  g.deleted.push_back(5);  // a repeat counts once
  g.records[0].id = "\xe2\x82\xac-\xf0\x9f\x98\x80";
  g.records[1].metadata =
      std::make_shared<const Json>(Json::parse(R"({"b":[1,-2,2.5,null,true],"a":{"x":"y"},"n":18446744073709551615})"));
  const std::string bytes = render_graph(g);
  Result<LoadedGraph> back = parse_graph(bytes);
  ASSERT_TRUE(back.ok()) << back.error().message();
  expect_safe(*back);

  const GraphHeader& h = back->header;
  EXPECT_EQ(h.dim, 3u);
  EXPECT_EQ(h.metric, Metric::kDotProduct);
  EXPECT_EQ(h.m, 4u);
  EXPECT_EQ(h.ef_construction, 41u);
  EXPECT_EQ(h.entry_point, 0u);
  EXPECT_EQ(h.max_level, 1u);
  EXPECT_EQ(back->deleted, (std::vector<Slot>{2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 32, 35, 38}));
  EXPECT_EQ(back->live_count(), 27u);
  for (Slot s = 0; s < 40; ++s) {
    ASSERT_EQ(back->level(s) + 1, g.lists[s].size());
    for (size_t layer = 0; layer < g.lists[s].size(); ++layer) {
      std::span<const Slot> l = back->neighbors(s, layer);
      EXPECT_EQ(std::vector<Slot>(l.begin(), l.end()), g.lists[s][layer]) << s << "/" << layer;
    }
  }
  ASSERT_EQ(back->records.size(), g.records.size());
  for (size_t i = 0; i < g.records.size(); ++i) {
    EXPECT_EQ(back->records[i].id, g.records[i].id);
    EXPECT_EQ(back->records[i].slot, g.records[i].slot);
    ASSERT_EQ(back->records[i].metadata != nullptr, g.records[i].metadata != nullptr);
    if (g.records[i].metadata) {
      EXPECT_TRUE(json_equal(*back->records[i].metadata, *g.records[i].metadata));
    }
  }
  // Compact text with sorted keys, as written.
  EXPECT_NE(bytes.find(R"({"a":{"x":"y"},"b":[1,-2,2.5,null,true],"n":18446744073709551615})"), std::string::npos);
}

TEST(GraphFileTest, FormatErrorsUseTheFormatsMessages) {
  const std::string valid = render_graph(make_graph(6));
  const size_t nodes_end = valid.find("ATEM");
  ASSERT_NE(nodes_end, std::string::npos);

  EXPECT_EQ(parse_error(valid.substr(0, 3)), "io error: failed to fill whole buffer");
  EXPECT_EQ(parse_error("GWSX" + valid.substr(4)), "io error: bad graph magic");
  std::string v3 = valid;
  put_u32(v3, 4, 3);
  EXPECT_EQ(parse_error(v3), "io error: unsupported graph version: 3");
  std::string metric7 = valid;
  metric7[12] = 7;
  EXPECT_EQ(parse_error(metric7), "io error: unknown metric: 7");
  EXPECT_EQ(parse_error(valid.substr(0, 12)), "io error: failed to fill whole buffer");
  EXPECT_EQ(parse_error(valid.substr(0, nodes_end)), "io error: failed to fill whole buffer");
  EXPECT_EQ(parse_error(valid.substr(0, nodes_end) + "ABCD" + u32(0)), "io error: bad metadata section magic");
  // Bytes after the last record are ignored.
  EXPECT_EQ(parse_error(valid + "trailing"), "parsed");
}

TEST(GraphFileTest, MetadataThatIsNotJsonIsDroppedAndIdsMustBeUtf8) {
  TestGraph g = make_graph(3);
  g.deleted.clear();
  g.records.clear();
  const std::string body = render_graph(g);
  const std::string head = body.substr(0, body.size() - 4);  // up to and without R
  auto with_record = [&](const std::string& id, const std::string& meta) {
    return head + u32(1) + u32(0) + u32(static_cast<uint32_t>(id.size())) + id +
           u32(static_cast<uint32_t>(meta.size())) + meta;
  };

  for (const std::string& meta :
       std::vector<std::string>{"{", "", "[1,2", std::string(200, '[') + std::string(200, ']')}) {
    Result<LoadedGraph> r = parse_graph(with_record("x", meta));
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_FALSE(r->records[0].metadata) << meta;
  }
  Result<LoadedGraph> r = parse_graph(with_record("x", "{\"k\":1}"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->records[0].metadata->at("k"), 1);

  const struct {
    std::string id;
    std::string message;
  } cases[] = {
      {"ab\xff", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc3", "incomplete utf-8 byte sequence from index 0"},
      {"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"},
      {"a\xe2\x82x", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xf0\x9f\x98x", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // a surrogate
      {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_error(with_record(c.id, "")), "io error: " + c.message) << hex(c.id);
  }
  EXPECT_EQ(utf8_error("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), std::nullopt);
}

// The file of a graph laid out by hand, bypassing the writer's own checks,
// with no metadata text.
std::string raw_bytes(const TestGraph& g) {
  std::string bytes;
  bytes += u32(kGraphMagic) + u32(kGraphVersion) + u32(g.header.dim);
  bytes += static_cast<char>(g.header.metric);
  bytes += u32(g.header.m) + u32(g.header.ef_construction) + u32(g.header.entry_point) + u32(g.header.max_level);
  bytes += u32(g.header.node_count) + u32(static_cast<uint32_t>(g.deleted.size()));
  for (Slot s : g.deleted) bytes += u32(s);
  for (const auto& node : g.lists) {
    bytes += u32(static_cast<uint32_t>(node.size()));
    for (const auto& l : node) {
      bytes += u32(static_cast<uint32_t>(l.size()));
      for (Slot x : l) bytes += u32(x);
    }
  }
  bytes += u32(kMetadataMagic) + u32(static_cast<uint32_t>(g.records.size()));
  for (const MetaRecord& r : g.records) {
    bytes += u32(r.slot) + u32(static_cast<uint32_t>(r.id.size())) + r.id + u32(0);
  }
  return bytes;
}

TEST(GraphFileTest, InconsistentFilesAreRefused) {
  const TestGraph base = make_graph(6);
  auto refused = [&](const char* what, auto&& edit, const std::string& detail) {
    TestGraph g = base;
    edit(g);
    const std::string message = parse_error(raw_bytes(g));
    EXPECT_EQ(message.rfind("io error: inconsistent graph file: ", 0), 0u) << what << ": " << message;
    EXPECT_NE(message.find(detail), std::string::npos) << what << ": " << message;
  };

  refused("entry beyond n", [](TestGraph& g) { g.header.entry_point = 6; }, "entry point 6");
  refused("no entry with nodes", [](TestGraph& g) { g.header.entry_point = NO_ENTRY; }, "entry point 4294967295");
  refused("entry on a low node", [](TestGraph& g) { g.header.entry_point = 1; }, "not the max level");
  refused("entry without nodes", [](TestGraph& g) {
    g.header.node_count = 0;
    g.lists.clear();
    g.deleted.clear();
    g.records.clear();
  }, "empty graph has entry point 0");
  refused("deleted beyond n", [](TestGraph& g) { g.deleted.push_back(9); }, "deleted slot 9");
  refused("neighbour beyond n", [](TestGraph& g) { g.lists[3][0].push_back(6); }, "neighbour 6");
  refused("upper neighbour beyond n", [](TestGraph& g) { g.lists[0][1] = {1000}; }, "neighbour 1000");
  refused("record beyond n", [](TestGraph& g) { g.records[1].slot = 77; }, "record slot 77");
  refused("record on deleted slot", [](TestGraph& g) { g.records[1].slot = 2; }, "names deleted slot 2");
  refused("two records, one slot", [](TestGraph& g) { g.records[1].slot = g.records[0].slot; }, "two records");
  refused("layer 0 over capacity", [](TestGraph& g) { g.lists[1][0] = {0, 2, 3, 4, 5, 0, 2, 3, 4}; },
          "holds 9 neighbours");
  refused("upper layer over capacity", [](TestGraph& g) { g.lists[0][1] = {1, 2, 3, 4, 5}; }, "holds 5 neighbours");
  refused("node above max level", [](TestGraph& g) { g.lists[4].resize(3); }, "node 4 has level 2");
  refused("node without layers", [](TestGraph& g) { g.lists[4].clear(); }, "node 4 has no layers");
  refused("m below 2", [](TestGraph& g) { g.header.m = 1; }, "graph m 1");
  refused("m beyond bound", [](TestGraph& g) { g.header.m = kMaxGraphM + 1; }, "graph m 1025");
  refused("dimension 0", [](TestGraph& g) { g.header.dim = 0; }, "graph dimension is 0");
}

TEST(GraphFileTest, HugeCountsFailAsTruncationWithoutAllocating) {
  TestGraph g = make_graph(5);
  const std::string valid = render_graph(g);
  const size_t d_at = 33, n_at = 29;
  const size_t first_node = kGraphHeaderSize + 4 * g.deleted.size();
  const size_t r_at = valid.find("ATEM") + 4;
  // Every count field, including those inside the first node and record.
  for (size_t at : {d_at, n_at, first_node, first_node + 4, r_at, r_at + 8, r_at + 12 + g.records[0].id.size()}) {
    for (uint32_t count : {0xFFFFFFFFu, 0x40000000u}) {
      std::string bytes = valid;
      put_u32(bytes, at, count);
      const std::string message = parse_error(bytes);
      EXPECT_NE(message, "parsed") << at;
      EXPECT_EQ(message.find("io error: "), 0u) << at;
    }
  }
  std::string bytes = valid;
  put_u32(bytes, n_at, 0xFFFFFFFF);
  EXPECT_EQ(parse_error(bytes), "io error: failed to fill whole buffer");
}

TEST(GraphFileTest, EveryTruncationFailsAndEveryBitFlipIsSafe) {
  TestGraph g = make_graph(7, 2, 2);
  const std::string valid = render_graph(g);
  for (size_t len = 0; len < valid.size(); ++len) {
    ASSERT_EQ(parse_error(valid.substr(0, len)), "io error: failed to fill whole buffer") << len;
  }
  size_t accepted = 0;
  for (size_t bit = 0; bit < valid.size() * 8; ++bit) {
    std::string bytes = valid;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    Result<LoadedGraph> r = parse_graph(bytes);
    if (r.ok()) {
      ++accepted;
      expect_safe(*r);
    } else {
      ASSERT_EQ(r.error().message().rfind("io error: ", 0), 0u);
    }
  }
  // Flips in free-form bytes (ef_construction, ids, JSON text, the dimension)
  // still load; most others are caught.
  EXPECT_GT(accepted, 0u);
  EXPECT_LT(accepted, valid.size() * 8);
}

// A file long enough to be parsed in many stretches at once loads exactly,
// and of several faults in different stretches the one reported is the one
// a reading in file order meets first: a structural fault (an id that is not
// UTF-8, missing bytes) before any inconsistency, else the earliest
// inconsistency, nodes before records.
TEST(GraphFileTest, LongFilesParseInStretchesAsInFileOrder) {
  const uint32_t n = 100000;
  TestGraph g = make_graph(n, 2, 1);
  for (Slot s = 1; s < n; s += 97) g.lists[s].resize(2);  // upper layers all along
  g.header.max_level = 1;
  const std::string valid = render_graph(g);
  Result<LoadedGraph> back = parse_graph(valid);
  ASSERT_TRUE(back.ok()) << back.error().message();
  expect_safe(*back);
  for (Slot s = 0; s < n; ++s) {
    ASSERT_EQ(back->level(s) + 1, g.lists[s].size()) << s;
    for (size_t layer = 0; layer < g.lists[s].size(); ++layer) {
      const std::span<const Slot> l = back->neighbors(s, layer);
      ASSERT_EQ(std::vector<Slot>(l.begin(), l.end()), g.lists[s][layer]) << s << "/" << layer;
    }
  }
  ASSERT_EQ(back->records.size(), g.records.size());
  for (size_t i = 0; i < g.records.size(); ++i) {
    ASSERT_EQ(back->records[i].id, g.records[i].id);
    ASSERT_EQ(back->records[i].slot, g.records[i].slot);
    ASSERT_EQ(back->records[i].metadata != nullptr, g.records[i].metadata != nullptr);
  }

  std::mt19937 rng(5);
  auto node = [&] { return std::uniform_int_distribution<Slot>(1, n - 1)(rng); };
  auto record = [&] { return std::uniform_int_distribution<size_t>(0, g.records.size() - 1)(rng); };
  for (int trial = 0; trial < 6; ++trial) {
    TestGraph bad = g;
    const Slot a = node(), b = node();  // two neighbours beyond the last node
    bad.lists[a][0].push_back(n + 1);
    bad.lists[b][0].push_back(n + 2);
    const std::string nodes_first = "neighbour " + std::to_string(a < b ? n + 1 : n + 2) + " is not below";
    const size_t r = record();
    bad.records[r].slot = n + 7;
    EXPECT_NE(parse_error(raw_bytes(bad)).find(nodes_first), std::string::npos);
    bad.lists[a][0].pop_back();
    bad.lists[b][0].pop_back();
    EXPECT_NE(parse_error(raw_bytes(bad)).find("record slot " + std::to_string(n + 7)), std::string::npos);

    // Ids that are not UTF-8 win over inconsistencies, the earlier of two over the later.
    const size_t x = record();
    size_t y = record();
    if (y == x) y = (x + 1) % g.records.size();
    bad.records[x].id = "\xff" + std::to_string(x);
    bad.records[y].id = "ab\xc3";
    bad.lists[a][0].push_back(n + 1);
    const std::string first_bad = x <= y ? "invalid utf-8 sequence of 1 bytes from index 0"
                                         : "incomplete utf-8 byte sequence from index 2";
    std::string bytes = raw_bytes(bad);
    EXPECT_EQ(parse_error(bytes), "io error: " + first_bad);
    // Cut inside a late record: the bad id still wins if it comes before the cut.
    const size_t cut = bytes.size() - std::uniform_int_distribution<size_t>(1, 2000)(rng);
    const size_t cut_record = bad.records.size() - 1 - (bytes.size() - cut) / 20;  // a lower bound of the record cut into
    const std::string truncated_message = parse_error(bytes.substr(0, cut));
    if (std::min(x, y) < cut_record) {
      EXPECT_EQ(truncated_message, "io error: " + first_bad);
    }
    bad.records[x].id = "x";
    bad.records[y].id = "y";
    EXPECT_EQ(parse_error(raw_bytes(bad).substr(0, cut)), "io error: failed to fill whole buffer");
  }
}

// write_graph's bytes for g on an in-memory disk, or its refusal as
// "refused: {message}".
std::string written_graph(const TestGraph& g) {
  MemFileOps mem;
  EXPECT_TRUE(mem.create_directories("/r").ok());
  Result<int> fd = mem.open_for_write("/r/f", WriteMode::kTruncate);
  BufferedFileWriter out(mem, *fd);
  Status st = write_graph(out, g.header, g.deleted, g, g.records);
  if (!st.ok()) return "refused: " + st.error().message();
  EXPECT_TRUE(out.flush().ok());
  return mem.read_file("/r/f").value();
}

TEST(GraphFileTest, WriterRefusesAStateThatCouldNotBeOpened) {
  auto write_error = [](const TestGraph& g) {
    const std::string r = written_graph(g);
    return r.rfind("refused: ", 0) == 0 ? r.substr(9) : std::string("written");
  };
  const TestGraph base = make_graph(6);
  EXPECT_EQ(write_error(base), "written");
  TestGraph g = base;
  g.lists[2][0].push_back(6);
  EXPECT_EQ(write_error(g), "io error: refusing to save an inconsistent graph: neighbour 6 is not below the node count 6");
  g = base;
  g.records[0].slot = 5;  // deleted
  EXPECT_NE(write_error(g).find("names deleted slot 5"), std::string::npos);
  g = base;
  g.header.m = 1;
  EXPECT_NE(write_error(g).find("graph m 1"), std::string::npos);
}


// A save makes the graph file in memory, in pieces made in parallel: the
// pieces put together must be exactly the bytes write_graph writes, and a
// state write_graph refuses must be refused with the same message, whatever
// the size (one piece of records or several) and wherever the fault lies.
TEST(GraphFileTest, RenderedPiecesAreTheWrittenFile) {
  auto render_result = [](const TestGraph& g) {
    const std::vector<RecordView> views = record_views(g.records);
    std::vector<std::string> pieces;
    Status st = kelpo::render_graph(g.header, g.deleted, g, views, &pieces);
    if (!st.ok()) {
      EXPECT_TRUE(pieces.empty());
      return "refused: " + st.error().message();
    }
    std::string all;
    for (const std::string& p : pieces) all += p;
    return all;
  };
  std::mt19937 rng(1208);
  for (int trial = 0; trial < 24; ++trial) {
    const uint32_t sizes[] = {0, 1, 2, 7, 300, 49000, 70000};
    const uint32_t n = trial < 7 ? sizes[trial] : std::uniform_int_distribution<uint32_t>(3, 60000)(rng);
    TestGraph g = make_graph(n, 3, static_cast<uint32_t>(trial));
    const int fault = trial < 7 ? 0 : static_cast<int>(rng() % 6);
    auto any = [&](uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(rng); };
    if (fault == 1) g.lists[any(n)][0].push_back(n + any(5));
    if (fault == 2) g.records[any(static_cast<uint32_t>(g.records.size()))].slot = n + any(5);
    if (fault == 3 && !g.deleted.empty()) g.records[any(static_cast<uint32_t>(g.records.size()))].slot = g.deleted[0];
    if (fault == 4) g.records.push_back(g.records[any(static_cast<uint32_t>(g.records.size()))]);
    if (fault == 5) g.lists[1 + any(n - 1)].resize(3);  // a level above the max
    const std::string written = written_graph(g);
    EXPECT_EQ(written.rfind("refused: ", 0) == 0, fault != 0 && !(fault == 3 && g.deleted.empty()))
        << "trial " << trial << " fault " << fault;
    ASSERT_TRUE(render_result(g) == written) << "trial " << trial << " n " << n << " fault " << fault;
  }
}

}  // namespace
}  // namespace kelpo
