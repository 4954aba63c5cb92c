"""Read-only readers of a database directory's files, for `kelpo info` and
`kelpo check`.

These tools must work on a directory that another process is writing to, or
that is damaged, without changing a byte of it: opening a Database would
replay the log and might take the writer's lock. So they read the files
themselves. Unlike the engine's loader, which refuses a file at its first
inconsistency, the graph reader here keeps going and collects every problem
it sees, so `check` can report them all.

Formats (integers u32 little-endian, floats f32 little-endian, no padding):
  graph.kelpo  "GWSH" version=2 dim metric(u8) m ef_construction entry_point
               max_level n D; D deleted slots; n nodes (L, then L lists of
               k and k slots, layer 0 first); "ATEM" R; R records of
               slot, id (u32 length + UTF-8), metadata (u32 length + JSON)
  vectors.bin  n * dim floats, then n norms
  vectors.sq8  d, d floats min, d floats scale, n * d code bytes
  wal.kelpo    records of tag(u8) L(u32) payload CRC-32(tag + payload)
"""

from __future__ import annotations

import json
import os
import struct
import zlib
from array import array
from dataclasses import dataclass, field

GRAPH = "graph.kelpo"
VECTORS = "vectors.bin"
QUANTIZED = "vectors.sq8"
LOG = "wal.kelpo"
GRAPH_TMP = "graph.tmp"
VECTORS_TMP = "vectors.tmp"
LOG_CORRUPT = "wal.kelpo.corrupt"
KNOWN_FILES = (GRAPH, VECTORS, QUANTIZED, LOG, GRAPH_TMP, VECTORS_TMP, LOG_CORRUPT)

GRAPH_MAGIC = b"GWSH"
GRAPH_VERSION = 2
META_MAGIC = b"ATEM"
HEADER = struct.Struct("<4sIIBIIIIII")  # 37 bytes
NO_ENTRY = 0xFFFFFFFF
METRICS = ("cosine", "euclidean", "dot")
MAX_LEVEL = 255

_U32 = struct.Struct("<I")


class FormatError(Exception):
    """A file that cannot be read on: too short, or not this format."""


@dataclass
class Graph:
    """A graph file as read, with every problem found in it."""

    dim: int = 0
    metric: int = 0
    m: int = 0
    ef_construction: int = 0
    entry_point: int = NO_ENTRY
    max_level: int = 0
    node_count: int = 0
    deleted: set = field(default_factory=set)
    levels: bytearray = field(default_factory=bytearray)
    # Node s's layer-l list is links[starts[first[s] + l] : starts[first[s] + l + 1]].
    first: array = field(default_factory=lambda: array("Q"))
    starts: array = field(default_factory=lambda: array("Q", [0]))
    links: array = field(default_factory=lambda: array("I"))
    records: list = field(default_factory=list)  # (slot, id, metadata text or None)
    problems: list = field(default_factory=list)
    error: str | None = None  # why reading stopped early, if it did

    @property
    def metric_name(self) -> str:
        return METRICS[self.metric] if self.metric < len(METRICS) else f"unknown ({self.metric})"

    def neighbors(self, slot: int, layer: int) -> array:
        i = self.first[slot] + layer
        return self.links[self.starts[i] : self.starts[i + 1]]

    def list_count(self) -> int:
        return len(self.starts) - 1


class _Cursor:
    def __init__(self, data: bytes):
        self.data = memoryview(data)
        self.pos = 0

    def remaining(self) -> int:
        return len(self.data) - self.pos

    def take(self, n: int) -> memoryview:
        if n > self.remaining():
            raise FormatError(f"file ends at byte {len(self.data)} inside a field at byte {self.pos} (truncated)")
        out = self.data[self.pos : self.pos + n]
        self.pos += n
        return out

    def u32(self) -> int:
        return _U32.unpack(self.take(4))[0]


def read_graph(data: bytes, on_nodes=None) -> Graph:
    """Parses a graph file, collecting every inconsistency in `problems`.

    A structural failure (bad magic, truncation) stops the reading; it is set
    as `error`, and what was read before it is kept. on_nodes(done, total),
    when given, is called as the nodes are read."""
    g = Graph()
    cur = _Cursor(data)
    try:
        if len(data) < 4 or bytes(data[:4]) != GRAPH_MAGIC:
            raise FormatError("not a kelpo graph file (bad magic)" if len(data) >= 4 else "file shorter than its magic")
        if len(data) >= 8 and _U32.unpack_from(data, 4)[0] != GRAPH_VERSION:
            raise FormatError(f"unsupported graph version {_U32.unpack_from(data, 4)[0]}")
        fields = HEADER.unpack(cur.take(HEADER.size))
        (_, _, g.dim, g.metric, g.m, g.ef_construction, g.entry_point, g.max_level, g.node_count, d_count) = fields
        _read_graph_body(g, cur, d_count, on_nodes)
    except FormatError as e:
        g.error = str(e)
    return g


def _read_graph_body(g: Graph, cur: _Cursor, d_count: int, on_nodes) -> None:
    n = g.node_count
    note = g.problems.append
    if g.metric >= len(METRICS):
        note(f"unknown metric code {g.metric}")
    if g.dim == 0:
        note("dimension is 0")
    if not 2 <= g.m <= 1024:
        note(f"m {g.m} is outside 2..1024")
    if n == 0 and (g.entry_point != NO_ENTRY or g.max_level != 0):
        note(f"empty graph has entry point {g.entry_point} and max level {g.max_level}")
    if n > 0 and g.entry_point >= n:
        note(f"entry point {g.entry_point} is not below the node count {n}")
    if g.max_level > MAX_LEVEL:
        note(f"max level {g.max_level} is above {MAX_LEVEL}")

    if d_count * 4 > cur.remaining():
        raise FormatError(f"deleted count {d_count} needs more bytes than the file has (truncated)")
    deleted = array("I")
    deleted.frombytes(cur.take(4 * d_count))
    out_of_range = [s for s in deleted if s >= n]
    if out_of_range:
        note(f"{len(out_of_range)} deleted slots are not below the node count {n} (first {out_of_range[0]})")
    g.deleted = {s for s in deleted if s < n}

    if n * 8 > cur.remaining():
        raise FormatError(f"node count {n} needs more bytes than the file has (truncated)")
    _read_nodes(g, cur, on_nodes)

    magic = bytes(cur.take(4))
    if magic != META_MAGIC:
        raise FormatError(f"bad metadata section magic at byte {cur.pos - 4}")
    r_count = cur.u32()
    if r_count * 12 > cur.remaining():
        raise FormatError(f"record count {r_count} needs more bytes than the file has (truncated)")
    for _ in range(r_count):
        slot = cur.u32()
        id_bytes = bytes(cur.take(cur.u32()))
        meta_len = cur.u32()
        meta = bytes(cur.take(meta_len)) if meta_len else None
        g.records.append((slot, id_bytes, meta))


def _read_nodes(g: Graph, cur: _Cursor, report) -> None:
    n, m, max_level = g.node_count, g.m, g.max_level
    levels, first, starts, links = g.levels, g.first, g.starts, g.links
    data, u32 = cur.data, _U32.unpack_from
    pos = cur.pos
    end = len(data)
    over_cap = []  # (slot, layer, k)
    out_of_range = []  # (slot, layer, neighbour)
    upper = []  # (slot, layer) lists above layer 0: checked once every level is known
    for s in range(n):
        if report is not None and s % 16384 == 0:
            report(s, n)
        if pos + 4 > end:
            cur.pos = pos
            raise FormatError(f"file ends inside node {s} of {n} (truncated)")
        (layers,) = u32(data, pos)
        pos += 4
        first.append(len(starts) - 1)
        if layers == 0 or layers - 1 > max_level:
            g.problems.append(
                f"node {s} has no layers" if layers == 0 else f"node {s} has level {layers - 1} above the max level {max_level}"
            )
        if layers * 4 > end - pos:
            cur.pos = pos
            raise FormatError(f"node {s} claims {layers} layers, more than the file holds (truncated)")
        levels.append(min(max(layers, 1) - 1, MAX_LEVEL))
        for layer in range(layers):
            if pos + 4 > end:
                cur.pos = pos
                raise FormatError(f"file ends inside node {s} (truncated)")
            (k,) = u32(data, pos)
            pos += 4
            if k * 4 > end - pos:
                cur.pos = pos
                raise FormatError(f"node {s} layer {layer} claims {k} neighbours, more than the file holds (truncated)")
            before = len(links)
            links.frombytes(data[pos : pos + 4 * k])
            pos += 4 * k
            starts.append(len(links))
            if k > (2 * m if layer == 0 else m):
                over_cap.append((s, layer, k))
            if k and max(links[before:]) >= n:
                out_of_range.append((s, layer, max(links[before:])))
            if layer > 0:
                upper.append((s, layer))
    first.append(len(starts) - 1)
    cur.pos = pos
    if report is not None:
        report(n, n)
    _report(g.problems, over_cap, lambda x: f"node {x[0]} layer {x[1]} holds {x[2]} neighbours, over its cap", "lists over their cap")
    _report(g.problems, out_of_range, lambda x: f"node {x[0]} layer {x[1]} names slot {x[2]}, not below {n}", "lists name slots out of range")
    missing = []
    for s, layer in upper:
        for t in g.neighbors(s, layer):
            if t < n and levels[t] < layer:
                missing.append((s, layer, t))
                break
    _report(g.problems, missing, lambda x: f"node {x[0]} layer {x[1]} names node {x[2]}, which has no layer {x[1]}",
            "lists name nodes without that layer")
    if n and g.entry_point < n and levels[g.entry_point] != max_level:
        g.problems.append(f"entry point {g.entry_point} has level {levels[g.entry_point]}, not the max level {max_level}")


def _report(problems: list, items: list, describe, summary: str, shown: int = 3) -> None:
    """One problem line per item for a few, then one line counting them all."""
    for x in items[:shown]:
        problems.append(describe(x))
    if len(items) > shown:
        problems.append(f"{len(items)} {summary} in all")


def reachable_share(g: Graph) -> tuple[int, int]:
    """(live nodes reachable from the entry point on layer 0, live nodes).

    Deleted nodes keep their links and searches walk through them, so the
    walk here does too."""
    n = g.node_count
    live = n - len(g.deleted)
    if n == 0 or g.entry_point >= n:
        return 0, live
    seen = bytearray(n)
    seen[g.entry_point] = 1
    stack = [g.entry_point]
    links, starts, first = g.links, g.starts, g.first
    while stack:
        s = stack.pop()
        i = first[s]
        for t in links[starts[i] : starts[i + 1]]:
            if t < n and not seen[t]:
                seen[t] = 1
                stack.append(t)
    reached = sum(seen) - sum(seen[s] for s in g.deleted)
    return reached, live


def check_records(g: Graph) -> list[str]:
    """Problems between the metadata section and the slots: ids and slots
    must map one to one, over exactly the live slots."""
    n = g.node_count
    problems = []
    owner = {}
    ids = {}
    bad_slot, on_deleted, shared, dup_ids, bad_utf8, bad_json = [], [], [], [], [], []
    for slot, id_bytes, meta in g.records:
        try:
            rid = id_bytes.decode("utf-8")
        except UnicodeDecodeError:
            bad_utf8.append(slot)
            rid = id_bytes.decode("utf-8", "replace")
        if meta is not None:
            try:
                json.loads(meta)
            except ValueError:
                bad_json.append(rid)
        if slot >= n:
            bad_slot.append((rid, slot))
        elif slot in g.deleted:
            on_deleted.append((rid, slot))
        elif slot in owner:
            shared.append((rid, slot, owner[slot]))
        else:
            owner[slot] = rid
        if rid in ids:
            dup_ids.append((rid, ids[rid], slot))
        ids[rid] = slot
    missing = [s for s in range(n) if s not in owner and s not in g.deleted]
    _report(problems, bad_slot, lambda x: f"id '{x[0]}' names slot {x[1]}, not below {n}", "ids name slots out of range")
    _report(problems, on_deleted, lambda x: f"id '{x[0]}' names deleted slot {x[1]}", "ids name deleted slots")
    _report(problems, shared, lambda x: f"ids '{x[0]}' and '{x[2]}' share slot {x[1]}", "slots named by two ids")
    _report(problems, dup_ids, lambda x: f"id '{x[0]}' appears twice (slots {x[1]} and {x[2]})", "repeated ids")
    _report(problems, bad_utf8, lambda x: f"the id of slot {x} is not UTF-8", "ids that are not UTF-8")
    _report(problems, bad_json, lambda x: f"the metadata of id '{x}' is not JSON (it would be dropped)",
            "metadata texts that are not JSON")
    _report(problems, missing, lambda x: f"live slot {x} has no id", "live slots without an id")
    return problems


# ---- vector files ------------------------------------------------------------


def vectors_size(n: int, dim: int) -> int:
    return 4 * n * (dim + 1)


@dataclass
class Quantizer:
    dim: int
    min: array
    scale: array
    codes_offset: int
    codes_length: int


def read_quantizer_header(path: str) -> Quantizer:
    with open(path, "rb") as f:
        head = f.read(4)
        if len(head) < 4:
            raise FormatError("shorter than its 4-byte dimension")
        (d,) = _U32.unpack(head)
        params = f.read(8 * d)
        if len(params) < 8 * d:
            raise FormatError(f"shorter than the {8 * d} bytes of min and scale for dimension {d}")
        lo, sc = array("f"), array("f")
        lo.frombytes(params[: 4 * d])
        sc.frombytes(params[4 * d :])
        size = os.fstat(f.fileno()).st_size
    return Quantizer(d, lo, sc, 4 + 8 * d, size - 4 - 8 * d)


# ---- the log -----------------------------------------------------------------

INSERT, DELETE, UPDATE = 1, 2, 3
KIND_NAMES = {INSERT: "insert", DELETE: "delete", UPDATE: "update"}


@dataclass
class LogEntry:
    offset: int
    kind: int
    id: str
    vector_len: int | None  # None when the entry carries no vector


@dataclass
class LogScan:
    size: int = 0
    good_end: int = 0  # bytes up to the end of the last record whose CRC matched
    entries: list = field(default_factory=list)
    skipped: list = field(default_factory=list)  # (offset, why): intact records that cannot be decoded
    tail_reason: str | None = None  # why reading stopped before the end

    @property
    def tail_bytes(self) -> int:
        return self.size - self.good_end


def scan_log(path: str) -> LogScan:
    """Reads the log as the engine's replay does: stop at a torn or damaged
    record (the length is not under the CRC, so nothing after it can be
    trusted), skip intact records that do not decode. Streams the file, so a
    large log costs one record's memory at a time."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        scan = LogScan(size=size)
        pos = 0
        while pos < size:
            head = f.read(5)
            if len(head) < 5:
                scan.tail_reason = "a record header cut short"
                break
            tag = head[0]
            (length,) = _U32.unpack_from(head, 1)
            if length > size - pos - 9:
                scan.tail_reason = f"a record claiming {length:,} payload bytes, more than remain (torn write or damage)"
                break
            payload = f.read(length)
            trailer = f.read(4)
            if len(payload) < length or len(trailer) < 4:  # the file shrank while we read it
                scan.tail_reason = "a record cut short"
                break
            if zlib.crc32(payload, zlib.crc32(head[:1])) != _U32.unpack(trailer)[0]:
                scan.tail_reason = "a record whose checksum does not match"
                break
            entry = _decode(pos, tag, payload)
            if isinstance(entry, str):
                scan.skipped.append((pos, entry))
            else:
                scan.entries.append(entry)
            pos += 9 + length
            scan.good_end = pos
    return scan


def _decode(offset: int, tag: int, p: bytes):
    """A LogEntry, or a string saying why the payload does not decode."""
    if tag not in KIND_NAMES:
        return f"unknown tag {tag}"
    try:
        cur = _Cursor(p)
        rid = bytes(cur.take(cur.u32())).decode("utf-8")
        vlen = None
        if tag == INSERT:
            vlen = cur.u32()
            cur.take(4 * vlen)
            _meta(cur)
        elif tag == UPDATE:
            if cur.take(1)[0] == 1:
                vlen = cur.u32()
                cur.take(4 * vlen)
            if cur.take(1)[0] == 1:
                _meta(cur)
    except FormatError:
        return "a field runs past the payload's end"
    except UnicodeDecodeError:
        return "an id that is not UTF-8"
    except ValueError:
        return "metadata that is not JSON"
    return LogEntry(offset, tag, rid, vlen)


def _meta(cur: _Cursor) -> None:
    n = cur.u32()
    if n:
        json.loads(bytes(cur.take(n)))


def replay_counts(live_ids: set, dim: int | None, entries: list) -> tuple[int, int]:
    """(live records, slots added) after the log's entries are applied over
    these live ids, following the engine's replay rules. Mutates live_ids."""
    added = 0
    for e in entries:
        if e.kind == INSERT:
            if dim is not None and e.vector_len != dim:
                continue
            if e.id not in live_ids:
                live_ids.add(e.id)
                added += 1
        elif e.kind == DELETE:
            live_ids.discard(e.id)
    return len(live_ids), added
