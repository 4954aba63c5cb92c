"""`kelpo load`: bulk upserts from a file of vectors.

The whole input (vectors, ids, metadata) is checked before the database is
opened or created, so bad input changes nothing. Array files are mapped or
read in chunks, never whole."""

from __future__ import annotations

import json
import os
import sys
import time

import kelpo
from kelpo import _cli_files as files
from kelpo._cli import METRIC_CHOICES, CliError, canonical_metric, is_saved, need_input_file, open_database, \
    positive_int, say
from kelpo._cli_progress import Progress

FORMATS = {".npy": "npy", ".fvecs": "fvecs", ".bvecs": "bvecs", ".hdf5": "hdf5", ".h5": "hdf5",
           ".jsonl": "jsonl", ".ndjson": "jsonl"}


def add_arguments(c) -> None:
    c.add_argument("file", metavar="FILE", help="vectors: .npy, .fvecs, .bvecs, .hdf5/.h5 or .jsonl")
    c.add_argument("--format", choices=sorted(set(FORMATS.values())), help="the file's format (default: by extension)")
    c.add_argument("--dataset", default="train", help="the HDF5 dataset to read (default: train)")
    c.add_argument("--ids", default="rows", metavar="rows|FILE|column:NAME",
                   help="ids: row numbers (default; the 'id' field of a JSON Lines file when it has one), "
                        "a text file with one id per line, or a field of each JSON Lines record")
    c.add_argument("--id-prefix", default="", help="put before row-number ids")
    c.add_argument("--metadata", metavar="FILE.jsonl", help="one JSON object (or null) per line, row by row")
    c.add_argument("--dim", type=positive_int, help="dimension of a new database (default: the file's)")
    c.add_argument("--metric", choices=METRIC_CHOICES, help="metric of a new database (default: cosine)")
    c.add_argument("--m", type=positive_int, help="graph degree of a new database (default 16)")
    c.add_argument("--ef-construction", type=positive_int, help="build beam of a new database (default 200)")
    c.add_argument("--quantize", action="store_true", help="keep 8-bit codes of a new database at every save")
    c.add_argument("--batch", type=positive_int, default=10000, help="vectors per upsert_many call (default 10000)")
    c.add_argument("--limit", type=positive_int, help="load only the first N rows")


def _numpy(fmt: str):
    try:
        import numpy as np
    except ImportError:
        raise CliError(f"reading {fmt} files needs numpy (Debian: python3-numpy)") from None
    return np


class ArraySource:
    """Rows of a 2-D numeric array (memory-mapped or read lazily)."""

    def __init__(self, array, dim: int, to_float):
        self.array, self.dim, self.to_float = array, dim, to_float
        self.rows = len(array)

    def chunks(self, size: int):
        for a in range(0, self.rows, size):
            b = min(a + size, self.rows)
            yield a, self.to_float(self.array[a:b]), None, None


def open_npy(path: str) -> ArraySource:
    np = _numpy(".npy")
    try:
        a = np.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError as e:
        raise CliError(f"'{path}' is not a readable .npy array: {e}") from None
    if a.ndim != 2:
        raise CliError(f"'{path}' holds an array of shape {a.shape}; load needs rows of vectors (2 dimensions)")
    if a.dtype.kind not in "fiu":
        raise CliError(f"'{path}' holds {a.dtype} values, not numbers")
    return ArraySource(a, a.shape[1], lambda x: np.ascontiguousarray(x, dtype=np.float32))


def open_vecs(path: str, fmt: str) -> ArraySource:
    """.fvecs rows are an int32 dimension then that many float32; .bvecs rows
    an int32 dimension then that many bytes."""
    np = _numpy("." + fmt)
    size = os.path.getsize(path)
    if size < 4:
        raise CliError(f"'{path}' is too short to be a .{fmt} file")
    with open(path, "rb") as f:
        (d,) = files._U32.unpack(f.read(4))
    width = 4 if fmt == "fvecs" else 1
    row = 4 + width * d
    if d == 0 or d > 1 << 20 or size % row:
        raise CliError(f"'{path}' is not a .{fmt} file (first row's dimension {d} does not divide its {size:,} bytes)")
    raw = np.memmap(path, dtype=np.uint8, mode="r").reshape(-1, row)
    heads = raw[:, :4].copy().view("<i4").ravel()
    if (heads != d).any():
        bad = int(np.flatnonzero(heads != d)[0])
        raise CliError(f"'{path}': row {bad} has dimension {int(heads[bad])}, not {d} like the first")
    body = raw[:, 4:]
    if fmt == "fvecs":
        return ArraySource(body, d, lambda x: np.ascontiguousarray(x).view("<f4"))
    return ArraySource(body, d, lambda x: np.asarray(x, dtype=np.float32))


def open_hdf5(path: str, dataset: str) -> ArraySource:
    np = _numpy("HDF5")
    try:
        import h5py
    except ImportError:
        raise CliError("reading HDF5 files needs h5py (Debian: python3-h5py)") from None
    try:
        f = h5py.File(path, "r")
    except OSError as e:
        raise CliError(f"'{path}' is not a readable HDF5 file: {e}") from None
    if dataset not in f:
        raise CliError(f"'{path}' has no dataset '{dataset}' (it has: {', '.join(sorted(f.keys())) or 'none'})")
    ds = f[dataset]
    if len(ds.shape) != 2 or ds.dtype.kind not in "fiu":
        raise CliError(f"dataset '{dataset}' of '{path}' is {ds.dtype} of shape {ds.shape}, not rows of vectors")
    source = ArraySource(ds, ds.shape[1], lambda x: np.ascontiguousarray(x, dtype=np.float32))
    source.keep_open = f
    return source


class JsonLinesSource:
    """{"id": ..., "vector": [...], "metadata": {...}} per line; checked
    whole when opened, read again while loading."""

    def __init__(self, path: str, id_field: str | None):
        self.path, self.id_field = path, id_field
        self.rows, self.dim = 0, None
        self.has_ids = True
        for number, record in self._records():
            vector = record.get("vector")
            if not isinstance(vector, list) or not all(isinstance(x, (int, float)) and not isinstance(x, bool)
                                                       for x in vector):
                raise CliError(f"'{path}' line {number}: 'vector' must be a list of numbers")
            if self.dim is None:
                self.dim = len(vector)
            elif len(vector) != self.dim:
                raise CliError(f"'{path}' line {number}: a vector of {len(vector)} values, not {self.dim} like the first")
            key = id_field or "id"
            if key in record and not isinstance(record[key], (str, int)):
                raise CliError(f"'{path}' line {number}: field '{key}' is not a string or a number")
            if key not in record:
                if id_field:
                    raise CliError(f"'{path}' line {number}: no field '{id_field}' for the id")
                self.has_ids = False
            meta = record.get("metadata")
            if meta is not None and not isinstance(meta, dict):
                raise CliError(f"'{path}' line {number}: 'metadata' must be an object or null")
            self.rows += 1
        if self.dim is None:
            raise CliError(f"'{path}' holds no records")
        if self.dim == 0:
            raise CliError(f"'{path}': the vectors are empty")

    def _records(self):
        with open(self.path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                if not line.strip():
                    continue
                try:
                    record = json.loads(line)
                except ValueError as e:
                    raise CliError(f"'{self.path}' line {number}: not JSON ({e})") from None
                if not isinstance(record, dict):
                    raise CliError(f"'{self.path}' line {number}: not a JSON object")
                yield number, record

    def ids(self) -> list[str] | None:
        if not self.has_ids:
            return None
        key = self.id_field or "id"
        return [str(r[key]) for _, r in self._records()]

    def chunks(self, size: int):
        batch, metas, start = [], [], 0
        for _, record in self._records():
            batch.append(record["vector"])
            metas.append(record.get("metadata"))
            if len(batch) == size:
                yield start, batch, None, metas
                start += len(batch)
                batch, metas = [], []
        if batch:
            yield start, batch, None, metas


def open_source(args):
    path = need_input_file(args.file)
    fmt = args.format or FORMATS.get(os.path.splitext(path)[1].lower())
    if fmt is None:
        raise CliError(f"cannot tell the format of '{path}' from its name; give --format "
                       f"({', '.join(sorted(set(FORMATS.values())))})")
    column = args.ids[len("column:"):] if args.ids.startswith("column:") else None
    if fmt == "jsonl":
        return JsonLinesSource(path, column)
    if fmt == "npy":
        return open_npy(path)
    if fmt == "hdf5":
        return open_hdf5(path, args.dataset)
    return open_vecs(path, fmt)


def _read_lines_of_json(path: str, rows: int) -> list:
    need_input_file(path)
    out = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                value = json.loads(line)
            except ValueError as e:
                raise CliError(f"'{path}' line {number}: not JSON ({e})") from None
            if value is not None and not isinstance(value, dict):
                raise CliError(f"'{path}' line {number}: metadata must be an object or null")
            out.append(value)
    if len(out) < rows:
        raise CliError(f"'{path}' has {len(out):,} metadata lines for {rows:,} rows")
    return out[:rows]


def gather_ids(args, source, rows: int, metadata: list | None) -> list[str]:
    ids_from = args.ids
    if ids_from.startswith("column:"):
        name = ids_from[len("column:"):]
        if isinstance(source, JsonLinesSource):
            ids = source.ids()
        elif metadata is not None:
            missing = [i for i, m in enumerate(metadata) if not m or name not in m]
            if missing:
                raise CliError(f"metadata line {missing[0] + 1} has no field '{name}' for the id")
            ids = [str(m[name]) for m in metadata]
        else:
            raise CliError(f"--ids {ids_from} needs a JSON Lines input or --metadata")
    elif ids_from == "rows":
        ids = source.ids() if isinstance(source, JsonLinesSource) else None
        if ids is None:
            ids = [f"{args.id_prefix}{i}" for i in range(rows)]
    else:
        need_input_file(ids_from)
        with open(ids_from, encoding="utf-8") as f:
            ids = [line.rstrip("\r\n") for line in f]
        if ids and ids[-1] == "":
            ids.pop()
        if len(ids) < rows:
            raise CliError(f"'{ids_from}' has {len(ids):,} ids for {rows:,} rows")
    ids = ids[:rows]
    if len(set(ids)) != len(ids):
        seen = set()
        dup = next(i for i in ids if i in seen or seen.add(i))
        raise CliError(f"id '{dup}' appears more than once in the input")
    return ids


def cmd_load(args) -> int:
    if os.path.exists(args.dir) and not os.path.isdir(args.dir):
        raise CliError(f"not a directory: '{args.dir}'")
    source = open_source(args)
    rows = min(source.rows, args.limit or source.rows)
    if args.dim is not None and args.dim != source.dim:
        raise CliError(f"'{args.file}' holds vectors of dimension {source.dim}, not --dim {args.dim}")
    metadata = _read_lines_of_json(args.metadata, rows) if args.metadata else None
    ids = gather_ids(args, source, rows, metadata)
    metric = canonical_metric(args.metric)

    if is_saved(args.dir):
        db = open_database(args.dir)
        if db.dim != source.dim:
            raise CliError(f"'{args.file}' holds vectors of dimension {source.dim}; the database's is {db.dim}")
        if metric is not None and metric != canonical_metric(db.metric):
            raise CliError(f"--metric {args.metric}: the database's metric is {db.metric}")
    else:
        try:
            db = kelpo.Database(args.dir, dim=source.dim, metric=metric or "cosine", m=args.m,
                                ef_construction=args.ef_construction, quantize=args.quantize)
        except ValueError as e:
            raise CliError(f"cannot create a database in '{args.dir}': {e}") from None
    before = len(db)
    t0 = time.monotonic()
    done = 0
    try:
        with Progress(rows, "loading", "vectors") as bar:
            for start, vectors, _, metas in source.chunks(args.batch):
                if start >= rows:
                    break
                end = min(start + len(vectors), rows)
                vectors = vectors[: end - start]
                if metadata is not None:
                    metas = metadata[start:end]
                elif metas is not None:
                    metas = metas[: end - start]
                db.upsert_many(ids[start:end], vectors, metas)
                done = end
                bar.update(end - start)
    except KeyboardInterrupt:
        print(f"\nkelpo: interrupted after {done:,} of {rows:,} vectors; those are in the log and the next open "
              "replays them (kelpo save DIR saves them)", file=sys.stderr)
        return 130
    seconds = time.monotonic() - t0
    say(f"loaded {rows:,} vectors from '{args.file}' in {seconds:.1f} s ({rows / max(seconds, 1e-9):,.0f} vectors/s); "
        f"'{args.dir}' holds {len(db):,} records ({len(db) - before:+,})")
    t0 = time.monotonic()
    db.save()
    say(f"saved in {time.monotonic() - t0:.1f} s")
    return 0
