"""JSON export and import against Python's own json module, in the same run.

    /usr/bin/python3 bench/bench_export.py [--n N] [--dim D]

Defaults make a smoke run (5,000 x 128); the reference size is
--n 100000 --dim 768. Records carry small metadata ({"i": n, "tag": "t3"}).

Rows:
  export        db.export_json(path) vs json.dump of the document built from
                db.ids() and db.get() (the same records, the same layout)
  import        db.import_json(path) into a fresh database vs json.load of the
                same file followed by upsert_many
  import parse  the parsing half of each: import_json into a database of
                another dimension (it parses the whole document, then stops
                at the dimension check) vs json.load alone
  upsert        what both import routes share: the batch upsert itself
  memory        peak resident memory added by each import, measured in a fresh
                process, as a multiple of the vectors' size (n x dim x 4 bytes)

MB/s is megabytes (10^6) of JSON per second: the document each route writes
or reads. The speed-up column compares times for the same records.

Measured at 100,000 x 768 (2 shared cores, Debian's python3 3.11):

                  kelpo s    MB/s   json s    MB/s  speed-up
  export             5.23     161    77.90      19     14.9x
  import parse       4.12     205    12.86      66      3.1x
  import           270.60       3   283.42       3      1.0x
  upsert           266.48           270.56   (the shared batch upsert)
  document: kelpo 844 MB, json.dump 1514 MB

  peak memory added (x the vectors' 307 MB), an earlier run:
    import_json, parse only    328 MiB  1.12x
    import_json                715 MiB  2.44x  (the document as one batch)
    json.load                 3875 MiB 13.23x
    json.load + upsert_many   3875 MiB 13.23x

  import_json's peak, measured again in one session on a loaded machine:
    pieces of 10,000 records, index sized once        453 MiB  1.55x
    pieces of at most 2^21 components (2,730 rows     406 MiB  1.38x
      at 768 dimensions), free pages returned after each piece

Building the graph for 100,000 new vectors is nearly all of either import,
so the two import routes differ only in their parsing. The import logs and
applies its records a piece at a time, releasing each piece's floats once
the index holds them, so the parsed vectors turn into the index's copy
without the two ever both being whole. What the peak holds beyond the
vectors is what the database keeps for 100,000 records anyway (graph links,
ids, metadata and its index: 101 MiB, 0.34x, once the import is done) plus
at most about two pieces (the one being applied and its log record; 12 MiB
above the finished import's size here). With 10,000-record pieces at 768
dimensions those were 30 MB each, and the allocator kept freed pieces
resident. Smaller pieces cost about 7% of the import's time (10,000 x 768,
two runs each: 36.0 / 34.4 s as one piece, 38.5 / 37.1 s in four).
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import kelpo

METRIC = "cosine"


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def build_source(path, n, dim, seed=7):
    rng = np.random.default_rng(seed)
    db = kelpo.Database(path, dim=dim, metric=METRIC)
    ids = [f"doc-{i}" for i in range(n)]
    metas = [{"i": i, "tag": f"t{i % 10}"} for i in range(n)]
    step = 20000
    for s in range(0, n, step):
        vecs = rng.standard_normal((min(step, n - s), dim), dtype=np.float32)
        db.add_many(ids[s : s + step], vecs, metas[s : s + step])
    db.save()
    return db


def json_export(db, path):
    records = []
    for id in db.ids():
        vector, metadata = db.get(id)
        records.append({"id": id, "vector": vector, "metadata": metadata})
    doc = {"version": 1, "dim": db.dim, "metric": db.metric, "vectors": records}
    with open(path, "w") as f:
        json.dump(doc, f, separators=(",", ":"))


def json_import(db, path):
    with open(path) as f:
        doc = json.load(f)
    records = doc["vectors"]
    db.upsert_many([r["id"] for r in records], [r["vector"] for r in records], [r.get("metadata") for r in records])


# Run in a fresh interpreter: the peak resident size (kB) an import adds.
# (ru_maxrss would not do: after fork and exec it starts from the parent's
# size. VmHWM is the peak of this process's own memory, and writing 5 to
# clear_refs resets it to the current size.)
MEMORY_CHILD = r"""
import json, sys
import kelpo

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])

route, doc, path, dim = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
db = kelpo.Database(path, dim=dim, metric="cosine")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
if route == "kelpo":
    db.import_json(doc)
elif route == "kelpo-parse":
    try:
        db.import_json(doc)
    except ValueError:
        pass
else:
    with open(doc) as f:
        d = json.load(f)
    r = d["vectors"]
    if route == "json":
        db.upsert_many([x["id"] for x in r], [x["vector"] for x in r], [x.get("metadata") for x in r])
print(status("VmHWM") - before)
"""


def peak_kb(route, doc, path, dim):
    shutil.rmtree(path, ignore_errors=True)
    if route == "kelpo-parse":
        dim += 1  # parses everything, then stops at the dimension check
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, route, doc, path, str(dim)],
        check=True, capture_output=True, text=True, env=dict(os.environ),
    )
    return int(out.stdout.strip())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=5000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--dir", default=None, help="scratch directory (default: a temporary one)")
    args = ap.parse_args()
    n, dim = args.n, args.dim
    vector_bytes = n * dim * 4

    scratch = tempfile.mkdtemp(prefix="kelpo-bench-export-", dir=args.dir)
    try:
        p = lambda name: os.path.join(scratch, name)
        t_build, src = timed(lambda: build_source(p("src"), n, dim))
        print(f"{n} x {dim}, vectors {vector_bytes / 1e6:.0f} MB; source database built in {t_build:.1f} s", flush=True)

        rows = []
        t_k, _ = timed(lambda: src.export_json(p("kelpo.json")))
        t_j, _ = timed(lambda: json_export(src, p("json.json")))
        size_k, size_j = os.path.getsize(p("kelpo.json")), os.path.getsize(p("json.json"))
        rows.append(("export", t_k, size_k, t_j, size_j))

        doc = p("kelpo.json")
        wrong_dim = kelpo.Database(p("wrong"), dim=dim + 1, metric=METRIC)
        t_kp, _ = timed(lambda: _expect_dim_error(wrong_dim, doc))
        t_jp, _ = timed(lambda: json.load(open(doc)))
        rows.append(("import parse", t_kp, size_k, t_jp, size_k))

        t_ki, _ = timed(lambda: kelpo.Database(p("dst-k"), dim=dim, metric=METRIC).import_json(doc))
        t_ji, _ = timed(lambda: json_import(kelpo.Database(p("dst-j"), dim=dim, metric=METRIC), doc))
        rows.append(("import", t_ki, size_k, t_ji, size_k))

        print(f"\n{'':14}{'kelpo s':>9}{'MB/s':>8}{'json s':>9}{'MB/s':>8}{'speed-up':>10}")
        for name, tk, sk, tj, sj in rows:
            print(f"{name:14}{tk:9.2f}{sk / tk / 1e6:8.0f}{tj:9.2f}{sj / tj / 1e6:8.0f}{tj / tk:9.1f}x")
        print(f"{'upsert':14}{t_ki - t_kp:9.2f}{'':8}{t_ji - t_jp:9.2f}   (the shared batch upsert, by difference)")
        print(f"document: kelpo {size_k / 1e6:.0f} MB, json.dump {size_j / 1e6:.0f} MB (float32 values printed as doubles)")

        print("\npeak memory added by the import (x the vectors' size):")
        for route, label in (("kelpo-parse", "import_json, parse only"), ("kelpo", "import_json"),
                             ("json-parse", "json.load"), ("json", "json.load + upsert_many")):
            kb = peak_kb(route, doc, p("mem"), dim)
            print(f"  {label:28}{kb / 1024:9.0f} MiB {kb * 1024 / vector_bytes:6.2f}x")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _expect_dim_error(db, doc):
    try:
        db.import_json(doc)
    except ValueError as e:
        assert str(e).startswith("dimension mismatch"), e
    else:
        raise AssertionError("import into a database of another dimension succeeded")


if __name__ == "__main__":
    main()
