"""Filtered search on the demo's database: Fashion-MNIST with its labels.

    /usr/bin/python3 bench/bench_demo_filters.py [--queries N] [--json]

Data: the 60,000 Fashion-MNIST training images (Debian's dataset-fashion-mnist)
stored as 784-value vectors with the demo's metadata (label, class, group,
ink), plus a uniform random number `u` per image; test images as queries, one
search call at a time, default ef, squared Euclidean distance.

Times are CPU seconds of the searching thread, so other work on the machine
does not count against either side.

Rows:
  sweep    equality, $in, range and $ne filters at 0.1% to 90% of the images:
           recall@10 against numpy's exact answer among the matching images,
           queries/s, and the time relative to the unfiltered search and to
           an exact scan of the matching images (numpy, one query at a time).
           Label filters follow the data (a query's neighbours mostly share
           its label); `u` filters are independent of it; a filter on labels
           other than the query's own is anti-correlated with its
           neighbourhood.
  demo     the demo's four filtered queries, as the demo prints them.
"""

import argparse
import json
import os

# Timings are CPU seconds of the calling thread (the machine may be shared), so
# the exact scan must run on that thread too: one query at a time, like a search.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kelpo

# The demo's loader: the same images, scaled the same way.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
from demo_fashion_mnist import load  # noqa: E402

CLASSES = ["T-shirt/top", "Trouser", "Pullover", "Dress", "Coat",
           "Sandal", "Shirt", "Sneaker", "Bag", "Ankle boot"]
GROUP = {0: "clothing", 1: "clothing", 2: "clothing", 3: "clothing", 4: "clothing",
         5: "footwear", 6: "clothing", 7: "footwear", 8: "accessory", 9: "footwear"}
K = 10


def recall(hits_lists, truth):
    found = sum(len({int(h.id) for h in hits} & set(t.tolist())) for hits, t in zip(hits_lists, truth))
    return found / max(1, sum(min(K, len(t)) for t in truth))


def timed_searches(db, queries, **options):
    t0 = time.thread_time()
    hits = [db.search(q, k=K, **options) for q in queries]
    return hits, (time.thread_time() - t0) / len(queries)


def exact(train, queries, allowed):
    """The exact answer among the allowed rows, and the time of that scan per query."""
    rows = np.flatnonzero(allowed)
    subset = train[rows]
    norms = (subset ** 2).sum(1)
    t0 = time.thread_time()
    truth = []
    for q in queries:
        d = norms - 2 * subset @ q
        kk = min(K, len(rows))
        top = np.argpartition(d, kk - 1)[:kk] if kk < len(rows) else np.arange(len(rows))
        truth.append(rows[top])
    return truth, (time.thread_time() - t0) / len(queries)


def sweep_filters(labels, u, ink):
    """(kind, selectivity, where_filter, allowed mask) for the sweep."""
    out = []
    shares = [0.001, 0.01, 0.1, 0.3, 0.5, 0.9]
    for s in shares:
        if s >= 0.1:
            n = int(round(s * 10))
            chosen = list(range(n))
            out.append(("eq" if n == 1 else "in", s, {"label": {"$in": chosen}} if n > 1 else {"label": 0},
                        np.isin(labels, chosen)))
        else:
            bucket = int(round(s * 1000))
            out.append(("eq", s, {"b1000": 0}, (np.arange(len(labels)) % 1000) == 0) if bucket == 1 else
                       ("in", s, {"b1000": {"$in": list(range(bucket))}}, (np.arange(len(labels)) % 1000) < bucket))
        cut = float(np.quantile(u, s))
        out.append(("range", s, {"u": {"$lt": cut}}, u < cut))
        ink_cut = float(np.quantile(ink, 1 - s))
        out.append(("range ink", s, {"ink": {"$gt": ink_cut}}, ink > ink_cut))
    # $ne: every label but one keeps 90%; an absent-label flag for the rest.
    out.append(("ne", 0.9, {"label": {"$ne": 9}}, labels != 9))
    for s in shares[:-1]:
        out.append(("ne", s, {f"f{s}": {"$ne": 0}}, u < s))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args(argv)

    train, labels = load("train")
    test, _ = load("t10k")
    queries = test[: args.queries]
    rng = np.random.default_rng(11)
    u = rng.random(len(train))
    ink = np.round((train > 0).mean(axis=1), 3)
    shares = [0.001, 0.01, 0.1, 0.3, 0.5]
    metadatas = []
    for i, (l, s, x) in enumerate(zip(labels.tolist(), ink.tolist(), u.tolist())):
        m = {"label": l, "class": CLASSES[l], "group": GROUP[l], "ink": s, "u": x, "b1000": i % 1000}
        for share in shares:
            m[f"f{share}"] = int(x < share)
        metadatas.append(m)

    directory = tempfile.mkdtemp(prefix="kelpo-bench-filters-")
    rows = []
    try:
        db = kelpo.Database(os.path.join(directory, "fashion"), dim=784, metric="euclidean")
        t0 = time.perf_counter()
        db.add_many([str(i) for i in range(len(train))], train, metadatas)
        print(f"loaded {len(train):,} images in {time.perf_counter() - t0:.1f} s; {len(queries)} queries, "
              f"k={K}, default ef", flush=True)

        _, t_plain = timed_searches(db, queries)
        print(f"unfiltered: {1 / t_plain:,.0f} queries/s")
        print(f"{'filter':<10} {'select':>7} {'matching':>8} {'recall@10':>9} {'queries/s':>9} {'x plain':>8} "
              f"{'x scan':>7}  where_filter")
        for kind, share, where, allowed in sweep_filters(labels, u, ink):
            truth, t_scan = exact(train, queries, allowed)
            hits, t = timed_searches(db, queries, where_filter=where)
            r = recall(hits, truth)
            shown = json.dumps(where)
            if len(shown) > 60:
                shown = shown[:57] + "..."
            print(f"{kind:<10} {share:>7.1%} {int(allowed.sum()):>8,} {r:>9.3f} {1 / t:>9,.0f} {t / t_plain:>8.2f} "
                  f"{t / t_scan:>7.2f}  {shown}", flush=True)
            rows.append({"kind": kind, "selectivity": share, "recall": r, "qps": 1 / t, "x_plain": t / t_plain,
                         "x_scan": t / t_scan})

        print("\nthe demo's filtered queries (target: recall >= 0.95, at least 1/3 of the unfiltered rate):")
        demo = [
            ({"class": "Sneaker"}, {}, labels == 7),
            ({"group": "footwear", "label": {"$ne": 9}}, {}, np.isin(labels, [5, 7])),
            ({"group": "footwear", "label": {"$ne": 9}}, {"ef_search": 2000}, np.isin(labels, [5, 7])),
            ({"ink": {"$gt": 0.6}}, {}, ink > 0.6),
        ]
        print(f"{'where_filter':<48} {'options':<18} {'matching':>8} {'queries/s':>9} {'of plain':>8} {'recall@10':>9}")
        for where, options, allowed in demo:
            truth, _ = exact(train, queries, allowed)
            hits, t = timed_searches(db, queries, where_filter=where, **options)
            r = recall(hits, truth)
            print(f"{json.dumps(where):<48} {json.dumps(options):<18} {db.count(where):>8,} {1 / t:>9,.0f} "
                  f"{t_plain / t:>8.2f} {r:>9.3f}", flush=True)
            rows.append({"demo": json.dumps(where), "options": options, "recall": r, "qps": 1 / t,
                         "of_plain": t_plain / t})
        if args.json:
            print(json.dumps({"unfiltered_qps": 1 / t_plain, "rows": rows}))
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
