#include "engine/storage/graph_file.h"


#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/util/huge_pages.h"
#include "engine/util/worker_pool.h"

namespace kelpo {

namespace {

KelpoError truncated() { return KelpoError::io("failed to fill whole buffer"); }

std::string str(uint64_t v) { return std::to_string(v); }

size_t list_capacity(uint32_t m, size_t layer) { return layer == 0 ? size_t{2} * m : size_t{m}; }

// The rules on the header that do not need the nodes. Shared by the writer
// and the parser so that what one writes the other accepts.
std::optional<std::string> header_problem(const GraphHeader& h) {
  if (h.dim == 0) return "graph dimension is 0";
  if (h.m < kMinGraphM || h.m > kMaxGraphM) {
    return "graph m " + str(h.m) + " is outside " + str(kMinGraphM) + ".." + str(kMaxGraphM);
  }
  if (h.node_count == 0) {
    if (h.entry_point != NO_ENTRY) return "empty graph has entry point " + str(h.entry_point);
    if (h.max_level != 0) return "empty graph has max level " + str(h.max_level);
    return std::nullopt;
  }
  if (h.entry_point >= h.node_count) {
    return "entry point " + str(h.entry_point) + " is not below the node count " + str(h.node_count);
  }
  if (h.max_level > kMaxGraphLevel) {
    return "max level " + str(h.max_level) + " is above " + str(kMaxGraphLevel);
  }
  return std::nullopt;
}

std::string slot_problem(const char* what, uint64_t slot, uint32_t n) {
  return std::string(what) + " " + str(slot) + " is not below the node count " + str(n);
}

KelpoError refuse_to_write(const std::string& why) { return KelpoError::io("refusing to save an inconsistent graph: " + why); }

// A cursor over the file. Every read checks that its bytes are there.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  uint64_t remaining() const { return static_cast<uint64_t>(end_ - p_); }

  bool u8(uint8_t* v) {
    if (remaining() < 1) return false;
    *v = static_cast<uint8_t>(*p_++);
    return true;
  }
  bool u32(uint32_t* v) {
    if (remaining() < 4) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(p_);
    *v = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    p_ += 4;
    return true;
  }
  bool bytes(uint64_t n, std::string_view* out) {
    if (remaining() < n) return false;
    *out = std::string_view(p_, static_cast<size_t>(n));
    p_ += n;
    return true;
  }
  // Appends n little-endian u32 values to *out.
  bool u32s(uint64_t n, std::vector<uint32_t>* out) {
    if (remaining() / 4 < n) return false;
    if (n == 0) return true;
    const size_t old = out->size();
    out->resize(old + static_cast<size_t>(n));
    std::memcpy(out->data() + old, p_, static_cast<size_t>(n) * 4);  // the host is little-endian
    p_ += n * 4;
    return true;
  }

 private:
  const char* p_;
  const char* end_;
};

}  // namespace

std::optional<std::string> utf8_error(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const size_t start = i;
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    auto invalid = [&](size_t len) {
      return "invalid utf-8 sequence of " + str(len) + " bytes from index " + str(start);
    };
    auto incomplete = [&] { return "incomplete utf-8 byte sequence from index " + str(start); };
    auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    size_t width;
    if (c >= 0xC2 && c <= 0xDF) {
      width = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      width = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      width = 4;
    } else {
      return invalid(1);  // a continuation byte, an overlong lead (C0, C1) or beyond U+10FFFF
    }
    // The second byte's range also rules out overlong forms, surrogates and
    // code points above U+10FFFF.
    if (start + 1 >= n) return incomplete();
    const unsigned char b1 = s[start + 1];
    bool second_ok;
    if (width == 2) {
      second_ok = continuation(b1);
    } else if (width == 3) {
      second_ok = c == 0xE0 ? (b1 >= 0xA0 && b1 <= 0xBF) : c == 0xED ? (b1 >= 0x80 && b1 <= 0x9F) : continuation(b1);
    } else {
      second_ok = c == 0xF0 ? (b1 >= 0x90 && b1 <= 0xBF) : c == 0xF4 ? (b1 >= 0x80 && b1 <= 0x8F) : continuation(b1);
    }
    if (!second_ok) return invalid(1);
    for (size_t k = 2; k < width; ++k) {
      if (start + k >= n) return incomplete();
      if (!continuation(s[start + k])) return invalid(k);
    }
    i = start + width;
  }
  return std::nullopt;
}

Status write_graph(BufferedFileWriter& out, const GraphHeader& h, std::span<const Slot> deleted,
                   const GraphNodeSource& nodes, std::span<const MetaRecord> records) {
  const std::vector<RecordView> views = record_views(records);
  return write_graph(out, h, deleted, nodes, std::span<const RecordView>(views));
}

std::vector<RecordView> record_views(std::span<const MetaRecord> records) {
  std::vector<RecordView> views;
  views.reserve(records.size());
  for (const MetaRecord& r : records) views.push_back({r.id, r.metadata.get(), r.slot});
  return views;
}

namespace {

// Appends to a string what BufferedFileWriter would write to a file.
class StringSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void append(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }
  void append(std::string_view bytes) { out_.append(bytes); }
  void append_u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void append_u32(uint32_t v) { append(&v, 4); }  // the host is little-endian
  void append_u32s(const uint32_t* v, size_t n) { append(v, n * 4); }
  bool ok() const { return true; }
  Status status() const { return Status::OK(); }

 private:
  std::string& out_;
};

// Everything before the metadata section's records: header, deleted slots,
// nodes, the section's magic and count. Records are checked here, in file
// order, for what does not depend on their text.
template <class Out>
Status write_graph_head(Out& out, const GraphHeader& h, std::span<const Slot> deleted, const GraphNodeSource& nodes,
                        std::span<const RecordView> records) {
  if (auto problem = header_problem(h)) return refuse_to_write(*problem);
  const uint32_t n = h.node_count;

  out.append_u32(kGraphMagic);
  out.append_u32(kGraphVersion);
  out.append_u32(h.dim);
  out.append_u8(static_cast<uint8_t>(h.metric));
  out.append_u32(h.m);
  out.append_u32(h.ef_construction);
  out.append_u32(h.entry_point);
  out.append_u32(h.max_level);
  out.append_u32(n);
  if (deleted.size() > n) return refuse_to_write("more deleted slots than nodes");
  out.append_u32(static_cast<uint32_t>(deleted.size()));

  std::vector<uint8_t> slot_state(n, 0);  // 1 deleted, 2 has a record
  for (Slot s : deleted) {
    if (s >= n) return refuse_to_write(slot_problem("deleted slot", s, n));
    slot_state[s] = 1;
    out.append_u32(s);
  }

  std::vector<Slot> list(list_capacity(h.m, 0));
  for (Slot s = 0; s < n; ++s) {
    const size_t level = nodes.level(s);
    if (level > h.max_level) {
      return refuse_to_write("node " + str(s) + " has level " + str(level) + " above the max level " + str(h.max_level));
    }
    if (s == h.entry_point && level != h.max_level) {
      return refuse_to_write("entry point " + str(s) + " has level " + str(level) + ", not the max level " +
                             str(h.max_level));
    }
    out.append_u32(static_cast<uint32_t>(level + 1));
    for (size_t layer = 0; layer <= level; ++layer) {
      const size_t k = nodes.copy_list(s, layer, list.data());
      if (k > list_capacity(h.m, layer)) {
        return refuse_to_write("node " + str(s) + " layer " + str(layer) + " holds " + str(k) + " neighbours");
      }
      for (size_t i = 0; i < k; ++i) {
        if (list[i] >= n) return refuse_to_write(slot_problem("neighbour", list[i], n));
      }
      out.append_u32(static_cast<uint32_t>(k));
      out.append_u32s(list.data(), k);
    }
    if (!out.ok()) return out.status();
  }

  out.append_u32(kMetadataMagic);
  if (records.size() > std::numeric_limits<uint32_t>::max()) return refuse_to_write("too many records");
  for (const RecordView& r : records) {
    if (r.slot >= n) return refuse_to_write(slot_problem("record slot", r.slot, n));
    if (slot_state[r.slot] == 1) {
      return refuse_to_write("record '" + std::string(r.id) + "' names deleted slot " + str(r.slot));
    }
    if (slot_state[r.slot] == 2) return refuse_to_write("two records name slot " + str(r.slot));
    slot_state[r.slot] = 2;
    if (r.id.size() > std::numeric_limits<uint32_t>::max()) return refuse_to_write("id longer than 4 GiB");
  }
  out.append_u32(static_cast<uint32_t>(records.size()));
  return out.status();
}

// The records, already checked by write_graph_head; only their text can
// still be refused.
template <class Out>
Status write_graph_records(Out& out, std::span<const RecordView> records) {
  std::string text;
  for (const RecordView& r : records) {
    text.clear();
    if (r.metadata != nullptr) json_append_compact(*r.metadata, &text);
    if (text.size() > std::numeric_limits<uint32_t>::max()) return refuse_to_write("metadata longer than 4 GiB");
    out.append_u32(r.slot);
    out.append_u32(static_cast<uint32_t>(r.id.size()));
    out.append(r.id);
    out.append_u32(static_cast<uint32_t>(text.size()));
    out.append(text);
    if (!out.ok()) return out.status();
  }
  return out.status();
}

constexpr size_t kRenderRecordsPerPiece = size_t{1} << 14;

}  // namespace

Status write_graph(BufferedFileWriter& out, const GraphHeader& h, std::span<const Slot> deleted,
                   const GraphNodeSource& nodes, std::span<const RecordView> records) {
  KELPO_RETURN_IF_ERROR(write_graph_head(out, h, deleted, nodes, records));
  return write_graph_records(out, records);
}

Status render_graph(const GraphHeader& h, std::span<const Slot> deleted, const GraphNodeSource& nodes,
                    std::span<const RecordView> records, std::vector<std::string>* pieces) {
  pieces->clear();
  const size_t record_pieces = (records.size() + kRenderRecordsPerPiece - 1) / kRenderRecordsPerPiece;
  pieces->resize(1 + record_pieces);
  // The records' text (most of the work when they carry metadata) is made
  // in pieces beside the nodes, each piece in file order.
  std::vector<Status> failed(1 + record_pieces);
  pool_for(1 + record_pieces, [&](size_t i) {
    StringSink out((*pieces)[i]);
    if (i == 0) {
      // Room for the nodes with full lists: pages never written cost nothing.
      uint64_t words = 11 + uint64_t{deleted.size()} + 2;
      for (Slot s = 0; s < h.node_count; ++s) {
        words += 2 + list_capacity(h.m, 0) + uint64_t{nodes.level(s)} * (1 + h.m);
      }
      reserve_huge((*pieces)[0], static_cast<size_t>(words * 4));
      failed[0] = write_graph_head(out, h, deleted, nodes, records);
    } else {
      const size_t first = (i - 1) * kRenderRecordsPerPiece;
      failed[i] = write_graph_records(out, records.subspan(first, std::min(kRenderRecordsPerPiece, records.size() - first)));
    }
  });
  for (Status& st : failed) {
    if (!st.ok()) {
      pieces->clear();
      return st;
    }
  }
  return Status::OK();
}

namespace {

uint32_t load_u32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);  // the host is little-endian
  return v;
}

// The level a node with `layers` lists is stored with (capped at what the
// index can hold; a node with more is refused anyway).
uint32_t stored_level(uint32_t layers) { return layers == 0 ? 0 : std::min<uint32_t>(layers - 1, kMaxGraphLevel); }

// A run of consecutive nodes or records, parsed as one task.
struct Stretch {
  size_t offset;     // where its first item begins in the file
  uint32_t first;    // its first node or record
  uint32_t end;      // one past its last
  uint64_t block;    // nodes: the first upper block of its first node
};

constexpr uint32_t kNodesPerStretch = 1u << 15;
constexpr uint32_t kRecordsPerStretch = 1u << 14;

// What one stretch found wrong, the first thing in file order.
struct StretchProblem {
  std::optional<std::string> structural;    // ends the parse (an id that is not UTF-8)
  std::optional<std::string> inconsistent;  // refuses the file once it is read
};

// Fills nodes [st.first, st.end) of the arrays from the file. The stretch
// has been walked already, so every read lies inside the bytes.
void fill_nodes(const char* base, const Stretch& st, const GraphHeader& h, NeighborArrays& a, StretchProblem& problem) {
  auto note = [&problem](std::string what) {
    if (!problem.inconsistent) problem.inconsistent = std::move(what);
  };
  const uint32_t n = h.node_count;
  const size_t m0 = list_capacity(h.m, 0), stride0 = 1 + m0, stride_upper = 1 + size_t{h.m};
  const char* p = base + st.offset;
  uint64_t block = st.block;
  for (uint32_t s = st.first; s < st.end; ++s) {
    const uint32_t layers = load_u32(p);
    p += 4;
    if (layers == 0) {
      note("node " + str(s) + " has no layers");
    } else if (layers - 1 > h.max_level || layers - 1 > kMaxGraphLevel) {
      note("node " + str(s) + " has level " + str(layers - 1) + " above the max level " + str(h.max_level));
    }
    const uint32_t level = stored_level(layers);
    a.levels[s] = static_cast<uint8_t>(level);
    a.upper_block[s] = static_cast<uint32_t>(block);
    for (uint32_t layer = 0; layer < layers; ++layer) {
      const uint32_t k = load_u32(p);
      p += 4;
      const size_t capacity = list_capacity(h.m, layer);
      if (k > capacity) {
        note("node " + str(s) + " layer " + str(layer) + " holds " + str(k) + " neighbours, more than its capacity " +
             str(capacity));
      } else if (layer <= level) {
        uint32_t* words = layer == 0 ? &a.layer0[static_cast<size_t>(s) * stride0]
                                     : &a.upper[static_cast<size_t>(block + layer - 1) * stride_upper];
        words[0] = k;
        std::memcpy(words + 1, p, size_t{k} * 4);
        uint32_t beyond = 0;
        for (uint32_t i = 0; i < k; ++i) beyond |= static_cast<uint32_t>(words[1 + i] >= n);
        if (beyond != 0) {
          for (uint32_t i = 0; i < k; ++i) {
            if (words[1 + i] >= n) {
              note(slot_problem("neighbour", words[1 + i], n));
              break;
            }
          }
        }
      }
      p += size_t{k} * 4;
    }
    block += level;
  }
}

// Parses records [st.first, st.end) into out; the stretch has been walked.
void parse_records(const char* base, const Stretch& st, std::vector<MetaRecord>& out, StretchProblem& problem) {
  const char* p = base + st.offset;
  for (uint32_t i = st.first; i < st.end; ++i) {
    MetaRecord& rec = out[i];
    rec.slot = load_u32(p);
    const uint32_t id_len = load_u32(p + 4);
    const std::string_view id(p + 8, id_len);
    p += 8 + size_t{id_len};
    if (auto bad = utf8_error(id)) {
      problem.structural = std::move(bad);
      return;
    }
    rec.id.assign(id);
    const uint32_t meta_len = load_u32(p);
    const std::string_view meta(p + 4, meta_len);
    p += 4 + size_t{meta_len};
    if (meta_len > 0) {
      Json value;
      // Text that is not JSON (or nests too deeply) costs the record its
      // metadata, not the database.
      if (json_parse(meta, &value, nullptr)) rec.metadata = std::make_shared<const Json>(std::move(value));
    }
  }
}

template <class F>
void run_tasks(size_t count, F&& task) {
  if (count <= 1) {
    for (size_t i = 0; i < count; ++i) task(i);
    return;
  }
  pool_for(count, [&](size_t i) { task(i); });
}

}  // namespace

Result<LoadedGraph> parse_graph(std::string_view bytes) {
  // Structural failures (running out of bytes, bad magic, version, metric,
  // section magic, an id that is not UTF-8) end the parse with the format's
  // messages. A file that is well formed but inconsistent is read to the end
  // and then refused with the first inconsistency in file order.
  std::optional<std::string> inconsistent;
  auto note = [&inconsistent](std::string problem) {
    if (!inconsistent) inconsistent = std::move(problem);
  };

  Reader r(bytes);
  LoadedGraph g;
  GraphHeader& h = g.header;

  uint32_t magic, version;
  if (!r.u32(&magic)) return truncated();
  if (magic != kGraphMagic) return KelpoError::io("bad graph magic");
  if (!r.u32(&version)) return truncated();
  if (version != kGraphVersion) return KelpoError::io("unsupported graph version: " + str(version));
  uint8_t metric_byte;
  if (!r.u32(&h.dim) || !r.u8(&metric_byte)) return truncated();
  const std::optional<Metric> metric = metric_from_code(metric_byte);
  if (!metric) return KelpoError::io("unknown metric: " + str(metric_byte));
  h.metric = *metric;
  uint32_t deleted_count;
  if (!r.u32(&h.m) || !r.u32(&h.ef_construction) || !r.u32(&h.entry_point) || !r.u32(&h.max_level) ||
      !r.u32(&h.node_count) || !r.u32(&deleted_count)) {
    return truncated();
  }
  const uint32_t n = h.node_count;
  const bool header_ok = !header_problem(h).has_value();
  if (auto problem = header_problem(h)) note(*problem);

  // Deleted set.
  if (!r.u32s(deleted_count, &g.deleted)) return truncated();
  for (Slot s : g.deleted) {
    if (s >= n) {
      note(slot_problem("deleted slot", s, n));
      break;
    }
  }
  std::sort(g.deleted.begin(), g.deleted.end());
  g.deleted.erase(std::unique(g.deleted.begin(), g.deleted.end()), g.deleted.end());

  // First pass over the nodes: only their lengths, to find where each
  // stretch begins and how many upper-layer blocks the lists need. Each node
  // takes at least 8 bytes (L and layer 0's count), which bounds what n may
  // make us allocate.
  const char* base = bytes.data();
  const size_t size = bytes.size();
  size_t pos = size - r.remaining();
  if ((size - pos) / 8 < n) return truncated();
  std::vector<Stretch> node_stretches;
  uint64_t blocks = 0;
  for (uint32_t s = 0; s < n; ++s) {
    if (s % kNodesPerStretch == 0) {
      node_stretches.push_back({pos, s, s + std::min(kNodesPerStretch, n - s), blocks});
    }
    if (size - pos < 4) return truncated();
    const uint32_t layers = load_u32(base + pos);
    pos += 4;
    if ((size - pos) / 4 < layers) return truncated();
    for (uint32_t layer = 0; layer < layers; ++layer) {
      if (size - pos < 4) return truncated();
      const uint32_t k = load_u32(base + pos);
      pos += 4;
      if ((size - pos) / 4 < k) return truncated();
      pos += size_t{k} * 4;
    }
    blocks += stored_level(layers);
  }

  // Metadata section, walked the same way.
  Reader section(bytes.substr(pos));
  uint32_t section_magic, record_count;
  if (!section.u32(&section_magic)) return truncated();
  if (section_magic != kMetadataMagic) return KelpoError::io("bad metadata section magic");
  if (!section.u32(&record_count)) return truncated();
  pos += 8;
  // Each record takes at least 12 bytes (slot and the two lengths).
  if ((size - pos) / 12 < record_count) return truncated();
  std::vector<Stretch> record_stretches;
  std::optional<std::string> records_broken;  // the walk ran out of bytes here, or found a bad last id
  for (uint32_t i = 0; i < record_count; ++i) {
    if (i % kRecordsPerStretch == 0) record_stretches.push_back({pos, i, i + std::min(kRecordsPerStretch, record_count - i), 0});
    if (size - pos < 8) {
      records_broken = "truncated";
    } else {
      const uint32_t id_len = load_u32(base + pos + 4);
      if (size - pos - 8 < id_len) {
        records_broken = "truncated";
      } else {
        const size_t id_at = pos + 8;
        pos = id_at + id_len;
        if (size - pos < 4 || (size - pos - 4) < load_u32(base + pos)) {
          // The id came before the missing bytes, so it is checked first.
          records_broken = utf8_error(std::string_view(base + id_at, id_len)).value_or("truncated");
        } else {
          pos += 4 + size_t{load_u32(base + pos)};
        }
      }
    }
    if (records_broken) {
      record_stretches.back().end = i;
      break;
    }
  }
  if (records_broken) {
    // A file cut short: an earlier id that is not UTF-8 is still the first fault.
    for (const Stretch& st : record_stretches) {
      const char* p = base + st.offset;
      for (uint32_t i = st.first; i < st.end; ++i) {
        const uint32_t id_len = load_u32(p + 4);
        if (auto bad = utf8_error(std::string_view(p + 8, id_len))) return KelpoError::io(*bad);
        p += 8 + size_t{id_len};
        p += 4 + size_t{load_u32(p)};
      }
    }
    if (*records_broken == "truncated") return truncated();
    return KelpoError::io(*records_broken);
  }

  // Second pass: the stretches of nodes and records, in parallel. The lists
  // are only laid out for a header that makes sense; otherwise the file is
  // refused for it anyway.
  const bool fill = header_ok;
  if (fill) {
    const size_t layer0_words = static_cast<size_t>(n) * (1 + list_capacity(h.m, 0));
    const size_t upper_words = static_cast<size_t>(blocks) * (1 + size_t{h.m});
    reserve_huge(g.lists.layer0, layer0_words);
    reserve_huge(g.lists.upper, upper_words);
    g.lists.levels.resize(n);
    g.lists.upper_block.resize(n);
    g.lists.layer0.resize(layer0_words);
    g.lists.upper.resize(upper_words);
  }
  reserve_huge(g.records, record_count);
  g.records.resize(record_count);
  const size_t node_tasks = fill ? node_stretches.size() : 0;
  std::vector<StretchProblem> problems(node_tasks + record_stretches.size());
  run_tasks(problems.size(), [&](size_t t) {
    if (t < node_tasks) {
      fill_nodes(base, node_stretches[t], h, g.lists, problems[t]);
    } else {
      parse_records(base, record_stretches[t - node_tasks], g.records, problems[t]);
    }
  });
  for (size_t t = node_tasks; t < problems.size(); ++t) {
    if (problems[t].structural) return KelpoError::io(*problems[t].structural);
  }
  for (size_t t = 0; t < node_tasks; ++t) {
    if (problems[t].inconsistent) note(*problems[t].inconsistent);
  }
  if (fill && n > 0 && h.entry_point < n && g.lists.levels[h.entry_point] != h.max_level) {
    note("entry point " + str(h.entry_point) + " has level " + str(g.lists.levels[h.entry_point]) +
         ", not the max level " + str(h.max_level));
  }

  // The records' slots, in file order.
  std::vector<uint8_t> slot_state(n, 0);  // 1 deleted, 2 has a record
  for (Slot s : g.deleted) {
    if (s < n) slot_state[s] = 1;
  }
  for (const MetaRecord& rec : g.records) {
    if (rec.slot >= n) {
      note(slot_problem("record slot", rec.slot, n));
    } else if (slot_state[rec.slot] == 1) {
      note("record '" + rec.id + "' names deleted slot " + str(rec.slot));
    } else if (slot_state[rec.slot] == 2) {
      note("two records name slot " + str(rec.slot));
    } else {
      slot_state[rec.slot] = 2;
    }
  }
  if (inconsistent) return KelpoError::io("inconsistent graph file: " + *inconsistent);
  return g;
}

}  // namespace kelpo
