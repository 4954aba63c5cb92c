import pytest

import kelpo


@pytest.fixture
def np():
    """numpy, or skip: the suite also runs on interpreters without it."""
    return pytest.importorskip("numpy")


@pytest.fixture
def db(tmp_path):
    return kelpo.Database(str(tmp_path / "db"), dim=4, metric="euclidean")


@pytest.fixture
def filled(db):
    """Five records around the origin, with metadata for filtering."""
    db.add_many(
        ["a", "b", "c", "d", "e"],
        [[0, 0, 0, 0], [1, 0, 0, 0], [2, 0, 0, 0], [3, 0, 0, 0], [4, 0, 0, 0]],
        [
            {"genre": "rock", "year": 2020, "price": 5.0, "active": True},
            {"genre": "pop", "year": 2020.0, "price": 15, "active": 1},
            {"genre": "rock", "year": 2021, "price": 25, "tag": "x"},
            {"genre": "jazz", "year": 2019, "price": 12.5},
            None,
        ],
    )
    return db
