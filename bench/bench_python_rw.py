"""Writes beside searches from Python: one thread adding one record at a time
while 0, 1, 2 and 4 other threads search the same database.

    /usr/bin/python3 bench/bench_python_rw.py [--n N] [--dim D] [--seconds S]

Builds an N x D cosine database (add_many), then for each searcher count runs
the searchers alone and then beside the writer, and prints the writer's rate
(and its share of the rate alone) and the search rate with and without it.
Beside each rate comes the share of the CPU the run got (process CPU time over
wall time times the cores its threads could use), as other programs on the
machine take some.
"""
import argparse
import os
import shutil
import tempfile
import threading
import time

import numpy as np

import kelpo


def run(db, dim, searchers, write, seconds, next_id):
    stop = threading.Event()
    counts = {"searches": 0, "writes": 0}
    lock = threading.Lock()

    def search(seed):
        rng = np.random.default_rng(seed)
        done = 0
        while not stop.is_set():
            db.search(rng.standard_normal(dim, dtype=np.float32), k=10)
            done += 1
        with lock:
            counts["searches"] += done

    def add():
        rng = np.random.default_rng(7)
        done = 0
        while not stop.is_set():
            db.add(f"w{next_id[0]}", rng.standard_normal(dim, dtype=np.float32))
            next_id[0] += 1
            done += 1
        with lock:
            counts["writes"] += done

    threads = [threading.Thread(target=search, args=(100 + t,)) for t in range(searchers)]
    if write:
        threads.append(threading.Thread(target=add))
    cpu0, t0 = time.process_time(), time.perf_counter()
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    wall = time.perf_counter() - t0
    usable = min(len(threads), os.cpu_count() or 1)
    share = min(1.0, (time.process_time() - cpu0) / (wall * usable))
    return counts["writes"] / wall, counts["searches"] / wall, share


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--n", type=int, default=110_000)
    parser.add_argument("--dim", type=int, default=96)
    parser.add_argument("--seconds", type=float, default=4.0)
    args = parser.parse_args()

    directory = tempfile.mkdtemp(prefix="kelpo-bench-py-rw-")
    try:
        db = kelpo.Database(os.path.join(directory, "db"), dim=args.dim, metric="cosine")
        rng = np.random.default_rng(1)
        t0 = time.perf_counter()
        for start in range(0, args.n, 10_000):
            rows = min(10_000, args.n - start)
            db.add_many([f"r{i}" for i in range(start, start + rows)],
                        rng.standard_normal((rows, args.dim), dtype=np.float32))
        print(f"built {args.n} x {args.dim} cosine in {time.perf_counter() - t0:.1f} s", flush=True)
        next_id = [0]
        alone, _, alone_share = run(db, args.dim, 0, True, args.seconds, next_id)
        print(f"writer alone: {alone:8.0f} adds/s   [CPU share {100 * alone_share:3.0f}%]", flush=True)
        for searchers in (1, 2, 4):
            _, quiet, quiet_share = run(db, args.dim, searchers, False, args.seconds, next_id)
            writes, searches, share = run(db, args.dim, searchers, True, args.seconds, next_id)
            print(f"{searchers} searching: adds {writes:8.0f}/s ({100 * writes / alone:5.1f}% of alone)   "
                  f"searches {searches:7.0f}/s with the writer, {quiet:7.0f}/s without "
                  f"({100 * searches / quiet:5.1f}%)   [CPU share {100 * share:3.0f}% mixed, "
                  f"{100 * quiet_share:3.0f}% quiet]", flush=True)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
