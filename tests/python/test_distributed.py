"""Sharded databases on a two-process Dask cluster: routing, merged searches
against one database, all-or-nothing batches, manifests, and a worker killed
in the middle of a stream of writes."""

import json
import os
import signal
import threading

import pytest

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import kelpo  # noqa: E402
from kelpo.distributed import MANIFEST, ShardedDatabase, ShardUnavailableError, shard_of  # noqa: E402

DIM = 6


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def pair(client, tmp_path_factory):
    """A sharded database and a plain one, to be given the same writes."""
    root = tmp_path_factory.mktemp("pair")
    sharded = ShardedDatabase(client, str(root / "sharded"), dim=DIM, metric="euclidean", shards=3)
    single = kelpo.Database(str(root / "single"), dim=DIM, metric="euclidean")
    # The exact scan takes its distances from norms while a database has no
    # deleted slot, and computes them directly once it has one; the two
    # differ in the last bits. A deleted record in every shard and in the
    # single database keeps them all on the direct path, so equal means equal.
    dead = [next(f"dead{i}" for i in range(100) if shard_of(f"dead{i}", 3) == s) for s in range(3)]
    for db in (sharded, single):
        db.add_many(dead, np.zeros((3, DIM), np.float32))
        db.delete_many(dead)
    yield sharded, single
    sharded.close()


def test_routing_is_a_fixed_function_of_the_utf8_bytes(client, tmp_path):
    # Changing these values would strand every record of every existing sharded database.
    assert [shard_of(id, 4) for id in ("a", "doc-1", "été", "")] == [0, 2, 0, 0]
    assert [shard_of(id, 7) for id in ("a", "doc-1", "été", "")] == [4, 4, 0, 5]
    ids = [f"r{i}" for i in range(60)] + ["ünï", "名前"]
    db = ShardedDatabase(client, str(tmp_path / "s"), dim=2, shards=4)
    db.add_many(ids, np.ones((len(ids), 2), np.float32))
    assert [db.shard_of(id) for id in ids] == [shard_of(id, 4) for id in ids]
    db.close()
    for shard in range(4):
        held = kelpo.Database(str(tmp_path / "s" / f"shard-{shard:04d}"), dim=2).ids()
        assert sorted(held) == sorted(id for id in ids if shard_of(id, 4) == shard)


def _apply(db, op):
    """Run one operation; its result, or the type and text of the error it raised."""
    name, args = op
    try:
        out = getattr(db, name)(*args)
    except (ValueError, TypeError) as exc:
        return type(exc).__name__, str(exc)
    if name in ("search", "search_many"):
        return [_comparable(hits) for hits in (out if name == "search_many" else [out])]
    return out


def _comparable(hits):
    """Distances in order, and the hits themselves except those tied at the cut-off distance.

    Equal distances have no order among them, and which of several tied
    records make the last places of a top k is arbitrary in one database too.
    """
    distances = [h.distance for h in hits]
    assert distances == sorted(distances)
    inside = sorted((h.id, h.distance, h.metadata) for h in hits if h.distance < distances[-1])
    return distances, inside


ids_ = st.sampled_from([f"r{i}" for i in range(24)])
vector_ = st.lists(st.floats(-4, 4, width=32), min_size=DIM, max_size=DIM)
meta_ = st.none() | st.fixed_dictionaries({"g": st.integers(0, 2)})
batch_ = st.integers(0, 5).flatmap(lambda n: st.tuples(
    st.lists(ids_, min_size=n, max_size=n), st.lists(vector_, min_size=n, max_size=n),
    st.lists(meta_, min_size=n, max_size=n)))
filter_ = st.none() | st.sampled_from([{"g": 1}, {"g": {"$ne": 0}}, {"g": {"$in": [0, 2]}}])
op_ = st.one_of(
    batch_.map(lambda b: ("add_many", (b[0], np.array(b[1], np.float32).reshape(-1, DIM), b[2]))),
    batch_.map(lambda b: ("upsert_many", b)),
    st.lists(ids_, max_size=4).map(lambda ids: ("delete_many", (ids,))),
    st.tuples(ids_, vector_, meta_).map(lambda a: ("add", a)),
    st.tuples(ids_, st.none() | vector_, meta_).map(lambda a: ("update", a)),
    ids_.map(lambda id: ("get", (id,))),
    filter_.map(lambda f: ("count", (f,))),
    st.tuples(vector_, st.integers(0, 30), st.none(), filter_, st.none() | st.floats(0, 60)).map(
        lambda a: ("search", a)),
    st.tuples(st.lists(vector_, max_size=3), st.integers(0, 12)).map(lambda a: ("search_many", a)),
)


@settings(max_examples=25, deadline=None, database=None)
@given(st.lists(op_, min_size=1, max_size=8))
def test_sharded_database_behaves_as_one_database(pair, ops):
    # Below the exact-scan limit every shard scans exactly, so merging their
    # k best must give the single database's answer, in the same order.
    sharded, single = pair
    sharded.delete_many(single.ids())
    single.delete_many(single.ids())
    for op in ops:
        assert _apply(sharded, op) == _apply(single, op), op
    assert len(sharded) == len(single)
    assert sorted(sharded.ids()) == sorted(single.ids())


def test_a_batch_failing_on_any_shard_changes_no_shard(pair):
    sharded, _ = pair
    sharded.upsert("r0", [0] * DIM)
    before = sorted((id, sharded.get(id)[0]) for id in sharded.ids())
    fresh = [f"new{i}" for i in range(12)]  # spread over every shard
    assert len({shard_of(id, sharded.shards) for id in fresh}) == sharded.shards
    vectors = np.zeros((13, DIM), np.float32)
    bad = [
        (sharded.add_many, (fresh + ["r0"], vectors), ValueError, "id 'r0' already exists"),
        (sharded.add_many, (fresh, [[0] * DIM] * 11 + [[0] * (DIM - 1)]), ValueError, "dimension mismatch"),
        (sharded.upsert_many, (fresh, vectors[:12], [None] * 11 + [{"x": float("nan")}]), ValueError,
         "invalid metadata"),
        (sharded.upsert_many, (fresh, vectors[:12], [None] * 11 + [7]), ValueError, "list of dicts"),
        (sharded.upsert_many, (fresh[:-1] + [3], vectors[:12]), TypeError, "item 11"),
        (sharded.upsert_many, (fresh, vectors[:11]), ValueError, "ids length (12) != vectors length (11)"),
        (sharded.upsert_many, (fresh, np.vstack([vectors[:11], [[0, 0, np.inf, 0, 0, 0]]])), ValueError,
         "invalid vector: id 'new11', component 2 is not finite"),
    ]
    for method, args, error, text in bad:
        with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
            method(*args)
    assert sorted((id, sharded.get(id)[0]) for id in sharded.ids()) == before


def test_manifest_guards_the_shards(client, tmp_path):
    path = str(tmp_path / "s")
    with pytest.raises(ValueError, match="pass dim to create one"):
        ShardedDatabase(client, path)
    db = ShardedDatabase(client, path, dim=3, metric="l2", shards=2, m=8)
    db.add("a", [1, 2, 3], {"k": 1})
    with pytest.raises(ValueError, match="is open in another process"):
        ShardedDatabase(client, path)  # two owners would interleave a shard's log
    db.close()
    for wrong, text in [({"shards": 3}, "shards=2, not 3"), ({"dim": 4}, "dim=3, not 4"),
                        ({"metric": "cosine"}, "metric='euclidean', not 'cosine'"), ({"m": 16}, "m=8, not 16")]:
        with pytest.raises(ValueError, match=text):
            ShardedDatabase(client, path, **wrong)
    reopened = ShardedDatabase(client, path, dim=3, metric="euclidean", shards=2)
    assert (reopened.get("a"), reopened.metric, len(reopened)) == (([1.0, 2.0, 3.0], {"k": 1}), "euclidean", 1)
    reopened.close()

    # A shard directory that belongs to another sharded database is refused, not adopted.
    with open(os.path.join(path, MANIFEST)) as f:
        manifest = json.load(f)
    manifest["uuid"] = "0" * 32
    with open(os.path.join(path, MANIFEST), "w") as f:
        json.dump(manifest, f)
    with pytest.raises(ValueError, match="of another sharded database"):
        ShardedDatabase(client, path)
    with open(os.path.join(path, MANIFEST), "w") as f:
        f.write("{not json")
    with pytest.raises(ValueError, match="unreadable manifest"):
        ShardedDatabase(client, path)


def test_a_killed_worker_loses_no_acknowledged_write(client, tmp_path):
    path = str(tmp_path / "s")
    db = ShardedDatabase(client, path, dim=4, metric="euclidean", shards=4)
    acknowledged = {}
    failure = []
    started = threading.Event()

    def writer():
        for batch in range(10_000):
            ids = [f"b{batch}-{i}" for i in range(16)]
            vectors = np.random.default_rng(batch).random((16, 4), dtype=np.float32)
            try:
                db.add_many(ids, vectors)
            except ShardUnavailableError as exc:
                failure.append(exc)
                return
            acknowledged.update(zip(ids, vectors.tolist()))
            if batch == 20:
                started.set()

    thread = threading.Thread(target=writer)
    thread.start()
    assert started.wait(120)
    victim = db.workers[1]
    os.kill(client.run(os.getpid)[victim], signal.SIGKILL)
    thread.join(120)
    assert failure and failure[0].worker == victim and f"shard {failure[0].shard} " in str(failure[0])
    lost = [s for s in range(4) if db.workers[s] == victim]
    assert failure[0].shard in lost
    with pytest.raises(ShardUnavailableError, match=f"shard {lost[0]} "):
        db.get(next(id for id in acknowledged if shard_of(id, 4) == lost[0]))
    kept = next(id for id in acknowledged if shard_of(id, 4) not in lost)
    assert db.get(kept)[0] == pytest.approx(acknowledged[kept])
    db.close()

    client.wait_for_workers(2, timeout=120)
    reopened = ShardedDatabase(client, path)
    held = set(reopened.ids())
    assert set(acknowledged) <= held
    for id in list(acknowledged)[:: max(1, len(acknowledged) // 50)]:
        assert reopened.get(id)[0] == acknowledged[id]
    reopened.close()
