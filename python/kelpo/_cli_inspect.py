"""`kelpo info` and `kelpo check`: read a database directory's files
directly, without opening the database, so they never write, never replay
the log into a save and never take the writer's lock."""

from __future__ import annotations

import json
import math
import os
import random
from array import array

from kelpo import _cli_files as files
from kelpo._cli import CliError, human_bytes, need_directory, say
from kelpo._cli_progress import Progress

try:
    import numpy as np
except ImportError:  # check then samples instead of reading every vector
    np = None

SAMPLE_ROWS = 2000  # vectors spot-checked without numpy
ROW_CHUNK = 4096


def _path(d: str, name: str) -> str:
    return os.path.join(d, name)


def _size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _effective_graph(d: str):
    """(file name, Graph) of the graph the next open would load: graph.tmp
    when a save stopped between its two renames (graph.tmp complete, no
    vectors.tmp left, and it fits vectors.bin), else graph.kelpo. None when
    the directory holds no saved database."""
    vsize = _size(_path(d, files.VECTORS))
    if vsize is None:
        return None
    tmp = _path(d, files.GRAPH_TMP)
    if os.path.isfile(tmp) and not os.path.exists(_path(d, files.VECTORS_TMP)):
        g = files.read_graph(_read(tmp))
        if g.error is None and not g.problems and vsize == files.vectors_size(g.node_count, g.dim):
            return files.GRAPH_TMP, g
    if not os.path.isfile(_path(d, files.GRAPH)):
        return None
    bar = []

    def on_nodes(done: int, total: int) -> None:
        if not bar:
            bar.append(Progress(total, "reading graph", "nodes"))
        bar[0].update(done - bar[0].done)

    try:
        return files.GRAPH, files.read_graph(_read(_path(d, files.GRAPH)), on_nodes)
    finally:
        if bar:
            bar[0].close()


def _directory_files(d: str) -> list[tuple[str, int]]:
    out = []
    for name in sorted(os.listdir(d)):
        size = _size(_path(d, name))
        if size is not None and os.path.isfile(_path(d, name)):
            out.append((name, size))
    return out


def _first_insert_dim(scan) -> int | None:
    for e in scan.entries:
        if e.kind == files.INSERT:
            return e.vector_len
    return None


# ---- info --------------------------------------------------------------------


def gather_info(d: str) -> dict:
    need_directory(d)
    info: dict = {"directory": d}
    found = _effective_graph(d)
    log_path = _path(d, files.LOG)
    scan = files.scan_log(log_path) if os.path.isfile(log_path) else None
    live_ids: set = set()
    dim = None
    if found is None:
        if scan is None:
            raise CliError(f"no kelpo database in '{d}' (no {files.GRAPH}, {files.VECTORS} or {files.LOG})")
        info["saved"] = False
        dim = _first_insert_dim(scan)
        info["dim"] = dim
    else:
        name, g = found
        info["saved"] = True
        info["graph_file"] = name
        damage = ([g.error] if g.error else []) + g.problems
        vsize = _size(_path(d, files.VECTORS))
        if g.error is None and vsize != files.vectors_size(g.node_count, g.dim):
            damage.append(f"{files.VECTORS} has {vsize:,} bytes, not the {files.vectors_size(g.node_count, g.dim):,} "
                          "its graph needs")
        if damage:
            info["damaged"] = [f"{name}: {p}" if not p.startswith(files.VECTORS) else p for p in damage]
        dim = g.dim
        quantized = os.path.isfile(_path(d, files.QUANTIZED))
        records = len(g.records)
        info.update(
            dim=g.dim, metric=g.metric_name, m=g.m, ef_construction=g.ef_construction,
            live=g.node_count - len(g.deleted), deleted=len(g.deleted), total_slots=g.node_count,
            layers=g.max_level + 1 if g.node_count else 0, entry_point=None if g.node_count == 0 else g.entry_point,
            ids=records, quantization="sq8 (vectors.sq8; quantized search on when opened)" if quantized else "none",
        )
        links = len(g.links)
        upper_lists = g.list_count() - g.node_count
        meta_bytes = sum(len(r[1]) + (len(r[2]) if r[2] else 0) for r in g.records)
        n = g.node_count
        # What an open would hold: the vectors are mapped (paged in by
        # searches), the rest is in memory. Every list has room for its
        # layer's capacity (2m on layer 0, m above) plus its length.
        memory = {
            "vectors_mapped": 4 * n * g.dim,
            "norms": 4 * n,
            "graph": 4 * n * (2 * g.m + 1) + 4 * upper_lists * (g.m + 1),
            "quantized": n * g.dim if quantized else 0,
            "ids_and_metadata": meta_bytes + 96 * records,
        }
        memory["total"] = sum(memory.values())
        info["memory_estimate"] = memory
        info["links"] = links
        live_ids = {r[1].decode("utf-8", "replace") for r in g.records}
    info["files"] = {name: size for name, size in _directory_files(d)}
    if scan is not None:
        kinds = {k: 0 for k in files.KIND_NAMES.values()}
        for e in scan.entries:
            kinds[files.KIND_NAMES[e.kind]] += 1
        log = {"records": len(scan.entries), "bytes": scan.size, **kinds}
        if scan.skipped:
            log["undecodable"] = len(scan.skipped)
        if scan.tail_bytes:
            log["damaged_tail"] = {"offset": scan.good_end, "bytes": scan.tail_bytes}
        live_after, added = files.replay_counts(live_ids, dim, scan.entries)
        log["after_replay"] = {"live": live_after, "total_slots": info.get("total_slots", 0) + added}
        info["log"] = log
    else:
        info["log"] = {"records": 0, "bytes": 0,
                       "after_replay": {"live": info.get("live", 0), "total_slots": info.get("total_slots", 0)}}
    return info


def cmd_info(args) -> int:
    info = gather_info(args.dir)
    if args.json:
        say(json.dumps(info, indent=2))
        return 1 if "damaged" in info else 0
    rows = [("directory", info["directory"] + ("" if info["saved"] else " (never saved: only a log)"))]
    if info["saved"]:
        rows += [
            ("dimension", f"{info['dim']}"),
            ("metric", info["metric"]),
            ("graph", f"m {info['m']}, ef_construction {info['ef_construction']}, {info['layers']} layers, "
                      f"{info['links']:,} links"),
            ("records", f"{info['live']:,} live, {info['deleted']:,} deleted, {info['total_slots']:,} slots"),
            ("quantization", info["quantization"]),
        ]
    else:
        rows.append(("dimension", f"{info['dim']} (from the log's first insert)" if info["dim"] else "unknown"))
    log = info["log"]
    if log["records"] or log["bytes"]:
        text = (f"{log['records']:,} records waiting to be replayed ({log['insert']:,} inserts, "
                f"{log['update']:,} updates, {log['delete']:,} deletes; {human_bytes(log['bytes'])})")
        after = log["after_replay"]
        text += f"; after replay: {after['live']:,} live, {after['total_slots']:,} slots"
        if "damaged_tail" in log:
            t = log["damaged_tail"]
            text += f"; damaged tail at byte {t['offset']:,} ({t['bytes']:,} bytes ignored)"
        rows.append(("log", text))
    else:
        rows.append(("log", "empty (everything is saved)"))
    rows.append(("files", ", ".join(f"{n} {human_bytes(s)}" for n, s in info["files"].items()) or "none"))
    if "memory_estimate" in info:
        mem = info["memory_estimate"]
        rows.append(("memory", f"about {human_bytes(mem['total'])} when opened: vectors "
                               f"{human_bytes(mem['vectors_mapped'])} (mapped), graph {human_bytes(mem['graph'])}, "
                               f"quantized {human_bytes(mem['quantized'])}, ids and metadata "
                               f"{human_bytes(mem['ids_and_metadata'])}"))
    for problem in info.get("damaged", []):
        rows.append(("DAMAGED", f"{problem} (kelpo check lists every problem)"))
    width = max(len(k) for k, _ in rows)
    for k, v in rows:
        say(f"{k:<{width}}  {v}")
    return 1 if "damaged" in info else 0


# ---- check -------------------------------------------------------------------


class Report:
    """Prints findings as they come and counts the problems."""

    def __init__(self):
        self.problems = 0

    def section(self, title: str) -> None:
        say(title)

    def ok(self, text: str) -> None:
        say(f"  ok       {text}")

    def note(self, text: str) -> None:
        say(f"  note     {text}")

    def warn(self, text: str) -> None:
        say(f"  warning  {text}")

    def problem(self, text: str) -> None:
        self.problems += 1
        say(f"  PROBLEM  {text}")

    def problems_of(self, items: list[str], fine: str) -> None:
        for p in items:
            self.problem(p)
        if not items:
            self.ok(fine)


def cmd_check(args) -> int:
    d = need_directory(args.dir)
    present = dict(_directory_files(d))
    has_graph, has_vectors = files.GRAPH in present, files.VECTORS in present
    if not (has_graph or has_vectors or files.LOG in present):
        raise CliError(f"no kelpo database in '{d}' (no {files.GRAPH}, {files.VECTORS} or {files.LOG})")
    report = Report()
    say(f"checking '{d}'")
    report.section("files")
    report.ok(", ".join(f"{name} {human_bytes(size)}" for name, size in present.items() if name in files.KNOWN_FILES))
    for name, size in present.items():
        if name not in files.KNOWN_FILES:
            report.note(f"{name} ({human_bytes(size)}) is not a database file; left alone")
    if files.LOG_CORRUPT in present:
        report.note(f"{files.LOG_CORRUPT} keeps bytes cut from a damaged log tail earlier; not read by opening")
    if has_graph != has_vectors:
        missing, there = (files.VECTORS, files.GRAPH) if has_graph else (files.GRAPH, files.VECTORS)
        if not (missing == files.GRAPH and files.GRAPH_TMP in present):
            report.problem(f"{there} without {missing}: an open would ignore the saved state and start empty")

    dim = None
    found = _effective_graph(d) if has_vectors else None
    for tmp in (files.GRAPH_TMP, files.VECTORS_TMP):
        if tmp in present and not (found and found[0] == tmp):
            report.note(f"{tmp} is left from a save that stopped early; the next save removes it")
    if found is not None:
        dim = _check_saved(d, found, report)
    if files.LOG in present:
        _check_log(d, dim, report)
    say("")
    if report.problems:
        say(f"{report.problems} problem{'s' if report.problems != 1 else ''} found in '{d}'")
        return 1
    say(f"no problems found in '{d}'")
    return 0


def _check_saved(d: str, found, report: Report) -> int | None:
    name, g = found
    n = g.node_count
    report.section(f"{name} (graph)")
    if name == files.GRAPH_TMP:
        report.note("a save stopped between its renames: the next open loads graph.tmp, not graph.kelpo")
    if g.error:
        report.problem(f"{g.error} (an open fails)")
    header_read = g.dim != 0 or g.error is None
    if header_read:
        report.note(f"dimension {g.dim}, {g.metric_name}, m {g.m}, ef_construction {g.ef_construction}; "
                    f"{n:,} slots, {len(g.deleted):,} deleted, {g.max_level + 1 if n else 0} layers")
    report.problems_of(g.problems, "list caps, slot ranges, layers and the entry point")
    if g.error is None:
        reached, live = files.reachable_share(g)
        if live:
            share = f"{reached / live:.2%} of the live nodes ({reached:,} of {live:,}) reachable from the entry point on layer 0"
            (report.ok if reached == live else report.warn)(share)
        report.section("ids and slots")
        report.problems_of(files.check_records(g), f"{len(g.records):,} ids name the {n - len(g.deleted):,} live slots")
    if not header_read:
        return None
    _check_vector_files(d, g, report)
    return g.dim


def _check_vector_files(d: str, g, report: Report) -> None:
    n, dim = g.node_count, g.dim
    report.section(f"{files.VECTORS} (vectors)")
    size = _size(_path(d, files.VECTORS))
    want = files.vectors_size(n, dim)
    if size != want:
        report.problem(f"{size:,} bytes where {n:,} slots of dimension {dim} need {want:,} (an open fails)")
        return
    report.ok(f"{size:,} bytes: {n:,} vectors and their norms")
    quantizer = None
    qpath = _path(d, files.QUANTIZED)
    if os.path.isfile(qpath):
        report.section(f"{files.QUANTIZED} (quantized codes)")
        try:
            quantizer = files.read_quantizer_header(qpath)
        except files.FormatError as e:
            report.problem(f"{e} (an open fails)")
        else:
            quantizer = _check_quantizer_header(quantizer, n, dim, report)
    if n:
        _check_vector_contents(d, g, quantizer, report)


def _check_quantizer_header(q, n: int, dim: int, report: Report):
    """The quantizer if its codes can be compared with the vectors, else None."""
    if q.dim != dim:
        report.problem(f"quantizer dimension {q.dim}, not the graph's {dim} (an open fails)")
        return None
    bad = sum(1 for v in q.scale if not (math.isfinite(v) and v > 0)) + sum(1 for v in q.min if not math.isfinite(v))
    if bad:
        report.problem(f"{bad} quantizer parameters are not finite or not positive")
    if q.codes_length < n * dim:
        report.problem(f"{q.codes_length:,} code bytes where {n:,} slots need {n * dim:,} (an open fails)")
        return None
    if q.codes_length > n * dim:
        report.warn(f"{q.codes_length - n * dim:,} code bytes beyond the last slot (ignored by an open)")
    report.ok(f"dimension {dim}, {n * dim:,} code bytes")
    return q


def _check_vector_contents(d: str, g, q, report: Report) -> None:
    n, dim = g.node_count, g.dim
    if np is not None:
        rows = range(n)
        finite, norms, codes = _scan_numpy(d, n, dim, q)
    else:
        rows = sorted(random.Random(0).sample(range(n), min(n, SAMPLE_ROWS)))
        finite, norms, codes = _scan_sample(d, rows, dim, q)
        report.note(f"numpy is not installed: {len(rows):,} of {n:,} vectors spot-checked")
    checked = f"{len(rows):,} vectors" if np is None else "every vector"
    report.section("vector contents")
    if finite:
        report.warn(f"{len(finite):,} vectors hold NaN or infinity (slot {finite[0]} first)")
    if norms:
        report.problem(f"{len(norms):,} stored norms differ from their vectors' lengths (slot {norms[0]} first)")
    else:
        report.ok(f"the stored norms match {checked}")
    if q is not None:
        if codes:
            report.problem(f"{len(codes):,} slots' quantized codes do not encode their vectors (slot {codes[0]} first)")
        else:
            report.ok(f"the quantized codes encode {checked}")


def _expected_codes(v, lo, scale):
    x = (v - lo) / scale
    return np.where(x > 0, np.minimum(np.floor(x + np.float32(0.5)), 255), 0)


def _scan_numpy(d: str, n: int, dim: int, q):
    data = np.memmap(_path(d, files.VECTORS), dtype="<f4", mode="r", shape=(n * (dim + 1),))
    vectors = data[: n * dim].reshape(n, dim)
    stored = data[n * dim :]
    codes = None
    if q is not None:
        codes = np.memmap(_path(d, files.QUANTIZED), dtype=np.uint8, mode="r", offset=q.codes_offset,
                          shape=(n * dim,)).reshape(n, dim)
        lo = np.frombuffer(q.min, dtype=np.float32)
        scale = np.frombuffer(q.scale, dtype=np.float32)
    bad_finite, bad_norm, bad_codes = [], [], []
    with Progress(n, "checking vectors", "vectors") as bar, np.errstate(all="ignore"):
        for a in range(0, n, ROW_CHUNK):
            b = min(n, a + ROW_CHUNK)
            v = np.asarray(vectors[a:b])
            fin = np.isfinite(v).all(axis=1)
            bad_finite.extend((a + np.flatnonzero(~fin)).tolist())
            length = np.sqrt(np.einsum("ij,ij->i", v, v, dtype=np.float64))
            off = fin & ~np.isclose(stored[a:b], length, rtol=1e-3, atol=1e-6)
            bad_norm.extend((a + np.flatnonzero(off)).tolist())
            if codes is not None:
                diff = np.abs(_expected_codes(v, lo, scale) - codes[a:b].astype(np.float32))
                bad_codes.extend((a + np.flatnonzero(fin & (diff > 1).any(axis=1))).tolist())
            bar.update(b - a)
    return bad_finite, bad_norm, bad_codes


def _scan_sample(d: str, rows: list[int], dim: int, q):
    bad_finite, bad_norm, bad_codes = [], [], []
    n_floats = 4 * dim
    with open(_path(d, files.VECTORS), "rb") as f:
        f.seek(0, 2)
        norms_at = f.tell() // (dim + 1) * dim
        qf = open(_path(d, files.QUANTIZED), "rb") if q is not None else None
        try:
            for s in rows:
                f.seek(s * n_floats)
                v = array("f")
                v.frombytes(f.read(n_floats))
                f.seek(norms_at + 4 * s)
                stored = array("f", f.read(4))[0]
                if not all(math.isfinite(x) for x in v):
                    bad_finite.append(s)
                    continue
                if not math.isclose(stored, math.sqrt(math.fsum(x * x for x in v)), rel_tol=1e-3, abs_tol=1e-6):
                    bad_norm.append(s)
                if qf is not None:
                    qf.seek(q.codes_offset + s * dim)
                    got = qf.read(dim)
                    for j, x in enumerate(v):
                        t = (x - q.min[j]) / q.scale[j] if q.scale[j] else 0.0
                        want = 0 if not t > 0 else min(math.floor(t + 0.5), 255)
                        if abs(want - got[j]) > 1:
                            bad_codes.append(s)
                            break
        finally:
            if qf is not None:
                qf.close()
    return bad_finite, bad_norm, bad_codes


def _check_log(d: str, dim: int | None, report: Report) -> None:
    report.section(f"{files.LOG} (log)")
    scan = files.scan_log(_path(d, files.LOG))
    if dim is None:
        dim = _first_insert_dim(scan)
    for offset, why in scan.skipped[:3]:
        report.problem(f"record at byte {offset:,} is intact but cannot be decoded ({why}); replay skips it")
    if len(scan.skipped) > 3:
        report.problem(f"{len(scan.skipped)} undecodable records in all")
    if scan.tail_bytes:
        report.problem(f"damaged tail at byte {scan.good_end:,}: {scan.tail_bytes:,} bytes ignored "
                       f"({scan.tail_reason}); the records in them are lost")
    other = sum(1 for e in scan.entries if e.vector_len is not None and dim is not None and e.vector_len != dim)
    if other:
        report.warn(f"{other:,} records carry vectors of another length than {dim}; replay ignores those vectors")
    if not scan.skipped and not scan.tail_bytes:
        report.ok(f"{len(scan.entries):,} records, {scan.size:,} bytes, read to the end")
