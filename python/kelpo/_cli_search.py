"""`kelpo search` and `kelpo tune`."""

from __future__ import annotations

import json
import os
import random
import time

from kelpo._cli import CliError, need_input_file, open_database, positive_int, say
from kelpo._cli_progress import Progress

DEFAULT_EFS = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512)
TARGETS = (0.9, 0.95, 0.99)


def _json_arg(text: str, what: str):
    try:
        return json.loads(text)
    except ValueError as e:
        raise CliError(f"{what} is not JSON: {e}") from None


def add_search_arguments(c) -> None:
    query = c.add_mutually_exclusive_group(required=True)
    query.add_argument("--vector", metavar="JSON", help="the query as a JSON list of numbers")
    query.add_argument("--id", help="use the stored vector of this id as the query")
    query.add_argument("--npy", metavar="FILE", help="take the query from a row of this .npy file (with --row)")
    c.add_argument("--row", type=int, default=0, help="row of --npy (default 0)")
    c.add_argument("-k", type=positive_int, default=10, help="number of hits (default 10)")
    c.add_argument("--ef", type=positive_int, help="search beam width (default: the engine's)")
    c.add_argument("--where", metavar="JSON", help='metadata filter, e.g. \'{"genre": "rock"}\'')
    c.add_argument("--max-distance", type=float, help="drop hits farther than this")
    c.add_argument("--json", action="store_true", help="print the hits as a JSON list")


def _query(args, db):
    if args.vector is not None:
        v = _json_arg(args.vector, "--vector")
        if not isinstance(v, list) or not all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in v):
            raise CliError("--vector must be a JSON list of numbers")
        return v
    if args.id is not None:
        if args.id not in db:
            raise CliError(f"id '{args.id}' is not in the database")
        return db.get(args.id)[0]
    try:
        import numpy as np
    except ImportError:
        raise CliError("--npy needs numpy (Debian: python3-numpy)") from None
    need_input_file(args.npy)
    try:
        a = np.load(args.npy, mmap_mode="r", allow_pickle=False)
    except ValueError as e:
        raise CliError(f"'{args.npy}' is not a readable .npy array: {e}") from None
    if a.ndim != 2 or a.dtype.kind not in "fiu":
        raise CliError(f"'{args.npy}' holds {a.dtype} of shape {a.shape}, not rows of vectors")
    if not -len(a) <= args.row < len(a):
        raise CliError(f"--row {args.row} is outside the {len(a):,} rows of '{args.npy}'")
    return np.ascontiguousarray(a[args.row], dtype=np.float32)


def cmd_search(args) -> int:
    where = _json_arg(args.where, "--where") if args.where else None
    if where is not None and not isinstance(where, dict):
        raise CliError("--where must be a JSON object")
    db = open_database(args.dir)
    query = _query(args, db)
    if len(query) != db.dim:
        raise CliError(f"the query has {len(query)} values; the database's dimension is {db.dim}")
    hits = db.search(query, k=args.k, ef_search=args.ef, where_filter=where, max_distance=args.max_distance)
    if args.json:
        say(json.dumps([{"id": h.id, "distance": h.distance, "metadata": h.metadata} for h in hits]))
        return 0
    if not hits:
        say("no hits")
        return 0
    width = max(2, max(len(h.id) for h in hits))
    say(f"{'#':>3}  {'id':<{width}}  {'distance':>12}  metadata")
    for rank, h in enumerate(hits, 1):
        meta = "" if h.metadata is None else json.dumps(h.metadata, ensure_ascii=False)
        say(f"{rank:>3}  {h.id:<{width}}  {h.distance:>12.6g}  {meta}")
    return 0


# ---- tune --------------------------------------------------------------------


def add_tune_arguments(c) -> None:
    c.add_argument("--queries", type=positive_int, default=200, help="stored vectors to draw as queries (default 200)")
    c.add_argument("--query-file", metavar="FILE.npy", help="query with these rows instead of stored vectors")
    c.add_argument("-k", "--k", type=positive_int, default=10, help="neighbours per query (default 10)")
    c.add_argument("--ef", metavar="LIST", help="comma-separated ef values (default 10,16,...,512)")
    c.add_argument("--seed", type=int, default=0, help="seed of the query draw (default 0)")
    c.add_argument("--plot", metavar="FILE.png", help="draw the recall / queries-per-second curve")
    c.add_argument("--json", action="store_true", help="print the table as JSON")


def _ef_ladder(text: str | None, k: int) -> list[int]:
    if text is None:
        return sorted({max(ef, k) for ef in DEFAULT_EFS})
    try:
        values = sorted({int(x) for x in text.split(",") if x.strip()})
    except ValueError:
        raise CliError(f"--ef must be comma-separated whole numbers, got '{text}'") from None
    if not values or values[0] < 1:
        raise CliError("--ef values must be at least 1")
    return values


def _exact(np, data, queries, metric: str, k: int):
    """Row numbers of the exact k nearest rows of `data` for each query."""
    if metric == "cosine":
        norms = np.linalg.norm(data, axis=1)
        norms[norms == 0] = 1
    else:
        sq = np.einsum("ij,ij->i", data, data)
    out = np.empty((len(queries), k), dtype=np.int64)
    k = min(k, len(data))
    for a in range(0, len(queries), 64):
        q = queries[a : a + 64]
        dots = q @ data.T
        if metric == "cosine":
            qn = np.linalg.norm(q, axis=1)
            qn[qn == 0] = 1
            dist = 1 - dots / qn[:, None] / norms[None, :]
        elif metric == "euclidean":
            dist = sq[None, :] - 2 * dots
        else:
            dist = -dots
        part = np.argpartition(dist, k - 1, axis=1)[:, :k]
        order = np.take_along_axis(dist, part, axis=1).argsort(axis=1)
        out[a : a + len(q), :k] = np.take_along_axis(part, order, axis=1)
    return out[:, :k]


def cmd_tune(args) -> int:
    try:
        import numpy as np
    except ImportError:
        raise CliError("tune needs numpy (Debian: python3-numpy)") from None
    if args.plot:
        _need_matplotlib()
        from kelpo._cli import need_output_file

        need_output_file(args.plot)
    efs = _ef_ladder(args.ef, args.k)
    db = open_database(args.dir)
    ids = db.ids()
    if not ids:
        raise CliError(f"'{args.dir}' holds no records to tune on")
    k = min(args.k, len(ids))
    data = np.empty((len(ids), db.dim), dtype=np.float32)
    with Progress(len(ids), "reading vectors", "vectors") as bar:
        for i, id_ in enumerate(ids):
            data[i] = db.get(id_)[0]
            if i % 1000 == 999:
                bar.update(1000)
        bar.update(len(ids) - bar.done)
    if args.query_file:
        need_input_file(args.query_file)
        try:
            queries = np.load(args.query_file, allow_pickle=False)
        except ValueError as e:
            raise CliError(f"'{args.query_file}' is not a readable .npy array: {e}") from None
        if queries.ndim != 2 or queries.shape[1] != db.dim:
            raise CliError(f"'{args.query_file}' has shape {queries.shape}; queries of {db.dim} values are needed")
        queries = np.ascontiguousarray(queries[: args.queries], dtype=np.float32)
        source = f"{len(queries)} queries from '{args.query_file}'"
    else:
        rows = random.Random(args.seed).sample(range(len(ids)), min(args.queries, len(ids)))
        queries = data[rows]
        source = f"{len(queries)} stored vectors drawn as queries (seed {args.seed}; each finds itself)"
    t0 = time.monotonic()
    metric = {"l2": "euclidean", "dot_product": "dot"}.get(db.metric, db.metric)
    truth = _exact(np, data.astype(np.float64) if metric == "cosine" else data, queries, metric, k)
    truth_ids = [{ids[j] for j in row} for row in truth]
    exact_seconds = time.monotonic() - t0

    stats = db.stats()
    # One untimed pass pages in the mapped vectors and starts the worker pool.
    db.search_many(queries, k=k, ef_search=efs[0])
    table = []
    for ef in efs:
        # Repeat short runs so that a small query set still gives a steady rate.
        rounds, seconds = 0, 0.0
        while rounds == 0 or (seconds < 0.3 and rounds < 50):
            t0 = time.perf_counter()
            hits = db.search_many(queries, k=k, ef_search=ef)
            seconds += time.perf_counter() - t0
            rounds += 1
        found = sum(len({h.id for h in hs} & t) for hs, t in zip(hits, truth_ids))
        table.append({"ef": ef, "recall": found / (len(queries) * k), "qps": rounds * len(queries) / seconds})
    best = {}
    for target in TARGETS:
        hit = next((row["ef"] for row in table if row["recall"] >= target), None)
        best[str(target)] = hit
    if args.json:
        say(json.dumps({"k": k, "queries": len(queries), "records": len(ids), "exact_scan": stats["uses_brute_force"],
                        "ladder": table, "smallest_ef": best}, indent=2))
    else:
        say(f"'{args.dir}': {len(ids):,} records of dimension {db.dim}, {db.metric}; {source}")
        say(f"exact neighbours by numpy in {exact_seconds:.1f} s; search_many on {os.cpu_count()} CPUs")
        if stats["uses_brute_force"]:
            say("note: this database is small enough that every search scans exactly; ef changes nothing")
        say(f"{'ef':>6}  {'recall@' + str(k):>10}  {'queries/s':>10}")
        for row in table:
            say(f"{row['ef']:>6}  {row['recall']:>10.4f}  {row['qps']:>10,.0f}")
        for target, ef in best.items():
            say(f"smallest ef for recall {target}: {ef if ef is not None else 'not reached (try larger --ef values)'}")
    if args.plot:
        _plot(args.plot, table, k, f"{os.path.basename(os.path.abspath(args.dir))}: {len(ids):,} x {db.dim}, "
                                    f"{db.metric}, {len(queries)} queries")
        say(f"plot written to '{args.plot}'")
    return 0


def _need_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CliError("--plot needs matplotlib (Debian: python3-matplotlib)") from None


def _plot(path: str, table: list, k: int, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    fig, ax = plt.subplots(figsize=(6.4, 4.2), dpi=100)
    recall = [r["recall"] for r in table]
    qps = [r["qps"] for r in table]
    ax.plot(recall, qps, marker="o")
    for r in table:
        ax.annotate(f"ef {r['ef']}", (r["recall"], r["qps"]), textcoords="offset points", xytext=(4, 4), fontsize=7)
    for target in TARGETS:
        ax.axvline(target, color="grey", linewidth=0.6, linestyle=":")
    ax.set_yscale("log")
    plain = matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:,.0f}")
    ax.yaxis.set_major_formatter(plain)
    ax.yaxis.set_minor_formatter(plain)
    ax.tick_params(axis="y", which="minor", labelsize=7)
    ax.set_xlabel(f"recall@{k}")
    ax.set_ylabel("queries per second (search_many)")
    ax.set_title(title, fontsize=9)
    ax.grid(True, which="both", linewidth=0.3)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
