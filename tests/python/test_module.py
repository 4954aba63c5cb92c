"""Loading the module, and an end-to-end pass over the whole surface."""

import os
import sys
import textwrap

import pytest

import kelpo


def test_second_interpreter_is_refused(tmp_path):
    try:
        import _interpreters as interpreters  # 3.13
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters  # 3.11, 3.12
        except ImportError:
            pytest.skip("no sub-interpreter support in this build")
    out = tmp_path / "result"
    script = textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path!r}
        try:
            import kelpo
            result = "loaded"
        except ImportError as e:
            result = "ImportError: " + str(e)
        with open({str(out)!r}, "w") as f:
            f.write(result)
    """)
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
    assert out.read_text().startswith("ImportError")
    # The first interpreter keeps working.
    db = kelpo.Database(str(tmp_path / "db"), dim=2)
    db.add("a", [1, 0])
    assert db.ids() == ["a"]


def test_round_trip_of_every_method(tmp_path):
    db = kelpo.Database(os.path.join(tmp_path, "db"), dim=3, metric="cosine")
    db.add("a", [1, 0, 0], {"kind": "x"})
    db.upsert("b", [0, 1, 0])
    db.upsert("b", [0, 1, 0.1], {"kind": "y"})
    db.add_many(["c", "d"], [[0, 0, 1], [1, 1, 0]], [{"kind": "x"}, None])
    db.upsert_many(["d", "e"], [[1, 1, 0.1], [1, 0, 1]])
    db.update("e", metadata={"kind": "x"})
    db.update("a", vector=[1, 0.1, 0])

    assert sorted(db.ids()) == ["a", "b", "c", "d", "e"]
    assert len(db) == db.count() == 5 and "e" in db
    assert db.count({"kind": "x"}) == 3
    assert [h.id for h in db.search([1, 0, 0], k=2)] == ["a", "e"]
    assert [h.id for h in db.search([1, 0, 0], k=5, where_filter={"kind": "x"})] == ["a", "e", "c"]

    assert db.delete("a") is True and db.delete("a") is False
    assert db.delete_many(["b", "b", "zz", "c"]) == 2
    assert sorted(db.ids()) == ["d", "e"] and "a" not in db
    assert db.total_slots - db.deleted_count == len(db) == 2

    stats = db.stats()
    assert list(stats) == [
        "num_vectors", "num_deleted", "num_layers", "avg_degree_layer0", "max_degree_layer0",
        "min_degree_layer0", "memory_vectors_bytes", "memory_graph_bytes", "memory_quantized_bytes",
        "uses_brute_force", "uses_quantized_search",
    ]
    assert stats["num_vectors"] == 2 and stats["uses_brute_force"] is True
    assert type(stats["avg_degree_layer0"]) is float


def test_exact_results_match_brute_force(tmp_path, np):
    rng = np.random.default_rng(7)
    data = rng.standard_normal((500, 16)).astype(np.float32)
    queries = rng.standard_normal((20, 16)).astype(np.float32)
    db = kelpo.Database(str(tmp_path), dim=16, metric="euclidean")
    db.add_many([str(i) for i in range(len(data))], data)
    exact = ((queries[:, None, :] - data[None, :, :]) ** 2).sum(-1).argsort(axis=1)[:, :10]
    for q, want, hits in zip(queries, exact, db.search_many(queries, k=10)):
        assert [int(h.id) for h in hits] == list(want)
        assert [h.id for h in db.search(q, k=10)] == [h.id for h in hits]


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(sanitizer_loaded(), reason="AddressSanitizer aborts on absurd allocations instead of throwing")
def test_engine_allocation_failure_is_an_exception(tmp_path):
    # An absurd graph degree makes the engine's allocations fail; that must
    # surface as a Python exception, not abort the interpreter.
    with pytest.raises((MemoryError, ValueError)):
        db = kelpo.Database(str(tmp_path), dim=4, m=2**40)
        db.add("a", [1, 2, 3, 4])
