"""Metadata in (through json.dumps) and out (through json.loads)."""

import json

import pytest


class TestConversion:
    @pytest.mark.parametrize(
        "given, expected",
        [
            ({"b": 1, "a": [1, 2.5, None]}, {"a": [1, 2.5, None], "b": 1}),
            ({1: "a", False: "b", None: "c", 2.5: "d"}, {"1": "a", "false": "b", "null": "c", "2.5": "d"}),
            ({"t": (1, 2), "n": {"z": {}, "y": []}}, {"n": {"y": [], "z": {}}, "t": [1, 2]}),
            ({"big": 2**64 - 1, "neg": -(2**63), "huge": 2**64}, {"big": 2**64 - 1, "neg": -(2**63), "huge": 2.0**64}),
            ({"s": "caf\u00e9 \U0001F600", "e": ""}, {"e": "", "s": "caf\u00e9 \U0001F600"}),
            ({}, {}),
        ],
    )
    def test_round_trip(self, db, given, expected):
        db.add("r", [0, 0, 0, 0], given)
        got = db.get("r")[1]
        assert got == expected
        assert list(got) == sorted(got)  # keys come back sorted
        assert [type(v) for v in got.values()] == [type(v) for v in dict(sorted(expected.items())).values()]

    def test_later_duplicate_key_wins(self, db):
        db.add("r", [0, 0, 0, 0], {1: "int", "1": "str"})
        assert db.get("r")[1] == {"1": "str"}

    @pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
    def test_non_finite_numbers_are_refused(self, db, bad):
        with pytest.raises(ValueError, match=r"^invalid metadata: .* at line \d+ column \d+$"):
            db.add("r", [0, 0, 0, 0], {"x": [1, bad]})
        assert "r" not in db

    def test_json_dumps_errors_pass_through(self, db):
        with pytest.raises(TypeError, match="not JSON serializable"):
            db.add("r", [0, 0, 0, 0], {"x": object()})
        with pytest.raises(TypeError, match="keys must be"):
            db.add("r", [0, 0, 0, 0], {(1, 2): "tuple key"})
        circular = {}
        circular["self"] = circular
        with pytest.raises(ValueError, match="Circular reference"):
            db.upsert("r", [0, 0, 0, 0], circular)

    def test_json_module_is_looked_up_at_each_call(self, db, monkeypatch):
        monkeypatch.setattr(json, "dumps", lambda obj: '{"patched": true}')
        db.add("r", [0, 0, 0, 0], {"x": 1})
        monkeypatch.setattr(json, "loads", lambda text: ("loaded", text))
        assert db.get("r")[1] == ("loaded", '{"patched":true}')

    def test_dict_subclasses_accepted(self, db):
        class D(dict):
            pass

        db.add("r", [0, 0, 0, 0], D(a=1))
        db.add_many(["s"], [[0, 0, 0, 0]], [D(b=2)])
        assert db.get("r")[1] == {"a": 1} and db.get("s")[1] == {"b": 2}

    def test_each_access_gives_a_new_object(self, filled):
        hit = filled.search([0, 0, 0, 0], k=1)[0]
        first = hit.metadata
        first["genre"] = "changed"
        assert hit.metadata["genre"] == "rock"
        assert filled.get("a")[1] is not filled.get("a")[1]


class TestBatchChecks:
    V3 = [[0, 0, 0, 0]] * 3

    def test_metadatas_items(self, db):
        db.add_many(["a", "b", "c"], self.V3, [{"a": 1}, None, {"b": 2}])
        assert [db.get(i)[1] for i in "abc"] == [{"a": 1}, None, {"b": 2}]
        db.upsert_many(["a", "b"], self.V3[:2])
        assert db.get("a")[1] is None

    @pytest.mark.parametrize(
        "ids, vectors, metadatas, exc, message",
        [
            (["a", "b", "c"], V3[:2], None, ValueError, "ids length (3) != vectors length (2)"),
            (["a", "b", "c"], V3, [{}, {}], ValueError, "metadatas length (2) != ids length (3)"),
            (["a", "b", "c"], V3, [{"a": 1}, 5, None], ValueError, "metadatas must be list of dicts or None"),
            (["a", "b", "c"], V3, [{}, [], {}], ValueError, "metadatas must be list of dicts or None"),
            # the order of the checks: ids, the vectors' form, metadatas' type, then lengths
            ("abc", "xyz", 5, TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
            (["a"], "xyz", 5, TypeError, "argument 'vectors': failed to extract enum"),
            (["a"], V3, 5, TypeError, "argument 'metadatas': "),
            (["a"], V3, [{}], ValueError, "ids length (1) != vectors length (3)"),
            (["a", "b", "c"], V3, [{}, {"x": float("nan")}], ValueError, "metadatas length (2) != ids length (3)"),
        ],
    )
    def test_errors(self, db, ids, vectors, metadatas, exc, message):
        for method in (db.add_many, db.upsert_many):
            with pytest.raises(exc) as info:
                method(ids, vectors, metadatas)
            assert str(info.value).startswith(message)
        assert len(db) == 0

    def test_contiguity_is_checked_after_the_metadatas_type(self, db, np):
        strided = np.zeros((2, 8), np.float32)[:, ::2]
        with pytest.raises(TypeError, match="^argument 'metadatas'"):
            db.add_many(["a", "b"], strided, "bad")
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            db.add_many(["a"], strided, [{}])

    def test_metadatas_list_mutated_by_a_dict_subclass(self, db):
        items = []

        class Shrinking(dict):
            def items(self):
                items.clear()
                return super().items()

        items.extend([Shrinking(a=1), {"b": 2}])
        with pytest.raises(IndexError):
            db.add_many(["a", "b"], self.V3[:2], items)
        assert len(db) == 0
