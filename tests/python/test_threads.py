"""The interpreter lock is released while the engine works."""

import random
import threading
import time

import pytest

import kelpo


class Ticker:
    """A Python thread that notes the time every few hundred steps while it
    holds the interpreter lock."""

    def __init__(self):
        self.stamps = []
        self.stop = False
        self.started = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        self.started.set()
        i = 0
        while not self.stop:
            i += 1
            if i % 500 == 0:
                self.stamps.append(time.perf_counter())

    def __enter__(self):
        self.thread.start()
        self.started.wait()
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()


def rows(n, dim, seed):
    rng = random.Random(seed)
    return [[rng.random() for _ in range(dim)] for _ in range(n)]


def longest_stall_during(call):
    """The longest stretch, as a share of the call's duration, during which
    another Python thread could not run while `call` ran."""
    with Ticker() as ticker:
        start = time.perf_counter()
        call()
        end = time.perf_counter()
    inside = [start] + [t for t in ticker.stamps if start < t < end] + [end]
    return max(b - a for a, b in zip(inside, inside[1:])) / (end - start), end - start


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    db = kelpo.Database(str(tmp_path_factory.mktemp("big")), dim=32, metric="euclidean")
    return db


def test_add_many_lets_other_threads_run(big):
    vectors = rows(5000, 32, seed=1)  # converted before the lock is released
    ids = [f"v{i}" for i in range(len(vectors))]
    stall, elapsed = longest_stall_during(lambda: big.add_many(ids, vectors))
    assert len(big) == len(vectors)
    assert elapsed > 0.1, "batch too small to tell"
    assert stall < 0.3, f"another thread was stalled for {stall:.0%} of {elapsed:.2f} s"


def test_search_many_lets_other_threads_run(big):
    queries = rows(4000, 32, seed=2)
    # A batch on the exact path is fast now: several make a window long enough
    # to tell a released lock from a held one.
    stall, elapsed = longest_stall_during(lambda: [big.search_many(queries, k=10) for _ in range(8)])
    assert elapsed > 0.1, "batch too small to tell"
    assert stall < 0.3, f"another thread was stalled for {stall:.0%} of {elapsed:.2f} s"


def test_threads_share_one_database(tmp_path):
    db = kelpo.Database(str(tmp_path), dim=8)
    errors = []

    def writer(t):
        try:
            for i, v in enumerate(rows(200, 8, seed=t)):
                db.add(f"{t}-{i}", v, {"t": t})
                if i % 10 == 0:
                    db.search(v, k=3, where_filter={"t": t})
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(db) == 800 and db.count({"t": 2}) == 200
