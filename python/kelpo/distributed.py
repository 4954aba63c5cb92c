"""Sharded kelpo databases on a Dask cluster.

A ShardedDatabase splits one collection over N ordinary kelpo databases
("shards"), each owned by one Dask actor pinned to a worker:

    from distributed import Client
    from kelpo.distributed import ShardedDatabase

    client = Client("tcp://scheduler:8786")
    db = ShardedDatabase(client, "/shared/vectors", dim=128, metric="l2", shards=4)
    db.add_many(ids, vectors, metadatas)          # split per shard, sent in parallel
    hits = db.search(query, k=10)                 # every shard's k best, merged

Ids go to shards by a stable hash of their UTF-8 bytes, so any process, on
any Python version, finds a record on the same shard. `path` holds a small
manifest (kelpo-sharded.json) with the shard count and the parameters, and
one database directory per shard (shard-0000, ...). The shard directories
live either on storage every worker can reach, or on each worker's own disk,
in which case the sharded database must be reopened with the same `workers`
placement; every shard directory carries a stamp naming its database and its
number, so a shard opened on the wrong worker is refused instead of being
recreated empty.

Each shard logs its writes before it acknowledges them, so a worker that dies
loses nothing that was acknowledged. Calls that need a lost shard raise
ShardUnavailableError naming it; reopening the sharded database (on a new
cluster, or once the worker is back) recovers every shard from its directory.

This module needs Dask's distributed scheduler; `import kelpo` does not.
"""

from __future__ import annotations

import asyncio
import fcntl
import functools
import hashlib
import json
import os
import time
import uuid
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, NamedTuple

try:
    import distributed
    import numpy as np
except ImportError as exc:  # pragma: no cover - exercised only without dask
    raise ImportError(
        "kelpo.distributed needs Dask's distributed scheduler and numpy "
        "(Debian: python3-distributed, python3-numpy)"
    ) from exc

import kelpo
from distributed.protocol import to_serialize

__all__ = ["SearchResult", "ShardUnavailableError", "ShardedDatabase", "shard_of"]

MANIFEST = "kelpo-sharded.json"
STAMP = "kelpo-shard.json"
LOCK = "kelpo-shard.lock"
FORMAT = 1
# Recorded in the manifest: a later version that routes differently must be
# able to tell the databases it cannot read.
ROUTING = "blake2b-64-le-mod"

_METRICS = {"cosine": "cosine", "euclidean": "euclidean", "l2": "euclidean", "dot": "dot_product",
            "dot_product": "dot_product"}
_METRIC_ERROR = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"


class ShardUnavailableError(RuntimeError):
    """A shard's worker was lost (or cannot be reached); the call did not complete.

    `shard` is the shard's number and `worker` the address it was pinned to.
    Writes the shards acknowledged are on disk; reopen the ShardedDatabase once
    the worker is back (or on a new cluster) to reach the shard again.
    """

    def __init__(self, shard: int, worker: str, detail: str = "") -> None:
        self.shard = shard
        self.worker = worker
        message = f"shard {shard} (worker {worker}) is unavailable"
        if detail:
            message += f": {detail}"
        super().__init__(message + "; reopen the sharded database once its worker is back")


class SearchResult(NamedTuple):
    """One hit of a sharded search: `r.id`, `r.distance`, `r.metadata` (or r[0], r[1], r[2])."""

    id: str
    distance: float
    metadata: Any


def shard_of(id: str, shards: int) -> int:
    """The shard that holds `id` among `shards`: stable across processes and Python versions."""
    digest = hashlib.blake2b(id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little") % shards


def _write_json_atomically(path: str, value: dict[str, Any]) -> None:
    """Write, sync, rename into place and sync the directory: a reader sees the old file or the new one."""
    directory = os.path.dirname(path) or "."
    tmp = f"{path}.tmp-{uuid.uuid4().hex}"
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(value, f, indent=1, sort_keys=True)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _read_json(path: str, what: str) -> dict[str, Any] | None:
    try:
        with open(path, encoding="utf-8") as f:
            value = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise ValueError(f"unreadable {what} '{path}': {exc}") from exc
    if not isinstance(value, dict):
        raise ValueError(f"unreadable {what} '{path}': not a JSON object")
    return value


# --------------------------------------------------------------------------- worker side


class _Shard:
    """One shard: a kelpo.Database in its own directory, living in a Dask actor.

    The methods are coroutines so that the worker's event loop hands them to
    this shard's own threads: Dask's single actor thread per worker would
    otherwise run the shards sharing a worker one after the other.
    """

    # How long a new owner waits for the previous one (a closed
    # ShardedDatabase whose actor the worker has not yet dropped) to let go.
    LOCK_WAIT = 5.0

    def __init__(self, path: str, index: int, manifest: dict[str, Any], create: bool) -> None:
        self.index = index
        self.directory = os.path.join(path, f"shard-{index:04d}")
        stamp_path = os.path.join(self.directory, STAMP)
        stamp = _read_json(stamp_path, "shard stamp")
        if stamp is None and not create:
            raise ValueError(
                f"shard {index}: no shard at '{self.directory}' on this worker; a sharded database on "
                "workers' own disks must be reopened with the same workers placement"
            )
        if stamp is not None and (stamp.get("uuid") != manifest["uuid"] or stamp.get("shard") != index):
            raise ValueError(
                f"shard {index}: '{self.directory}' holds shard {stamp.get('shard')} of another sharded "
                f"database ({stamp.get('uuid')}); remove it to create a new one there"
            )
        os.makedirs(self.directory, exist_ok=True)
        self._lock_fd = self._lock()
        try:
            self.db = kelpo.Database(
                self.directory,
                dim=manifest["dim"],
                metric=manifest["metric"],
                m=manifest["m"],
                ef_construction=manifest["ef_construction"],
                quantize=manifest["quantize"],
            )
            if stamp is None:
                # Saved files first, so the stamp never names an empty directory.
                self.db.save()
                _write_json_atomically(stamp_path, {"uuid": manifest["uuid"], "shard": index,
                                                    "shards": manifest["shards"]})
        except BaseException:
            os.close(self._lock_fd)
            raise
        self._pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix=f"kelpo-shard-{index}")

    def _lock(self) -> int:
        # Two owners of one directory would interleave their logs: refuse.
        fd = os.open(os.path.join(self.directory, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
        deadline = time.monotonic() + self.LOCK_WAIT
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return fd
            except BlockingIOError:
                if time.monotonic() > deadline:
                    os.close(fd)
                    raise ValueError(
                        f"shard {self.index}: '{self.directory}' is open in another process or "
                        "ShardedDatabase; close that one first"
                    ) from None
                time.sleep(0.05)

    async def _run(self, fn: Any, *args: Any) -> Any:
        if self.db is None:
            raise ValueError(f"shard {self.index} is closed")
        return await asyncio.get_running_loop().run_in_executor(self._pool, functools.partial(fn, *args))

    async def call(self, method: str, *args: Any) -> Any:
        """Run one Database method (the ones whose results pickle as they are)."""
        return await self._run(getattr(self.db, method), *args)

    async def first_live(self, ids: list[str]) -> int:
        """Position of the first id that is live here, or -1."""
        def scan() -> int:
            for position, id in enumerate(ids):
                if id in self.db:
                    return position
            return -1
        return await self._run(scan)

    async def search_many(self, queries: Any, k: int, ef_search: Any, where_filter: Any,
                          max_distance: Any) -> tuple[Any, Any, list[str], list[Any]]:
        def run() -> tuple[Any, Any, list[str], list[Any]]:
            return _pack(self.db.search_many(queries, k, ef_search, where_filter, max_distance))
        return await self._run(run)

    async def stats(self) -> dict[str, Any]:
        def run() -> dict[str, Any]:
            out = self.db.stats()
            out["total_slots"] = self.db.total_slots
            return out
        return await self._run(run)

    async def close(self) -> None:
        if self.db is None:
            return
        pool, self._pool = self._pool, None
        await asyncio.get_running_loop().run_in_executor(None, pool.shutdown)
        self._release()

    def _release(self) -> None:
        self.db = None  # drops the database: its log is flushed and closed
        os.close(self._lock_fd)

    def __del__(self) -> None:
        # Dask drops the actor when its last client reference goes.
        if getattr(self, "db", None) is not None:
            self._release()


def _pack(results: list[list[Any]]) -> tuple[Any, Any, list[str], list[Any]]:
    """Hits of several queries as one float32 matrix (padded with +inf), hit counts, flat ids and metadata."""
    counts = np.fromiter((len(hits) for hits in results), dtype=np.int64, count=len(results))
    width = int(counts.max()) if len(results) else 0
    distances = np.full((len(results), width), np.inf, dtype=np.float32)
    ids: list[str] = []
    metadatas: list[Any] = []
    for row, hits in enumerate(results):
        for column, hit in enumerate(hits):
            distances[row, column] = hit.distance
            ids.append(hit.id)
            metadatas.append(hit.metadata)
    return distances, counts, ids, metadatas


# --------------------------------------------------------------------------- client side


def _merge(packs: list[tuple[Any, Any, list[str], list[Any]]], queries: int, k: int) -> list[list[SearchResult]]:
    """The k smallest distances of every query over all shards' hits, ascending; ties keep shard order."""
    if queries == 0:
        return []
    distances = np.concatenate([p[0] for p in packs], axis=1)
    padding = np.concatenate([np.arange(p[0].shape[1])[None, :] >= p[1][:, None] for p in packs], axis=1)
    # Real hits before padding, then by distance; the sort is stable.
    order = np.lexsort((distances, padding), axis=1)[:, :k]
    widths = [p[0].shape[1] for p in packs]
    column_shard = np.repeat(np.arange(len(packs)), widths)[order]
    column_rank = np.concatenate([np.arange(w) for w in widths])[order]
    # Where each query's hits start in each shard's flat id and metadata lists.
    starts = np.stack([np.concatenate(([0], np.cumsum(p[1])[:-1])) for p in packs])
    flat = starts[column_shard, np.arange(queries)[:, None]] + column_rank
    totals = np.minimum(sum(p[1] for p in packs), k).tolist()
    picked = np.take_along_axis(distances, order, axis=1).tolist()
    column_shard, flat = column_shard.tolist(), flat.tolist()
    out: list[list[SearchResult]] = []
    for row, total in enumerate(totals):
        shard_row, flat_row, distance_row = column_shard[row], flat[row], picked[row]
        out.append([SearchResult(packs[shard_row[j]][2][flat_row[j]], distance_row[j],
                                 packs[shard_row[j]][3][flat_row[j]]) for j in range(total)])
    return out


def _canonical_metric(metric: str) -> str:
    try:
        return _METRICS[metric]
    except (KeyError, TypeError):
        raise ValueError(_METRIC_ERROR) from None


def _check_ids(ids: Sequence[str]) -> list[str]:
    if isinstance(ids, str) or not isinstance(ids, Sequence):
        raise TypeError(f"argument 'ids': expected a sequence of str, got '{type(ids).__name__}'")
    out = list(ids)
    for position, id in enumerate(out):
        if not isinstance(id, str):
            raise TypeError(f"argument 'ids': item {position} is '{type(id).__name__}', expected str")
    return out


def _check_vectors(vectors: Any, dim: int, argument: str = "vectors") -> Any:
    """A batch as a C-contiguous float32 matrix of `dim` columns, with the engine's messages."""
    if isinstance(vectors, np.ndarray):
        if vectors.ndim != 2:
            if vectors.ndim == 1 and vectors.shape[0] == 0:
                return np.zeros((0, dim), dtype=np.float32)
            raise TypeError(f"argument '{argument}': expected a 2-dimensional array, got {vectors.ndim} dimensions")
        if vectors.shape[1] != dim and vectors.shape[0] > 0:
            raise ValueError(f"dimension mismatch: expected {dim}, got {vectors.shape[1]}")
        try:
            return np.ascontiguousarray(vectors, dtype=np.float32)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"argument '{argument}': {exc}") from None
    if isinstance(vectors, (str, bytes)) or not isinstance(vectors, Sequence):
        raise TypeError(f"argument '{argument}': expected a 2-dimensional array or a list of vectors")
    rows = list(vectors)
    for row in rows:
        try:
            length = len(row)
        except TypeError:
            raise TypeError(f"argument '{argument}': '{type(row).__name__}' object is not a vector") from None
        if length != dim:
            raise ValueError(f"dimension mismatch: expected {dim}, got {length}")
    try:
        return np.array(rows, dtype=np.float32).reshape(len(rows), dim)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"argument '{argument}': {exc}") from None


def _check_metadatas(metadatas: Any, count: int) -> list[Any] | None:
    if metadatas is None:
        return None
    if not isinstance(metadatas, (list, tuple)):
        raise TypeError(f"argument 'metadatas': expected list or None, got '{type(metadatas).__name__}'")
    if len(metadatas) != count:
        raise ValueError(f"metadatas length ({len(metadatas)}) != ids length ({count})")
    for metadata in metadatas:
        if metadata is None:
            continue
        if not isinstance(metadata, dict):
            raise ValueError("metadatas must be list of dicts or None")
        try:
            json.dumps(metadata, allow_nan=False)
        except ValueError as exc:
            # The engine keeps JSON, which has no NaN or infinity.
            raise ValueError(f"invalid metadata: {exc}") from None
    return list(metadatas)


class ShardedDatabase:
    """A kelpo database split over `shards` databases, each owned by a Dask actor.

    ShardedDatabase(client, path, dim=None, metric=None, shards=None, m=None,
                    ef_construction=None, quantize=None, workers=None)

    With `dim`, creates the sharded database at `path` unless one is there
    (`shards` defaults to the number of workers; metric "cosine", m 16,
    ef_construction 200, quantize False). Without `dim`, opens the one at
    `path`. Every parameter given when opening must match the manifest.
    `workers` lists the worker addresses (or names) shard i is pinned to,
    round robin; by default the cluster's workers in address order.
    """

    def __init__(
        self,
        client: distributed.Client,
        path: str,
        dim: int | None = None,
        metric: str | None = None,
        shards: int | None = None,
        m: int | None = None,
        ef_construction: int | None = None,
        quantize: bool | None = None,
        workers: Sequence[str] | None = None,
    ) -> None:
        self._client = client
        self._path = os.path.abspath(path)
        self._futures: list[Any] = []
        self._addresses: list[str] = []
        manifest_path = os.path.join(self._path, MANIFEST)
        manifest = _read_json(manifest_path, "manifest")
        if workers is None:
            workers = sorted(client.scheduler_info()["workers"])
        placement = list(workers)
        if not placement:
            raise ValueError("the Dask cluster has no workers")
        given = {"dim": dim, "metric": None if metric is None else _canonical_metric(metric), "shards": shards,
                 "m": m, "ef_construction": ef_construction, "quantize": quantize}
        for name in ("dim", "shards", "m", "ef_construction"):
            value = given[name]
            if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
                raise ValueError(f"{name} must be a positive integer, got {value!r}")
        if manifest is None:
            if dim is None:
                raise ValueError(f"no sharded database at '{self._path}'; pass dim to create one")
            manifest = {
                "format": FORMAT, "routing": ROUTING, "uuid": uuid.uuid4().hex, "dim": dim,
                "metric": given["metric"] or "cosine", "shards": shards or len(placement), "m": m or 16,
                "ef_construction": ef_construction or 200, "quantize": bool(quantize),
            }
            create = True
        else:
            if manifest.get("format") != FORMAT or manifest.get("routing") != ROUTING:
                raise ValueError(f"manifest '{manifest_path}' is of an unknown format")
            for name, value in given.items():
                if value is not None and value != manifest.get(name):
                    raise ValueError(
                        f"sharded database at '{self._path}' has {name}={manifest.get(name)!r}, not {value!r}"
                    )
            create = False
        self._manifest = manifest
        count = manifest["shards"]
        self._placement = [placement[i % len(placement)] for i in range(count)]
        if create:
            os.makedirs(self._path, exist_ok=True)
        self._futures = [
            client.submit(_Shard, self._path, i, manifest, create, actor=True, workers=[self._placement[i]],
                          allow_other_workers=False, pure=False, key=f"kelpo-shard-{i:04d}-{uuid.uuid4().hex}")
            for i in range(count)
        ]
        try:
            for future in self._futures:
                future.result()  # the shard's open, or why it failed
            who_has = client.who_has(self._futures)
            self._addresses = [who_has[future.key][0] for future in self._futures]
            if create:
                # Last: a manifest only ever names shards that exist.
                _write_json_atomically(manifest_path, manifest)
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------------ plumbing

    POLL = 1.0  # seconds between checks that a shard's worker is still there

    def _lost(self, shard: int) -> bool:
        return self._futures[shard].status not in ("pending", "finished")

    async def _call(self, shard: int, method: str, args: tuple[Any, ...]) -> Any:
        """One call of a shard's method, straight to its worker.

        The actor handles Dask gives us would route through the scheduler
        unless the client was made with direct_to_workers, and would wait
        forever on a call whose worker died mid-way; this path does neither.
        """
        worker = self._addresses[shard]
        if self._lost(shard):
            raise ShardUnavailableError(shard, worker, "its worker was lost")
        request = self._client.rpc(worker).actor_execute(
            actor=self._futures[shard].key, function=method, args=[to_serialize(a) for a in args], kwargs={})
        task = asyncio.ensure_future(request)
        try:
            while True:
                done, _ = await asyncio.wait({task}, timeout=self.POLL)
                if done:
                    reply = task.result()
                    break
                if self._lost(shard):
                    raise ShardUnavailableError(shard, worker, "its worker was lost")
        except OSError as exc:  # includes a closed or refused connection
            raise ShardUnavailableError(shard, worker, str(exc) or type(exc).__name__) from exc
        finally:
            task.cancel()
        if reply["status"] == "OK":
            return reply["result"]
        error = reply["exception"]
        if isinstance(error, KeyError):  # a worker restarted at the same address: the actor is gone
            raise ShardUnavailableError(shard, worker, "its actor is gone")
        raise error

    def _gather(self, calls: Sequence[tuple[int, str, tuple[Any, ...]]]) -> list[tuple[Any, BaseException | None]]:
        """Run the calls concurrently; every call's (result, error), waiting for all even when one fails."""
        if not self._futures:
            raise ValueError("the sharded database is closed")

        async def run() -> list[Any]:
            return await asyncio.gather(*(self._call(s, m, a) for s, m, a in calls), return_exceptions=True)

        outcomes = self._client.sync(run)
        return [(None, o) if isinstance(o, BaseException) else (o, None) for o in outcomes]

    def _results(self, calls: Sequence[tuple[int, str, tuple[Any, ...]]]) -> list[Any]:
        outcomes = self._gather(calls)
        for _, error in outcomes:
            if error is not None:
                raise error
        return [result for result, _ in outcomes]

    def _all(self, method: str, *args: Any) -> list[Any]:
        return self._results([(i, method, args) for i in range(self.shards)])

    def _one(self, id: str, method: str, *args: Any) -> Any:
        if not isinstance(id, str):
            raise TypeError(f"argument 'id': expected str, got '{type(id).__name__}'")
        shard = shard_of(id, self.shards)
        return self._results([(shard, "call", (method, id, *args))])[0]

    def _split(self, ids: list[str]) -> list[tuple[int, Any]]:
        """(shard, positions in the batch) for every shard that gets items, positions in batch order."""
        count = self.shards
        owner = np.fromiter((shard_of(id, count) for id in ids), dtype=np.int64, count=len(ids))
        order = np.argsort(owner, kind="stable")
        bounds = np.searchsorted(owner[order], np.arange(count + 1))
        return [(s, order[bounds[s]:bounds[s + 1]]) for s in range(count) if bounds[s + 1] > bounds[s]]

    def _batch(self, ids: Any, vectors: Any, metadatas: Any) -> list[tuple[int, list[str], Any, Any]]:
        """Check a whole batch as the engine would, then cut it into per-shard parts."""
        ids = _check_ids(ids)
        matrix = _check_vectors(vectors, self.dim)
        if len(ids) != matrix.shape[0]:
            raise ValueError(f"ids length ({len(ids)}) != vectors length ({matrix.shape[0]})")
        metas = _check_metadatas(metadatas, len(ids))
        finite = np.isfinite(matrix)
        if not finite.all():
            row = int(np.argmin(finite.all(axis=1)))
            raise ValueError(f"invalid vector: id '{ids[row]}', component {int(np.argmin(finite[row]))} is not finite")
        parts = []
        for shard, positions in self._split(ids):
            part_metas = None if metas is None else [metas[p] for p in positions]
            # One gather per shard: the parts are the only copy the client makes.
            parts.append((shard, [ids[p] for p in positions], matrix[positions], part_metas))
        return parts

    # ------------------------------------------------------------------ properties

    @property
    def path(self) -> str:
        return self._path

    @property
    def shards(self) -> int:
        return self._manifest["shards"]

    @property
    def dim(self) -> int:
        return self._manifest["dim"]

    @property
    def metric(self) -> str:
        return self._manifest["metric"]

    @property
    def workers(self) -> list[str]:
        """The worker each shard is pinned to, by shard number."""
        return list(self._placement)

    def shard_of(self, id: str) -> int:
        """The shard that holds (or would hold) `id`."""
        return shard_of(id, self.shards)

    # ------------------------------------------------------------------ writes

    def add(self, id: str, vector: Any, metadata: dict[str, Any] | None = None) -> None:
        self._one(id, "add", vector, metadata)

    def upsert(self, id: str, vector: Any, metadata: dict[str, Any] | None = None) -> None:
        """Add or update a vector."""
        self._one(id, "upsert", vector, metadata)

    def update(self, id: str, vector: Any = None, metadata: dict[str, Any] | None = None) -> None:
        self._one(id, "update", vector, metadata)

    def delete(self, id: str) -> bool:
        return self._one(id, "delete")

    def add_many(self, ids: Sequence[str], vectors: Any, metadatas: list[Any] | None = None) -> None:
        """Add a batch; if any id is live on any shard, no shard changes."""
        parts = self._batch(ids, vectors, metadatas)
        # Every shard checks its ids before any shard writes.
        found = self._results([(s, "first_live", (part_ids,)) for s, part_ids, _, _ in parts])
        clashes = [(part_ids[p], part_ids) for (_, part_ids, _, _), p in zip(parts, found) if p >= 0]
        if clashes:
            batch_ids = _check_ids(ids)
            first = min(batch_ids.index(id) for id, _ in clashes)
            raise ValueError(f"id '{batch_ids[first]}' already exists, use upsert instead")
        calls = [(s, "call", ("add_many", part_ids, part_vectors, part_metas))
                 for s, part_ids, part_vectors, part_metas in parts]
        outcomes = self._gather(calls)
        errors = [error for _, error in outcomes if error is not None]
        if errors:
            # A writer racing between the check and the write, or a lost worker:
            # take the batch back out of the shards that took it.
            undo = [(s, "call", ("delete_many", part_ids))
                    for (s, part_ids, _, _), (_, error) in zip(parts, outcomes) if error is None]
            self._gather(undo)
            raise errors[0]

    def upsert_many(self, ids: Sequence[str], vectors: Any, metadatas: list[Any] | None = None) -> None:
        """Batch upsert — inserts new vectors, updates existing ones."""
        parts = self._batch(ids, vectors, metadatas)
        self._results([(s, "call", ("upsert_many", part_ids, part_vectors, part_metas))
                       for s, part_ids, part_vectors, part_metas in parts])

    def delete_many(self, ids: Sequence[str]) -> int:
        ids = _check_ids(ids)
        calls = [(s, "call", ("delete_many", [ids[p] for p in positions]))
                 for s, positions in self._split(ids)]
        return sum(self._results(calls))

    # ------------------------------------------------------------------ reads

    def get(self, id: str) -> tuple[list[float], Any]:
        return self._one(id, "get")

    def __contains__(self, id: str) -> bool:
        return self._one(id, "__contains__")

    def __len__(self) -> int:
        return sum(self._all("call", "__len__"))

    def count(self, where_filter: dict[str, Any] | None = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
        return sum(self._all("call", "count", where_filter))

    def ids(self) -> list[str]:
        return [id for part in self._all("call", "ids") for id in part]

    def search(self, vector: Any, k: int = 10, ef_search: int | None = None,
               where_filter: dict[str, Any] | None = None, max_distance: float | None = None) -> list[SearchResult]:
        """The k nearest neighbours over all shards, nearest first (each shard's k best, merged)."""
        query = vector
        if not isinstance(vector, np.ndarray):
            try:
                query = np.asarray(vector, dtype=np.float32)
            except (TypeError, ValueError):
                query = None
            if query is None or query.ndim != 1:
                query = vector  # let the shards reject it with the engine's message
        if isinstance(query, np.ndarray) and query.ndim == 1:
            if query.shape[0] != self.dim:
                raise ValueError(f"dimension mismatch: expected {self.dim}, got {query.shape[0]}")
            return self._search(query[None, :], k, ef_search, where_filter, max_distance)[0]
        return self._search([query], k, ef_search, where_filter, max_distance)[0]

    def search_many(self, vectors: Any, k: int = 10, ef_search: int | None = None,
                    where_filter: dict[str, Any] | None = None,
                    max_distance: float | None = None) -> list[list[SearchResult]]:
        """Search several queries on every shard in parallel; one list of hits per query, in query order."""
        return self._search(_check_vectors(vectors, self.dim), k, ef_search, where_filter, max_distance)

    def _search(self, queries: Any, k: int, ef_search: Any, where_filter: Any,
                max_distance: Any) -> list[list[SearchResult]]:
        packs = self._all("search_many", queries, k, ef_search, where_filter, max_distance)
        return _merge(packs, len(queries), k)

    # ------------------------------------------------------------------ upkeep

    def save(self) -> None:
        self._all("call", "save")

    def compact(self) -> None:
        """Compact every shard (reclaims deleted slots)."""
        self._all("call", "compact")

    def enable_quantized_search(self) -> None:
        self._all("call", "enable_quantized_search")

    def disable_quantized_search(self) -> None:
        self._all("call", "disable_quantized_search")

    @property
    def total_slots(self) -> int:
        return sum(s["total_slots"] for s in self._all("stats"))

    @property
    def deleted_count(self) -> int:
        return sum(s["num_deleted"] for s in self._all("stats"))

    def stats(self) -> dict[str, Any]:
        """Every shard's statistics combined, and each shard's own under "shards".

        Sizes and counts are summed; num_layers and max_degree_layer0 are the
        largest, min_degree_layer0 the smallest over shards holding vectors,
        avg_degree_layer0 is weighted by vectors, and the two flags hold when
        they hold on every shard.
        """
        per_shard = self._all("stats")
        for part in per_shard:
            part.pop("total_slots")
        live = [p for p in per_shard if p["num_vectors"]]
        vectors = sum(p["num_vectors"] for p in per_shard)
        out: dict[str, Any] = {
            "num_vectors": vectors,
            "num_deleted": sum(p["num_deleted"] for p in per_shard),
            "num_layers": max(p["num_layers"] for p in per_shard),
            "avg_degree_layer0": sum(p["avg_degree_layer0"] * p["num_vectors"] for p in live) / vectors
            if vectors else 0.0,
            "max_degree_layer0": max(p["max_degree_layer0"] for p in per_shard),
            "min_degree_layer0": min((p["min_degree_layer0"] for p in live), default=0),
        }
        for key in ("memory_vectors_bytes", "memory_graph_bytes", "memory_quantized_bytes"):
            out[key] = sum(p[key] for p in per_shard)
        for key in ("uses_brute_force", "uses_quantized_search"):
            out[key] = all(p[key] for p in per_shard)
        out["shards"] = per_shard
        return out

    def close(self) -> None:
        """Let go of every shard (its log is flushed and closed; nothing is saved)."""
        futures = self._futures
        if not futures:
            return
        try:
            opened = [i for i, future in enumerate(futures) if future.status == "finished"]
            if not self._addresses:  # failed while opening: find the shards that did open
                who_has = self._client.who_has([futures[i] for i in opened])
                self._addresses = [(who_has.get(future.key) or [""])[0] for future in futures]
            # A lost shard has nothing left to close: the outcomes are moot.
            self._gather([(i, "close", ()) for i in opened if self._addresses[i]])
        finally:
            self._futures, self._addresses = [], []
            for future in futures:
                future.release()

    def __enter__(self) -> ShardedDatabase:
        return self

    def __exit__(self, *exc: object) -> bool:
        """Save every shard and let go of them, even when the block raised."""
        try:
            if self._futures:
                self.save()
        finally:
            self.close()
        return False

    def __repr__(self) -> str:
        return f"ShardedDatabase('{self._path}', shards={self.shards}, dim={self.dim}, metric='{self.metric}')"
