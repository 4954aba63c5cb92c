"""Non-finite vector components: refused by every write and search form, before anything is logged."""

import math
import random

import pytest

import kelpo

DIM = 5
BAD = [math.nan, math.inf, -math.inf, 1e39, -1e300]


def forms(db, vector, position, use_numpy):
    """Each call that takes a vector, given `vector`; a batch puts it at `position` among good ones."""
    good = [[float(i)] * DIM for i in range(3)]
    batch = good[:position] + [vector] + good[position:]
    ids = [f"n{i}" for i in range(len(batch))]
    if use_numpy:
        np = pytest.importorskip("numpy")
        batch = np.asarray(batch, dtype=np.float64)
    return [
        ("add", lambda: db.add("x", vector), "component"),
        ("upsert", lambda: db.upsert("live", vector), "component"),
        ("update", lambda: db.update("live", vector, {"m": 2}), "component"),
        ("add_many", lambda: db.add_many(ids, batch), f"id 'n{position}', component"),
        ("upsert_many", lambda: db.upsert_many(ids, batch), f"id 'n{position}', component"),
        ("search", lambda: db.search(vector, k=3), "component"),
        ("search_many", lambda: db.search_many(batch, k=3), f"row {position}, component"),
    ]


# Plain random draws rather than hypothesis: the suite also runs on an interpreter without it.
@pytest.mark.parametrize("seed", range(30))
def test_every_form_refuses_and_changes_nothing(tmp_path, seed):
    rng = random.Random(seed)
    bad, component, position = rng.choice(BAD), rng.randrange(DIM), rng.randrange(4)
    use_numpy = seed % 2 == 1
    path = str(tmp_path / "db")
    db = kelpo.Database(path, dim=DIM, metric="euclidean")
    db.add("live", [1.0] * DIM, {"m": 1})
    vector = [0.5] * DIM
    vector[component] = bad
    for name, call, where in forms(db, vector, position, use_numpy):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == f"invalid vector: {where} {component} is not finite", name
    assert db.ids() == ["live"] and db.get("live") == ([1.0] * DIM, {"m": 1})
    del db
    # Nothing reached the log: replaying it gives back only the one record.
    again = kelpo.Database(path, dim=DIM)
    assert again.ids() == ["live"] and again.get("live") == ([1.0] * DIM, {"m": 1})


def test_largest_finite_floats_are_accepted(db):
    db.add("big", [3.4028234e38, -3.4028234e38, 0, 0])
    assert db.search([0, 0, 0, 0], k=1)[0].id == "big"
