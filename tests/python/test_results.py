"""SearchResult objects and the shape of search results."""

import pytest


@pytest.fixture
def hit(db):
    db.add("a", [0.5, 0, 0, 0], {"k": [1, "two"]})
    return db.search([0, 0, 0, 0], k=1)[0]


def test_members_and_indexing(hit):
    assert (hit.id, hit.distance, hit.metadata) == ("a", 0.25, {"k": [1, "two"]})
    assert (hit[0], hit[1], hit[2]) == ("a", 0.25, {"k": [1, "two"]})
    assert type(hit.distance) is float
    assert repr(hit) == "SearchResult(id='a', distance=0.2500)"


def test_index_errors(hit):
    with pytest.raises(ValueError, match="^index out of range$"):
        hit[3]
    with pytest.raises(OverflowError, match="^argument 'idx'"):
        hit[-1]
    with pytest.raises(TypeError, match="^argument 'idx'"):
        hit["id"]


def test_no_metadata_and_repr_without_escaping(db):
    db.add("it's", [1, 0, 0, 0])
    (hit,) = db.search([1, 0, 0, 0.5], k=1)
    assert hit.metadata is None and hit[2] is None
    assert repr(hit) == "SearchResult(id='it's', distance=0.2500)"


def test_empty_results(db):
    assert db.search([0, 0, 0, 0]) == []
    assert db.search_many([[0, 0, 0, 0], [1, 1, 1, 1]]) == [[], []]
    assert db.search_many([]) == []


def test_results_follow_query_order(filled):
    queries = [[4, 0, 0, 0], [0, 0, 0, 0], [2.1, 0, 0, 0]]
    lists = filled.search_many(queries, k=1)
    assert [[h.id for h in hits] for hits in lists] == [["e"], ["a"], ["c"]]
    with_filter = filled.search_many(queries, k=1, where_filter={"genre": "rock"}, max_distance=1.0)
    assert [[h.id for h in hits] for hits in with_filter] == [[], ["a"], ["c"]]
