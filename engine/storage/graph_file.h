// The graph file (graph.kelpo): everything of a saved database except the
// vector data. Integers are u32 little-endian, no padding.
//
//   header (37 bytes)
//     "GWSH"  version=2  dim  metric(u8)  m  ef_construction
//     entry_point (NO_ENTRY when there are no nodes)  max_level  n  D
//   D deleted slots, in any order
//   n nodes in slot order, each: L, then L lists (layer 0 first) of
//     k, k neighbour slots
//   metadata section: "ATEM"  R  then R records, each:
//     slot  id_len  id (UTF-8)  meta_len  meta (compact JSON; 0 = none)
//   anything after the last record is ignored
//
// A saved empty database (dim 4, cosine, m 16, ef 200) is exactly 45 bytes.
//
// The parser treats the file as hostile: every count is checked against the
// bytes that remain before anything is allocated for it, and a file that
// would let a search or a later write step outside the index's arrays is
// refused ("io error: ..."), never loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/distance.h"
#include "engine/index/index_types.h"
#include "engine/index/neighbor_lists.h"
#include "engine/metadata/json.h"
#include "engine/storage/file_ops.h"
#include "engine/util/error.h"

namespace kelpo {

inline constexpr uint32_t kGraphMagic = 0x48535747;     // "GWSH"
inline constexpr uint32_t kGraphVersion = 2;
inline constexpr uint32_t kMetadataMagic = 0x4D455441;  // "ATEM"
inline constexpr size_t kGraphHeaderSize = 37;

// Bounds on the index parameters a graph may carry; creation should refuse
// the same. Below 2 the level multiplier 1/ln(m) is infinite or negative.
// Above the maximum every node's layer-0 list array would be sized by a
// number no real graph uses, and a small hostile file could claim it.
inline constexpr uint32_t kMinGraphM = 2;
inline constexpr uint32_t kMaxGraphM = 1024;
// A node's level is kept in a byte by the index.
inline constexpr uint32_t kMaxGraphLevel = 255;

struct GraphHeader {
  uint32_t dim = 0;
  Metric metric = Metric::kCosine;
  uint32_t m = 16;
  uint32_t ef_construction = 200;
  Slot entry_point = NO_ENTRY;
  uint32_t max_level = 0;  // the low 32 bits of the index's word
  uint32_t node_count = 0;
};

// One entry of the metadata section.
struct MetaRecord {
  std::string id;
  SharedJson metadata;  // null when none
  uint32_t slot = 0;
};

// A record as write_graph reads it: views into the caller's own tables,
// which must stay unchanged while it writes, so a save copies no id and no
// metadata.
struct RecordView {
  std::string_view id;
  const Json* metadata = nullptr;  // none when null
  uint32_t slot = 0;
};

// Views of parsed (or built) records, in the same order.
std::vector<RecordView> record_views(std::span<const MetaRecord> records);

// Where write_graph reads the links from, so the file format does not depend
// on how the index lays them out.
class GraphNodeSource {
 public:
  virtual ~GraphNodeSource() = default;
  // The node's level: it has level + 1 lists, layers 0 .. level.
  virtual size_t level(Slot s) const = 0;
  // Copies list (s, layer) into out, which has room for the layer's capacity
  // (2 * m on layer 0, m above), taking the list's lock for the copy; returns
  // its length.
  virtual size_t copy_list(Slot s, size_t layer, Slot* out) const = 0;
};

// Writes the whole file: header, deleted slots, header.node_count nodes from
// `nodes`, and the metadata section with the records in the given order
// (metadata as compact JSON). Does not flush; the caller flushes and syncs.
// Fails, writing nothing more, if the header or a list breaks a rule the
// parser enforces, so a save never produces a file that cannot be opened.
Status write_graph(BufferedFileWriter& out, const GraphHeader& header, std::span<const Slot> deleted,
                   const GraphNodeSource& nodes, std::span<const RecordView> records);
Status write_graph(BufferedFileWriter& out, const GraphHeader& header, std::span<const Slot> deleted,
                   const GraphNodeSource& nodes, std::span<const MetaRecord> records);

// The same bytes write_graph writes, made in memory as consecutive pieces
// (so that a save can make them while it writes another file); fails as
// write_graph does, leaving *pieces empty. The records' text is made in
// parallel.
Status render_graph(const GraphHeader& header, std::span<const Slot> deleted, const GraphNodeSource& nodes,
                    std::span<const RecordView> records, std::vector<std::string>* pieces);

// A parsed, checked graph file. Every slot it holds (entry point, deleted
// slots, neighbours, record slots) is below header.node_count; every list is
// within its layer's capacity; no node's level exceeds max_level, and the
// entry point's level equals it; no record names a deleted slot and no two
// records share a slot.
struct LoadedGraph {
  GraphHeader header;
  std::vector<Slot> deleted;  // distinct, ascending
  // Node levels and lists, laid out as the index keeps them for header.m, so
  // that the index takes them over without a copy.
  NeighborArrays lists;
  std::vector<MetaRecord> records;  // file order

  size_t node_count() const { return header.node_count; }
  size_t level(Slot s) const { return lists.levels[s]; }
  std::span<const Slot> neighbors(Slot s, size_t layer) const {
    const uint32_t* words =
        layer == 0 ? &lists.layer0[static_cast<size_t>(s) * (1 + 2 * size_t{header.m})]
                   : &lists.upper[(static_cast<size_t>(lists.upper_block[s]) + layer - 1) * (1 + size_t{header.m})];
    return {words + 1, words + 1 + words[0]};
  }
  size_t live_count() const { return header.node_count - deleted.size(); }
};

// Parses a whole graph file. Failures are io errors whose detail is the
// format's own message ("failed to fill whole buffer", "bad graph magic", ...)
// or, for an inconsistent file, a description of what is wrong. A first pass
// finds where every stretch of nodes and records begins; the stretches are
// then parsed in parallel, and what is wrong is reported as a parse in file
// order would find it first.
Result<LoadedGraph> parse_graph(std::string_view bytes);

// Why the bytes are not UTF-8, as the loader reports it for an id: "invalid
// utf-8 sequence of {k} bytes from index {i}" (k bytes starting at i can begin
// no character) or "incomplete utf-8 byte sequence from index {i}" (the bytes
// end inside a character). nullopt when the bytes are valid UTF-8.
std::optional<std::string> utf8_error(std::string_view bytes);

}  // namespace kelpo
