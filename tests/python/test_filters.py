"""The where_filter dict language, through count() and search()."""

import pytest


def selected(db, where):
    """Ids selected by a filter, checked to agree between count and search."""
    ids = sorted(h.id for h in db.search([0, 0, 0, 0], k=100, where_filter=where))
    assert db.count(where) == len(ids)
    return ids


class Int:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Real:
    def __float__(self):
        return 20.0


@pytest.mark.parametrize(
    "where, ids",
    [
        ({"genre": "rock"}, ["a", "c"]),
        ({"genre": {"$in": ["rock"]}}, ["a", "c"]),
        ({"genre": {"$in": ["rock", "jazz", 3]}}, ["a", "c", "d"]),
        ({"genre": {"$in": []}}, []),
        ({"genre": {"$ne": "rock"}}, ["b", "d"]),  # e has no metadata: never matches
        ({"tag": {"$ne": "x"}}, ["a", "b", "d"]),  # a missing field differs
        ({"year": 2020}, ["a"]),  # the int, not the float 2020.0
        ({"year": 2020.0}, ["b"]),
        ({"year": Int(2020)}, ["a"]),
        ({"year": {"$gte": 2020}}, ["a", "b", "c"]),
        ({"price": {"$gt": 5, "$lt": 25}}, ["b", "d"]),  # strict bounds, AND
        ({"price": {"$gte": 5, "$lte": 25}}, ["a", "b", "c", "d"]),
        ({"price": {"$lt": Real()}}, ["a", "b", "d"]),
        ({"price": {"$lt": True}}, []),  # True is 1.0
        ({"active": True}, ["a"]),  # not the int 1
        ({"active": 1}, ["b"]),
        ({"genre": "rock", "price": {"$gt": 10}}, ["c"]),
        ({"genre": "rock", "year": {}}, ["a", "c"]),  # an empty operator dict adds nothing
        ({"genre": "metal"}, []),
        ({"nope": None}, []),
    ],
)
def test_selection(filled, where, ids):
    assert selected(filled, where) == ids


def test_empty_filter_accepts_every_record_with_metadata(filled):
    # An empty AND: every record whose metadata is an object.
    assert selected(filled, {}) == ["a", "b", "c", "d"]


def test_non_finite_values(filled):
    filled.add("n", [9, 9, 9, 9], {"v": None, "price": 1.0})
    assert selected(filled, {"v": float("nan")}) == ["n"]  # NaN and inf become null
    assert selected(filled, {"v": float("inf")}) == ["n"]
    assert selected(filled, {"price": {"$gt": float("nan")}}) == []


def test_integers_beyond_the_signed_range(db):
    db.add("u", [0, 0, 0, 0], {"n": 2**63 + 5})
    db.add("v", [0, 0, 0, 0], {"n": 2**64 - 1})
    db.add("f", [0, 0, 0, 0], {"n": float(2**64)})
    assert selected(db, {"n": 2**63 + 5}) == ["u"]
    assert selected(db, {"n": {"$in": [2**64 - 1, 2**64]}}) == ["f", "v"]
    assert selected(db, {"n": {"$gte": 2**63}}) == ["f", "u", "v"]  # compared as doubles


def test_numpy_scalars(filled, np):
    assert selected(filled, {"year": np.int64(2020)}) == ["a"]
    assert selected(filled, {"price": np.float32(12.5)}) == ["d"]
    assert selected(filled, {"price": {"$gt": np.float64(20)}}) == ["c"]


@pytest.mark.parametrize(
    "where, exc, message",
    [
        ({"price": {"$gt": "10"}}, ValueError, "$gt value must be a number"),
        ({"price": {"$gte": None}}, ValueError, "$gte value must be a number"),
        ({"price": {"$lt": [1]}}, ValueError, "$lt value must be a number"),
        ({"price": {"$lte": {}}}, ValueError, "$lte value must be a number"),
        ({"price": {"$eq": 5}}, ValueError, "unknown operator: $eq"),
        ({"price": {"$or": []}}, ValueError, "unknown operator: $or"),
        ({"price": {"gt": 5}}, ValueError, "unknown operator: gt"),
        ({"tags": {"$in": ("a", "b")}}, ValueError, "$in value must be a list"),
        ({"x": [1, 2]}, ValueError, "unsupported filter value type"),
        ({"x": {"$ne": (1,)}}, ValueError, "unsupported filter value type"),
        ({"x": {"$in": [1, [2]]}}, ValueError, "unsupported filter value type"),
        ({"x": object()}, ValueError, "unsupported filter value type"),
        ({1: "a"}, TypeError, None),
        ({"x": {1: 2}}, TypeError, None),
    ],
)
def test_errors(filled, where, exc, message):
    for call in (
        lambda: filled.count(where),
        lambda: filled.search([0, 0, 0, 0], where_filter=where),
        lambda: filled.search_many([[0, 0, 0, 0]], where_filter=where),
    ):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message


def test_first_failure_wins_in_dict_order(filled):
    with pytest.raises(ValueError, match=r"^\$in value must be a list$"):
        filled.count({"a": {"$in": 1}, "b": {"$zz": 1}})
    with pytest.raises(ValueError, match="^unknown operator: \\$zz$"):
        filled.count({"b": {"$zz": 1}, "a": {"$in": 1}})


def test_filter_parsed_after_the_vector(filled):
    with pytest.raises(TypeError, match="^argument 'vector'"):
        filled.search("abcd", where_filter={"x": {"$bad": 1}})
