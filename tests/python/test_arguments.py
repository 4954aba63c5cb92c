"""Argument passing, scalar conversions and the exception types."""

import re

import pytest

import kelpo

NO_DB = "database not found \u2014 specify dim to create a new one"
BAD_METRIC = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"


class Index:
    """An int-like object that is not an int (as numpy integers are)."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class TestConstructor:
    def test_without_dim_reports_no_database(self, tmp_path):
        unsaved = tmp_path / "unsaved"
        kelpo.Database(str(unsaved), dim=2).add("a", [1, 2])  # a log, but nothing saved
        (tmp_path / "file").write_text("not a directory")
        for path in (tmp_path / "missing", unsaved, tmp_path / "file"):
            for kwargs in ({}, {"dim": None}, {"metric": "nonsense", "m": 3}):
                with pytest.raises(ValueError, match=f"^{NO_DB}$"):
                    kelpo.Database(str(path), **kwargs)
        assert not (tmp_path / "missing").exists()

    @pytest.mark.parametrize(
        "metric, canonical",
        [(None, "cosine"), ("cosine", "cosine"), ("euclidean", "euclidean"), ("l2", "euclidean"),
         ("dot", "dot_product"), ("dot_product", "dot_product")],
    )
    def test_metric_names(self, tmp_path, metric, canonical):
        db = kelpo.Database(str(tmp_path), dim=3, metric=metric)
        assert db.metric == canonical and db.dim == 3

    @pytest.mark.parametrize("metric", ["L2", "Cosine", "", "manhattan"])
    def test_bad_metric(self, tmp_path, metric):
        with pytest.raises(ValueError, match=f"^{re.escape(BAD_METRIC)}$"):
            kelpo.Database(str(tmp_path), dim=3, metric=metric)

    def test_arguments_by_keyword_and_position(self, tmp_path):
        db = kelpo.Database(path=str(tmp_path), dim=Index(2), metric="dot", m=8, ef_construction=None, quantize=False)
        assert db.dim == 2
        db = kelpo.Database(str(tmp_path / "p"), 2, "l2", 8, 50, True)
        assert db.metric == "euclidean"

    @pytest.mark.parametrize(
        "kwargs, exc, arg",
        [
            ({"dim": 2.0}, TypeError, "dim"),
            ({"dim": "2"}, TypeError, "dim"),
            ({"dim": -1}, OverflowError, "dim"),
            ({"dim": 2**64}, OverflowError, "dim"),
            ({"dim": 2, "metric": 1}, TypeError, "metric"),
            ({"dim": 2, "m": -3}, OverflowError, "m"),
            ({"dim": 2, "ef_construction": 1.5}, TypeError, "ef_construction"),
            ({"dim": 2, "quantize": None}, TypeError, "quantize"),
            ({"dim": 2, "quantize": 1}, TypeError, "quantize"),
        ],
    )
    def test_conversion_failures_name_the_argument(self, tmp_path, kwargs, exc, arg):
        with pytest.raises(exc, match=f"^argument '{arg}': "):
            kelpo.Database(str(tmp_path), **kwargs)

    def test_arguments_are_converted_before_the_missing_database_is_reported(self, tmp_path):
        with pytest.raises(OverflowError, match="argument 'm'"):
            kelpo.Database(str(tmp_path), m=-1)

    def test_path_must_be_text(self, tmp_path):
        with pytest.raises(TypeError, match="^argument 'path': "):
            kelpo.Database(tmp_path, dim=2)  # a pathlib.Path is not str

    def test_numpy_bool_accepted_for_quantize(self, tmp_path, np):
        kelpo.Database(str(tmp_path), dim=2, quantize=np.bool_(False))


class TestCallConventions:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda db: db.search(), "search() missing required argument 'vector' (pos 1)"),
            (lambda db: db.search([0] * 4, 1, None, None, None, 6), "search() takes at most 5 arguments (6 given)"),
            (lambda db: db.search([0] * 4, 3, k=3), "argument for search() given by name ('k') and position (2)"),
            (lambda db: db.search([0] * 4, kk=3), "search() got an unexpected keyword argument 'kk'"),
            (lambda db: db.ids(1), "ids() takes no arguments (1 given)"),
            (lambda db: db.get(), "get() missing required argument 'id' (pos 1)"),
        ],
    )
    def test_argument_count_errors(self, db, call, message):
        with pytest.raises(TypeError) as info:
            call(db)
        assert str(info.value).endswith(message)

    def test_keywords_in_any_order(self, filled):
        hits = filled.search(max_distance=1.0, where_filter={"genre": "rock"}, k=5, vector=[0, 0, 0, 0])
        assert [h.id for h in hits] == ["a"]

    def test_none_counts_as_absent(self, filled):
        everything = filled.search([0, 0, 0, 0], 5, None, None, None)
        assert [h.id for h in everything] == ["a", "b", "c", "d", "e"]
        assert filled.count(None) == 5
        filled.update("a", None, None)
        assert filled.get("a")[1]["genre"] == "rock"

    def test_k_must_not_be_none(self, db):
        with pytest.raises(TypeError, match="^argument 'k': "):
            db.search([0, 0, 0, 0], k=None)

    @pytest.mark.parametrize(
        "kwargs, exc, arg",
        [
            ({"k": -1}, OverflowError, "k"),
            ({"k": 1.0}, TypeError, "k"),
            ({"ef_search": -5}, OverflowError, "ef_search"),
            ({"where_filter": [("a", 1)]}, TypeError, "where_filter"),
            ({"max_distance": "1.0"}, TypeError, "max_distance"),
        ],
    )
    def test_search_argument_types(self, db, kwargs, exc, arg):
        with pytest.raises(exc, match=f"^argument '{arg}': "):
            db.search([0, 0, 0, 0], **kwargs)
        with pytest.raises(exc, match=f"^argument '{arg}': "):
            db.search_many([[0, 0, 0, 0]], **kwargs)

    def test_int_like_arguments(self, filled):
        assert len(filled.search([0, 0, 0, 0], k=Index(2), ef_search=Index(30))) == 2
        assert len(filled.search([0, 0, 0, 0], k=True)) == 1  # bool is an int
        assert [h.id for h in filled.search([0, 0, 0, 0], max_distance=Index(1))] == ["a", "b"]

    @pytest.mark.parametrize(
        "call, arg",
        [
            (lambda db: db.add(1, [0, 0, 0, 0]), "id"),
            (lambda db: db.get(b"a"), "id"),
            (lambda db: db.delete(None), "id"),
            (lambda db: db.update("a", metadata=[1]), "metadata"),
            (lambda db: db.add("a", [0, 0, 0, 0], metadata="x"), "metadata"),
            (lambda db: db.count(where_filter="genre"), "where_filter"),
            (lambda db: db.delete_many("abc"), "ids"),
            (lambda db: db.delete_many(["a", 1]), "ids"),
            (lambda db: db.add_many(["a"], [[0, 0, 0, 0]], ({},)), "metadatas"),
            (lambda db: db.add("\ud800", [0, 0, 0, 0]), "id"),
        ],
    )
    def test_type_errors_name_the_argument(self, db, call, arg):
        with pytest.raises(TypeError, match=f"^argument '{arg}': "):
            call(db)

    def test_contains_needs_text(self, filled):
        assert "a" in filled and "zz" not in filled
        with pytest.raises(TypeError, match="^argument 'id': "):
            1 in filled


class TestEngineErrors:
    """Every engine failure is a ValueError carrying the engine's text."""

    def test_messages(self, filled):
        cases = [
            (lambda: filled.add("a", [0, 0, 0, 0]), "id 'a' already exists, use upsert instead"),
            (lambda: filled.add("z", [1, 2, 3]), "dimension mismatch: expected 4, got 3"),
            (lambda: filled.search([1, 2]), "dimension mismatch: expected 4, got 2"),
            (lambda: filled.search_many([[0, 0, 0, 0], [1]]), "dimension mismatch: expected 4, got 1"),
            (lambda: filled.get("missing"), "id 'missing' not found"),
            (lambda: filled.update("missing", [1, 2]), "id 'missing' not found"),
            (lambda: filled.add_many(["y", "a"], [[0] * 4, [0] * 4]), "id 'a' already exists, use upsert instead"),
        ]
        for call, message in cases:
            with pytest.raises(ValueError) as info:
                call()
            assert type(info.value) is ValueError
            assert str(info.value) == message

    def test_failed_batch_changes_nothing(self, filled):
        with pytest.raises(ValueError):
            filled.add_many(["y", "a"], [[0] * 4, [0] * 4])
        assert "y" not in filled and len(filled) == 5
