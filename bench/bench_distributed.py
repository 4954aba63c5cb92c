"""Sharded kelpo on a local Dask cluster against one kelpo database, same data, same run.

    /usr/bin/python3 bench/bench_distributed.py [--n 200000] [--dim 128] [--shards 4] [--queries 1000]

Data: --n clustered float32 vectors (--clusters Gaussian blobs, squared
Euclidean distance), --queries more drawn the same way. Graph parameters are
the same everywhere: M = 16, ef_construction = 200.

Rows:
  exact            on --exact-n vectors (below the exact-scan limit on every
                   shard and in the single database): queries whose sharded
                   top 10 equals the single database's (ids and distances)
  recall@10        at each ef of --ef, one database vs --shards shards built
                   from the same vectors, both against numpy's exact answer
  build            vectors/s: add_many in batches of --batch, one database in
                   this process vs the shards on a LocalCluster of 1 and of 2
                   worker processes
  batch search     queries/s of search_many over all queries at --ef-speed
  one query        milliseconds per search() call, one query at a time; the
                   difference to the single database is the Dask round trip
                   (client to every shard's worker and back, and the merge)
  round trip       milliseconds per search() call on databases of one vector
                   per shard: the Dask round trip alone, against one such
                   database in process
  merge            microseconds per query of the client-side merge alone, for
                   4 to 256 shards' top 10s (synthetic hits, no cluster)

The machine this was written on has 2 cores, shared: a LocalCluster of 2
workers there is not two machines. The README reads these numbers.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np
from distributed import Client, LocalCluster

import kelpo
from kelpo.distributed import ShardedDatabase, _merge

K = 10
M = 16
EF_CONSTRUCTION = 200


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def clustered(rng, n, dim, centers, spread=0.35):
    labels = rng.integers(0, len(centers), n)
    return (centers[labels] + rng.normal(0, spread, (n, dim))).astype(np.float32)


def exact_top(data, queries, k, chunk=50):
    norms = (data.astype(np.float64) ** 2).sum(1)
    out = []
    for start in range(0, len(queries), chunk):
        q = queries[start:start + chunk].astype(np.float64)
        d = norms[None, :] - 2 * q @ data.T.astype(np.float64)
        part = np.argpartition(d, k, axis=1)[:, :k]
        rows = np.arange(len(q))[:, None]
        out.append(part[rows, np.argsort(d[rows, part], axis=1)])
    return np.concatenate(out)


def recall(results, truth):
    hits = 0
    for found, expected in zip(results, truth):
        hits += len({int(h.id) for h in found} & set(expected.tolist()))
    return hits / truth.size


def fill(db, data, batch):
    t0 = time.perf_counter()
    for start in range(0, len(data), batch):
        part = data[start:start + batch]
        db.add_many([str(i) for i in range(start, start + len(part))], part)
    return len(data) / (time.perf_counter() - t0)


def per_query_ms(db, queries, reps=200):
    times = []
    for q in queries[:reps]:
        t0 = time.perf_counter()
        db.search(q, k=K)
        times.append(time.perf_counter() - t0)
    return 1000 * statistics.median(times)


def batch_qps(db, queries, ef):
    db.search_many(queries[:50], k=K, ef_search=ef)  # warm
    t0 = time.perf_counter()
    db.search_many(queries, k=K, ef_search=ef)
    return len(queries) / (time.perf_counter() - t0)


def same_hits(a, b):
    return [(h.id, h.distance) for h in a] == [(h.id, h.distance) for h in b]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--clusters", type=int, default=64)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--exact-n", type=int, default=20_000)
    parser.add_argument("--batch", type=int, default=10_000)
    parser.add_argument("--ef", type=lambda s: [int(x) for x in s.split(",")], default=[16, 32, 64, 128])
    parser.add_argument("--ef-speed", type=int, default=64)
    parser.add_argument("--workers", type=lambda s: [int(x) for x in s.split(",")], default=[1, 2])
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    centers = rng.normal(0, 1, (args.clusters, args.dim)).astype(np.float32)
    data = clustered(rng, args.n, args.dim, centers)
    queries = clustered(rng, args.queries, args.dim, centers)
    truth = exact_top(data, queries, K)
    root = tempfile.mkdtemp(prefix="kelpo-bench-distributed-")
    print(f"{args.n} x {args.dim} clustered vectors ({args.clusters} clusters), {args.queries} queries, "
          f"{args.shards} shards, {os.cpu_count()} cores; files under {root}")

    single = kelpo.Database(os.path.join(root, "single"), dim=args.dim, metric="euclidean", m=M,
                            ef_construction=EF_CONSTRUCTION)
    log("building one database")
    single_build = fill(single, data, args.batch)
    log(f"built at {single_build:.0f} vectors/s; searching")
    single_recall = {ef: recall(single.search_many(queries, k=K, ef_search=ef), truth) for ef in args.ef}
    single_qps = batch_qps(single, queries, args.ef_speed)
    single_ms = per_query_ms(single, queries)

    rows = []
    for workers in args.workers:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
        client = Client(cluster)
        try:
            if workers == args.workers[-1]:
                log("exactness check")
                exact = exact_row(client, rng, root, args, centers)
            log(f"building {args.shards} shards on {workers} worker(s)")
            sharded = ShardedDatabase(client, os.path.join(root, f"sharded-{workers}"), dim=args.dim,
                                      metric="euclidean", shards=args.shards, m=M, ef_construction=EF_CONSTRUCTION)
            build = fill(sharded, data, args.batch)
            log(f"built at {build:.0f} vectors/s; searching")
            rec = {ef: recall(sharded.search_many(queries, k=K, ef_search=ef), truth) for ef in args.ef}
            rows.append((workers, build, rec, batch_qps(sharded, queries, args.ef_speed),
                         per_query_ms(sharded, queries)))
            sharded.close()
        finally:
            client.close()
            cluster.close()

    print(f"\nexact: {exact[0]}/{exact[1]} queries give the single database's top {K} "
          f"({args.exact_n} vectors, {args.shards} shards)")
    print(f"\nrecall@{K} at the same ef (one database vs {args.shards} shards)")
    print("ef     one db   sharded  difference")
    for ef in args.ef:
        s = rows[-1][2][ef]
        print(f"{ef:<6} {single_recall[ef]:.4f}   {s:.4f}   {s - single_recall[ef]:+.4f}")
    print(f"\n{'':28}{'build vec/s':>12}{'batch q/s':>12}{'one query ms':>14}")
    print(f"{'one database, in process':28}{single_build:12.0f}{single_qps:12.0f}{single_ms:14.3f}")
    for workers, build, _, qps, ms in rows:
        label = f"{args.shards} shards, {workers} worker" + ("s" if workers > 1 else "")
        print(f"{label:28}{build:12.0f}{qps:12.0f}{ms:14.3f}")
    print(f"\nbatch search at ef={args.ef_speed}; one query: median of 200 search() calls, k={K}")
    print(f"round trip: {exact[2][0]:.3f} ms per search() on {args.shards} shards of 4 vectors "
          f"({args.workers[-1]} workers), {exact[2][1]:.3f} ms on one such database")
    print("\nmerge of the shards' top 10s on the client, per query")
    for shards in (4, 16, 64, 256):
        print(f"{shards:4} shards  {merge_us(rng, shards):8.1f} us")
    shutil.rmtree(root, ignore_errors=True)


def merge_us(rng, shards, queries=1000):
    """Client-side merge cost alone, on hits shaped as the shards send them."""
    packs = []
    for s in range(shards):
        distances = np.sort(rng.random((queries, K), dtype=np.float32), axis=1)
        packs.append((distances, np.full(queries, K), [f"{s}-{i}" for i in range(queries * K)], [None] * queries * K))
    t0 = time.perf_counter()
    _merge(packs, queries, K)
    return 1e6 * (time.perf_counter() - t0) / queries


def exact_row(client, rng, root, args, centers):
    data = clustered(rng, args.exact_n, args.dim, centers)
    queries = clustered(rng, 200, args.dim, centers)
    ids = [str(i) for i in range(len(data))]
    single = kelpo.Database(os.path.join(root, "exact-single"), dim=args.dim, metric="euclidean")
    single.add_many(ids, data)
    sharded = ShardedDatabase(client, os.path.join(root, "exact-sharded"), dim=args.dim, metric="euclidean",
                              shards=args.shards)
    sharded.add_many(ids, data)
    assert sharded.stats()["uses_brute_force"] and single.stats()["uses_brute_force"]
    same = sum(same_hits(a, b) for a, b in zip(sharded.search_many(queries, k=K), single.search_many(queries, k=K)))
    sharded.close()
    tiny = ShardedDatabase(client, os.path.join(root, "tiny-sharded"), dim=args.dim, metric="euclidean",
                           shards=args.shards)
    tiny_ids = [str(i) for i in range(args.shards * 4)]
    tiny.add_many(tiny_ids, data[:len(tiny_ids)])
    tiny_single = kelpo.Database(os.path.join(root, "tiny-single"), dim=args.dim, metric="euclidean")
    tiny_single.add_many(tiny_ids, data[:len(tiny_ids)])
    round_trip = per_query_ms(tiny, queries), per_query_ms(tiny_single, queries)
    tiny.close()
    return same, len(queries), round_trip


if __name__ == "__main__":
    main()
