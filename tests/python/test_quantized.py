"""Quantized traversal from Python: switching, statistics, and the quantizer file."""

import os

import pytest

import kelpo


def grid(n, dim):
    return [[float((i * 7 + j * 3) % 11) - 5.0 for j in range(dim)] for i in range(n)]


def test_switching_on_and_off(db):
    db.enable_quantized_search()
    assert db.quantized_search is False  # nothing to train on yet
    db.add_many([f"v{i}" for i in range(20)], grid(20, 4))
    before = [(r.id, r.distance) for r in db.search([0.5, -1.0, 2.0, 0.0], k=5)]

    db.enable_quantized_search()
    assert db.quantized_search is True
    stats = db.stats()
    assert stats["uses_quantized_search"] is True
    assert stats["memory_quantized_bytes"] == 8 * 4 + 20 * 4
    # Reported distances are the full-precision metric's, whatever the walk read.
    assert [(r.id, r.distance) for r in db.search([0.5, -1.0, 2.0, 0.0], k=5)] == before

    db.disable_quantized_search()
    assert db.quantized_search is False
    assert db.stats()["memory_quantized_bytes"] == 0
    with pytest.raises(AttributeError):
        db.quantized_search = True


def test_quantize_keeps_a_quantizer_file_across_saves(tmp_path):
    path = str(tmp_path / "q")
    db = kelpo.Database(path, dim=3, quantize=True)
    db.add_many(["a", "b", "c"], grid(3, 3))
    assert db.quantized_search is False  # only a reopened database walks the codes
    db.save()
    assert os.path.getsize(os.path.join(path, "vectors.sq8")) == 4 + 8 * 3 + 3 * 3
    del db

    reopened = kelpo.Database(path)
    assert reopened.quantized_search is True
    assert reopened.search(grid(3, 3)[1], k=1)[0].id == "b"
    reopened.disable_quantized_search()  # memory only: the next save still writes the file
    reopened.save()
    assert os.path.exists(os.path.join(path, "vectors.sq8"))
