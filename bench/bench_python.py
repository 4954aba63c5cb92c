"""kelpo from Python against its peers, on the same data in the same run.

    /usr/bin/python3 bench/bench_python.py [--queries N] [--threads T]

Data: Fashion-MNIST (Debian's dataset-fashion-mnist), 60,000 training images
of 784 float32 values stored, test images as queries, squared Euclidean
distance. Peers: hnswlib (python3-hnswlib) for the graph rows, FAISS
(python3-faiss) flat indexes for the exact-scan rows. Graph parameters are the
same on both sides: M = 16, ef_construction = 200, the same thread count.

Rows:
  build            add_many of all vectors vs hnswlib add_items (vectors/s)
  single @0.95     queries/s, one Python call per query, each library at the
                   smallest ef whose recall@10 reaches 0.95 (the ef sweep is
                   printed too); and, when those differ, both at the peer's ef
  batch @0.95      search_many vs knn_query on the whole query batch
  exact L2 / IP    single-query queries/s on a 10,000-vector database (below
                   the exact-scan threshold) vs IndexFlatL2 / IndexFlatIP
  exact batch      search_many on the exact path (the first 12,000 images,
                   every query in one call) vs IndexFlatL2's batched search,
                   both on the same threads; medians of 3
  memory           resident bytes per stored vector, measured in a fresh
                   process for each library
  call overhead    one search on a one-vector database (microseconds)
"""

import argparse
import gzip
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kelpo

DATA = Path("/usr/share/datasets/fashion-mnist")
K = 10
M = 16
EF_CONSTRUCTION = 200
EF_SWEEP = [10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 128, 160, 200, 256, 320, 400]
TARGET_RECALL = 0.95


def load(kind):
    with gzip.open(DATA / f"{kind}-images-idx3-ubyte.gz") as f:
        images = np.frombuffer(f.read(), np.uint8, offset=16).reshape(-1, 784)
    return (images / np.float32(255)).astype(np.float32)


def exact_l2(data, queries, k):
    d = (queries**2).sum(1)[:, None] - 2 * queries @ data.T + (data**2).sum(1)[None, :]
    return np.argsort(d, axis=1)[:, :k]


def recall(found, truth):
    return sum(len(set(map(int, f)) & set(t.tolist())) for f, t in zip(found, truth)) / truth.size


def best_of(n, fn):
    """The shortest of n timed runs of fn (seconds)."""
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def median_of(n, fn):
    """The median of n timed runs of fn (seconds)."""
    times = []
    for _ in range(n):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return sorted(times)[len(times) // 2]


def exact_batch_row(train, queries, ids, directory, threads, row, rows_n=12000):
    """search_many on the exact path against FAISS's batched flat search."""
    import faiss

    faiss.omp_set_num_threads(threads)
    db = kelpo.Database(os.path.join(directory, "exact-batch"), dim=train.shape[1], metric="euclidean")
    db.add_many(ids[:rows_n], train[:rows_n])
    assert db.stats()["uses_brute_force"]
    index = faiss.IndexFlatL2(train.shape[1])
    index.add(train[:rows_n])
    ours_ids = np.array([[int(h.id) for h in hits] for hits in db.search_many(queries, k=K)])
    agree = np.mean(ours_ids[:, 0] == index.search(queries, K)[1][:, 0])
    nq = len(queries)
    row(f"exact euclidean, search_many vs IndexFlatL2 batch ({rows_n:,} rows, {nq:,} queries; top-1 agree {agree:.2f})",
        nq / median_of(3, lambda: db.search_many(queries, k=K)), nq / median_of(3, lambda: index.search(queries, K)),
        "queries/s", target=1.5)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(library, threads):
    """Run in a fresh process: resident bytes per vector added by building the index."""
    import gc

    import hnswlib

    data = load("train")
    ids = [str(i) for i in range(len(data))]  # the inputs are made before the baseline
    labels = np.arange(len(data))
    directory = tempfile.mkdtemp(prefix="kelpo-bench-")
    gc.collect()
    before = rss_bytes()
    if library == "kelpo":
        index = kelpo.Database(os.path.join(directory, "db"), dim=data.shape[1], metric="euclidean",
                               m=M, ef_construction=EF_CONSTRUCTION)
        index.add_many(ids, data)
    else:
        index = hnswlib.Index(space="l2", dim=data.shape[1])
        index.init_index(max_elements=len(data), ef_construction=EF_CONSTRUCTION, M=M)
        index.add_items(data, labels, num_threads=threads)
    gc.collect()
    print((rss_bytes() - before) / len(data))


def memory_per_vector(library, threads):
    out = subprocess.run([sys.executable, __file__, "--memory-child", library, "--threads", str(threads)],
                         check=True, capture_output=True, text=True).stdout
    return float(out.strip().splitlines()[-1])


def ef_for_recall(run, truth):
    """The smallest ef of the sweep whose recall@K reaches the target, and the sweep."""
    sweep = []
    for ef in EF_SWEEP:
        r = recall(run(ef), truth)
        sweep.append((ef, r))
        if r >= TARGET_RECALL:
            return ef, sweep
    return EF_SWEEP[-1], sweep


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--queries", type=int, default=2000)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--memory-child", choices=["kelpo", "hnswlib"])
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(args.memory_child, args.threads)

    import faiss
    import hnswlib

    train, test = load("train"), load("t10k")
    queries = test[: args.queries]
    n, dim = train.shape
    ids = [str(i) for i in range(n)]
    print(f"data: {n} x {dim} float32 stored, {len(queries)} queries, k={K}, threads={args.threads}", flush=True)
    truth = exact_l2(train, queries, K)
    rows = []

    def row(name, ours, theirs, unit, target=1.0, higher_is_better=True):
        ratio = ours / theirs if higher_is_better else theirs / ours
        rows.append((name, ours, theirs, unit, ratio, target))
        print(f"{name}: kelpo {ours:,.1f} vs peer {theirs:,.1f} {unit} (x{ratio:.2f})", flush=True)

    # -- build
    directory = tempfile.mkdtemp(prefix="kelpo-bench-")
    db = kelpo.Database(os.path.join(directory, "graph"), dim=dim, metric="euclidean", m=M,
                        ef_construction=EF_CONSTRUCTION)
    t_ours = best_of(1, lambda: db.add_many(ids, train))
    peer = hnswlib.Index(space="l2", dim=dim)
    peer.init_index(max_elements=n, ef_construction=EF_CONSTRUCTION, M=M)
    t_peer = best_of(1, lambda: peer.add_items(train, np.arange(n), num_threads=args.threads))
    row("build, add_many vs add_items", n / t_ours, n / t_peer, "vectors/s")
    assert not db.stats()["uses_brute_force"]

    # -- recall sweep, then single-query speed at the target recall
    def ours_batch(ef):
        return [[h.id for h in hits] for hits in db.search_many(queries, k=K, ef_search=ef)]

    def peer_batch(ef):
        peer.set_ef(ef)
        return peer.knn_query(queries, k=K, num_threads=args.threads)[0]

    ef_ours, sweep_ours = ef_for_recall(ours_batch, truth)
    ef_peer, sweep_peer = ef_for_recall(peer_batch, truth)
    print("ef sweep (ef: recall@10)  kelpo:", ", ".join(f"{e}: {r:.3f}" for e, r in sweep_ours))
    print("                        hnswlib:", ", ".join(f"{e}: {r:.3f}" for e, r in sweep_peer), flush=True)
    r_ours = recall(ours_batch(ef_ours), truth)
    r_peer = recall(peer_batch(ef_peer), truth)
    peer.set_ef(ef_peer)

    def ours_single():
        for q in queries:
            db.search(q, k=K, ef_search=ef_ours)

    def peer_single():
        for q in queries:
            peer.knn_query(q, k=K, num_threads=1)

    nq = len(queries)
    row(f"single query @ recall {TARGET_RECALL} (ef {ef_ours}: {r_ours:.3f} / ef {ef_peer}: {r_peer:.3f})",
        nq / best_of(3, ours_single), nq / best_of(3, peer_single), "queries/s", target=1.3)
    if ef_ours != ef_peer:
        # The same beam width on both sides separates the cost of one query
        # from how much beam each graph needs for the target recall.
        def ours_same_ef():
            for q in queries:
                db.search(q, k=K, ef_search=ef_peer)

        row(f"single query at the same ef ({ef_peer}; recall {recall(ours_batch(ef_peer), truth):.3f} / {r_peer:.3f})",
            nq / best_of(3, ours_same_ef), nq / best_of(3, peer_single), "queries/s")
    row("batch, search_many vs knn_query", nq / best_of(3, lambda: db.search_many(queries, k=K, ef_search=ef_ours)),
        nq / best_of(3, lambda: peer.knn_query(queries, k=K, num_threads=args.threads)), "queries/s")
    del db, peer

    # -- exact scans on a database below the exact-scan threshold
    small = train[:10000]
    few = queries[:500]
    for metric, flat in (("euclidean", faiss.IndexFlatL2), ("dot_product", faiss.IndexFlatIP)):
        exact_db = kelpo.Database(os.path.join(directory, metric), dim=dim, metric=metric)
        exact_db.add_many(ids[: len(small)], small)
        assert exact_db.stats()["uses_brute_force"]
        index = flat(dim)
        index.add(small)
        ours_ids = [int(exact_db.search(q, k=K)[0].id) for q in few[:50]]
        peer_ids = [int(index.search(q[None, :], K)[1][0, 0]) for q in few[:50]]
        agree = np.mean(np.array(ours_ids) == np.array(peer_ids))

        def ours_exact():
            for q in few:
                exact_db.search(q, k=K)

        def peer_exact():
            for q in few:
                index.search(q[None, :], K)

        row(f"exact {metric}, single query vs {flat.__name__} (top-1 agree {agree:.2f})",
            len(few) / best_of(3, ours_exact), len(few) / best_of(3, peer_exact), "queries/s")

    exact_batch_row(train, queries, ids, directory, args.threads, row)

    # -- memory, each in a fresh process
    row("resident memory per vector", memory_per_vector("kelpo", args.threads),
        memory_per_vector("hnswlib", args.threads), "bytes", higher_is_better=False)

    # -- per-call overhead of the binding
    tiny = kelpo.Database(os.path.join(directory, "tiny"), dim=4)
    tiny.add("a", [1, 0, 0, 0])
    tiny_peer = hnswlib.Index(space="l2", dim=4)
    tiny_peer.init_index(max_elements=1, ef_construction=EF_CONSTRUCTION, M=M)
    tiny_peer.add_items(np.array([[1, 0, 0, 0]], np.float32), [0])
    q_list = [1.0, 0.5, 0.0, 0.0]
    q_np = np.array(q_list, np.float32)
    calls = 100000
    ours = best_of(3, lambda: [tiny.search(q_list, k=1) for _ in range(calls)]) / calls * 1e6
    ours_np = best_of(3, lambda: [tiny.search(q_np, k=1) for _ in range(calls)]) / calls * 1e6
    theirs = best_of(3, lambda: [tiny_peer.knn_query(q_np, k=1, num_threads=1) for _ in range(calls)]) / calls * 1e6
    row("one search on a one-vector database (list query)", ours, theirs, "us/call", higher_is_better=False)
    row("one search on a one-vector database (numpy query)", ours_np, theirs, "us/call", higher_is_better=False)

    print()
    print("| row | kelpo | peer | unit | ratio | target |")
    print("|---|---:|---:|---|---:|---:|")
    for name, ours, theirs, unit, ratio, target in rows:
        mark = "" if ratio >= target else " (below)"
        print(f"| {name} | {ours:,.1f} | {theirs:,.1f} | {unit} | {ratio:.2f}x{mark} | {target:.1f}x |")


if __name__ == "__main__":
    sys.exit(main())
