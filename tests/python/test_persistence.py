"""Saving, reopening, the context manager and compaction, from Python."""

import os

import pytest

import kelpo

NO_DB = "database not found \u2014 specify dim to create a new one"


def test_save_and_reopen_without_dim(tmp_path):
    path = str(tmp_path / "db")
    db = kelpo.Database(path, dim=3, metric="l2")
    db.add("a", [1, 2, 3], {"k": "v"})
    db.add("b", [4, 5, 6])
    assert db.delete("b")
    assert db.save() is None
    assert sorted(os.listdir(path)) == ["graph.kelpo", "vectors.bin", "writer.lock"]
    del db
    back = kelpo.Database(path, metric="nonsense")  # metric ignored when opening
    assert back.dim == 3 and back.metric == "euclidean"
    assert back.get("a") == ([1.0, 2.0, 3.0], {"k": "v"})
    assert back.total_slots == 2 and back.deleted_count == 1 and len(back) == 1


def test_open_failures_all_read_the_same(tmp_path):
    with pytest.raises(ValueError, match=f"^{NO_DB}$"):
        kelpo.Database(str(tmp_path / "missing"))
    assert not (tmp_path / "missing").exists()
    path = tmp_path / "db"
    kelpo.Database(str(path), dim=2).save()
    (path / "graph.kelpo").write_bytes(b"junk")
    with pytest.raises(ValueError, match=f"^{NO_DB}$"):
        kelpo.Database(str(path))
    with pytest.raises(ValueError, match="^io error: bad graph magic$"):
        kelpo.Database(str(path), dim=2)


def test_context_manager_saves_even_when_the_block_raises(tmp_path):
    path = str(tmp_path / "db")
    with pytest.raises(KeyError):
        with kelpo.Database(path, dim=2) as db:
            assert isinstance(db, kelpo.Database)
            db.add("x", [1, 0])
            raise KeyError("boom")
    assert not os.path.exists(os.path.join(path, "wal.kelpo"))
    assert "x" in kelpo.Database(path)
    db = kelpo.Database(path)
    assert db.__exit__(None, None, None) is False


def test_unsaved_writes_survive_through_the_log(tmp_path):
    path = str(tmp_path / "db")
    db = kelpo.Database(path, dim=2)
    db.add("x", [1, 0])
    del db  # never saved
    again = kelpo.Database(path, dim=2)
    assert "x" in again


def test_compact_reclaims_deleted_slots(tmp_path):
    db = kelpo.Database(str(tmp_path / "db"), dim=2, metric="l2")
    db.add_many(["x", "y", "z"], [[0, 0], [1, 1], [2, 2]], [{"n": 1}, {"n": 2}, {"n": 3}])
    db.delete("y")
    assert db.compact() is None
    assert db.total_slots == 2 and db.deleted_count == 0
    assert db.get("z") == ([2.0, 2.0], {"n": 3})
    assert [r.id for r in db.search([2, 2], k=1, where_filter={"n": 3})] == ["z"]
