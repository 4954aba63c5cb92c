"""kelpo on real data: the 70,000 Fashion-MNIST images (Debian's
dataset-fashion-mnist), each a 28x28 grey picture of one of ten kinds of
clothing, stored as a 784-number vector with its label as metadata.

Run by scripts/demo.sh; the output explains itself.
"""

import gzip
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import kelpo

DATA = Path("/usr/share/datasets/fashion-mnist")
CLASSES = ["T-shirt/top", "Trouser", "Pullover", "Dress", "Coat",
           "Sandal", "Shirt", "Sneaker", "Bag", "Ankle boot"]
GROUP = {0: "clothing", 1: "clothing", 2: "clothing", 3: "clothing", 4: "clothing",
         5: "footwear", 6: "clothing", 7: "footwear", 8: "accessory", 9: "footwear"}
K = 10
N_QUERIES = 1000  # timed
N_CHECKED = 300  # also compared with the exact answer (numpy's brute force is slow)


def load(kind):
    """Images as float32 rows scaled to [0, 1], and their labels."""
    with gzip.open(DATA / f"{kind}-images-idx3-ubyte.gz") as f:
        images = np.frombuffer(f.read(), np.uint8, offset=16).reshape(-1, 784)
    with gzip.open(DATA / f"{kind}-labels-idx1-ubyte.gz") as f:
        labels = np.frombuffer(f.read(), np.uint8, offset=8)
    return (images / np.float32(255)).astype(np.float32), labels.astype(np.int64)


def squared_distances(data, queries):
    """All query-to-row squared Euclidean distances (numpy, brute force)."""
    return (queries**2).sum(1)[:, None] - 2 * queries @ data.T + (data**2).sum(1)[None, :]


def exact_neighbours(distances, k, allowed=None):
    """The true k nearest rows, optionally only among the allowed ones."""
    if allowed is not None:
        distances = np.where(allowed[None, :], distances, np.inf)
    return np.argsort(distances, axis=1)[:, :k]


def recall(hits_lists, truth):
    """The share of the true nearest neighbours that the searches found."""
    found = sum(len({int(h.id) for h in hits} & set(t.tolist())) for hits, t in zip(hits_lists, truth))
    return found / truth[: len(hits_lists)].size


def line(text=""):
    print(text, flush=True)


def progress_bar(total):
    """A tqdm bar on a terminal (python3-tqdm), else None: a log gets plain lines."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc="   loading", unit=" vectors", file=sys.stderr)


def main():
    started = time.perf_counter()
    train, train_labels = load("train")
    test, test_labels = load("t10k")
    queries, query_labels = test[:N_QUERIES], test_labels[:N_QUERIES]
    line(f"Fashion-MNIST: {len(train):,} training images to store, {len(test):,} test images to query with;")
    line(f"each image is a vector of {train.shape[1]} pixel values (float32, 0 = black, 1 = white).")
    line()

    directory = tempfile.mkdtemp(prefix="kelpo-demo-")
    try:
        db = kelpo.Database(os.path.join(directory, "fashion"), dim=784, metric="euclidean")
        line(f"1. Loading into a new kelpo database ({directory}), metric: squared Euclidean distance.")
        line("   Metadata per image: its class label, the class name, a group "
             "(clothing/footwear/accessory) and 'ink' (the share of non-black pixels).")
        ink = (train > 0).mean(axis=1)
        metadatas = [{"label": int(l), "class": CLASSES[l], "group": GROUP[int(l)], "ink": round(float(s), 3)}
                     for l, s in zip(train_labels, ink)]
        t0 = time.perf_counter()
        chunk = 2000
        bar = progress_bar(len(train))
        for start in range(0, len(train), chunk):
            end = min(start + chunk, len(train))
            db.add_many([str(i) for i in range(start, end)], train[start:end], metadatas[start:end])
            elapsed = time.perf_counter() - t0
            if bar is not None:
                bar.update(end - start)
            elif end % 10000 == 0 or end == len(train):
                line(f"   {end:>6,} / {len(train):,} stored  {elapsed:6.1f} s  ({end / elapsed:,.0f} vectors/s)")
        if bar is not None:
            bar.close()
        load_seconds = time.perf_counter() - t0
        stats = db.stats()
        line(f"   Done: {len(db):,} vectors in {load_seconds:.1f} s. The HNSW graph has {stats['num_layers']} layers, "
             f"{stats['avg_degree_layer0']:.1f} links per vector on the bottom layer;")
        line(f"   vectors take {stats['memory_vectors_bytes'] / 2**20:.0f} MiB and the graph "
             f"{stats['memory_graph_bytes'] / 2**20:.0f} MiB. "
             f"Exact scan instead of the graph: {stats['uses_brute_force']}.")
        line()

        line(f"2. Ground truth: the exact {K} nearest training images of {N_CHECKED} test images, "
             "by numpy brute force.")
        t0 = time.perf_counter()
        distances = squared_distances(train, queries[:N_CHECKED])
        truth = exact_neighbours(distances, K)
        line(f"   ({time.perf_counter() - t0:.1f} s)")
        line()

        line(f"3. One query at a time: db.search(image, k={K}) for each of {N_QUERIES} test images.")
        t0 = time.perf_counter()
        single = [db.search(q, k=K) for q in queries]
        seconds = time.perf_counter() - t0
        single_rate = N_QUERIES / seconds
        line(f"   {N_QUERIES / seconds:,.0f} queries/s ({seconds / N_QUERIES * 1e6:.0f} us each); "
             f"recall@{K} = {recall(single[:N_CHECKED], truth):.3f} (the share of the true {K} nearest found)")
        votes = [np.bincount([train_labels[int(h.id)] for h in hits], minlength=10).argmax() for hits in single]
        line(f"   Labelling each test image by a vote of its {K} neighbours is right for "
             f"{np.mean(np.array(votes) == query_labels):.1%} of them.")
        q = 0
        neighbour_classes = [h.metadata["class"] for h in single[q]]
        line(f"   Example: test image #{q} is a '{CLASSES[query_labels[q]]}'; its neighbours are "
             + ", ".join(f"{neighbour_classes.count(c)} x '{c}'" for c in dict.fromkeys(neighbour_classes))
             + f"; the nearest is id {single[q][0].id} at distance {single[q][0].distance:.2f}.")
        line()

        line(f"4. All {N_QUERIES} queries in one call: db.search_many(images, k={K}), spread over the CPU cores.")
        t0 = time.perf_counter()
        batch = db.search_many(queries, k=K)
        seconds = time.perf_counter() - t0
        same = all([h.id for h in a] == [h.id for h in b] for a, b in zip(batch, single))
        line(f"   {N_QUERIES / seconds:,.0f} queries/s; recall@{K} = {recall(batch[:N_CHECKED], truth):.3f}; "
             f"same answers as one at a time: {same}")
        line()

        line("5. Filtered queries: the nearest neighbours among the records whose metadata matches.")
        line("   The metadata index counts the matches of each filter: a few are measured exactly; otherwise the")
        line("   search walks the graph from near the query, measuring only matching records and looking through")
        line("   non-matching neighbours to theirs. A wider walk (ef_search) finds more of the true neighbours.")
        filters = [
            ({"class": "Sneaker"}, {}, "only sneakers", train_labels == 7),
            ({"group": "footwear", "label": {"$ne": 9}}, {}, "footwear except ankle boots",
             np.isin(train_labels, [5, 7])),
            ({"group": "footwear", "label": {"$ne": 9}}, {"ef_search": 2000}, "the same, wider walk",
             np.isin(train_labels, [5, 7])),
            ({"ink": {"$gt": 0.6}}, {}, "images with more than 60% ink", ink > 0.6),
        ]
        checked = queries[:N_CHECKED]
        for where, options, meaning, allowed in filters:
            t0 = time.perf_counter()
            hits = [db.search(q, k=K, where_filter=where, **options) for q in checked]
            seconds = time.perf_counter() - t0
            ok = all(allowed[int(h.id)] for hs in hits for h in hs)
            shown = ", ".join([f"where_filter={where}"] + [f"{k}={v}" for k, v in options.items()])
            line(f"   {shown}  ({meaning}; {db.count(where):,} records match)")
            line(f"      {len(checked) / seconds:,.0f} queries/s ({len(checked) / seconds / single_rate:.2f} of the "
                 f"unfiltered rate); {np.mean([len(h) for h in hits]):.1f} hits per query; "
                 f"recall@{K} = {recall(hits, exact_neighbours(distances, K, allowed)):.3f}; "
                 f"every hit matches: {ok}")
        line()

        line("6. Changes: delete and update records, then search again.")
        db.delete_many([h.id for h in single[0][:3]])
        db.update(single[0][3].id, metadata={"label": 0, "class": "relabelled"})
        after = db.search(queries[0], k=K)
        line(f"   After deleting the 3 nearest neighbours of test image #0, its nearest is now id {after[0].id} "
             f"({after[0].metadata['class']}); {len(db):,} records left, {db.deleted_count} deleted slots.")
        line()
        line(f"Total demo time {time.perf_counter() - started:.1f} s.")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
