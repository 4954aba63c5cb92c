"""The command line, run as `python -m kelpo` in a subprocess (and through
main() where a property test needs many runs)."""

import contextlib
import hashlib
import importlib.util
import io
import json
import os
import pty
import random
import struct
import subprocess
import sys

import pytest
try:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
except ImportError:  # the 3.13 run borrows only pytest from Debian: its property tests skip

    class _Anything:
        def __getattr__(self, name):
            return lambda *args, **kwargs: None

    def given(*args, **kwargs):
        return pytest.mark.skip(reason="hypothesis is not installed")

    settings = given
    st = HealthCheck = _Anything()

import kelpo
from kelpo._cli import main

# The package under test first, then whatever the suite runs with (which may hide numpy).
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [os.path.dirname(os.path.dirname(kelpo.__file__))] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
DIM = 8
N = 300


def kelpo_cli(*args, **kw):
    return subprocess.run([sys.executable, "-m", "kelpo", *map(str, args)], capture_output=True, text=True, env=ENV,
                          timeout=300, **kw)


def in_process(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = main([str(a) for a in args])
    return code, out.getvalue(), err.getvalue()


def snapshot(path):
    """Every file's name, size, time and content hash: what a read-only command must leave alone."""
    out = {}
    for name in sorted(os.listdir(path)):
        p = os.path.join(path, name)
        st_ = os.stat(p)
        with open(p, "rb") as f:
            out[name] = (st_.st_size, st_.st_mtime_ns, hashlib.sha256(f.read()).hexdigest())
    return out


def vector(i):
    rng = random.Random(i)
    return [rng.uniform(-1, 1) for _ in range(DIM)]


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """A saved quantized database with deletions, plus a log of three writes not yet saved."""
    path = str(tmp_path_factory.mktemp("cli") / "db")
    db = kelpo.Database(path, dim=DIM, metric="euclidean", quantize=True)
    db.add_many([f"r{i}" for i in range(N)], [vector(i) for i in range(N)], [{"g": i % 3} for i in range(N)])
    db.delete_many(["r1", "r2"])
    db.save()
    db.upsert("new", vector(1000), {"g": 9})
    db.delete("r3")
    db.update("r4", metadata={"g": 7})
    del db
    return path


def copy_of(saved, tmp_path):
    dst = tmp_path / "copy"
    dst.mkdir()
    for name in os.listdir(saved):
        (dst / name).write_bytes(open(os.path.join(saved, name), "rb").read())
    return str(dst)


def test_info_and_check_read_without_writing(saved, tmp_path):
    path = copy_of(saved, tmp_path)
    (tmp_path / "copy" / "writer.lock").write_bytes(b"")  # another tool's file is not damage
    before = snapshot(path)
    r = kelpo_cli("info", path, "--json")
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    assert (info["dim"], info["metric"], info["live"], info["deleted"], info["total_slots"]) == (
        DIM, "euclidean", N - 2, 2, N)
    assert info["log"]["records"] == 3 and info["log"]["after_replay"] == {"live": N - 2, "total_slots": N + 1}
    assert info["quantization"].startswith("sq8") and info["files"]["vectors.bin"] == 4 * N * (DIM + 1)
    r = kelpo_cli("check", path)
    assert r.returncode == 0, r.stdout
    assert "no problems found" in r.stdout and "writer.lock" in r.stdout
    assert snapshot(path) == before


def test_a_database_never_saved_is_read_from_its_log(tmp_path):
    path = str(tmp_path / "db")
    db = kelpo.Database(path, dim=DIM, metric="dot")
    db.add_many(["a", "b"], [vector(1), vector(2)])
    db.delete("a")
    del db
    code, out, _ = in_process("info", path)
    assert code == 0 and "never saved" in out and "after replay: 1 live, 2 slots" in out
    assert in_process("check", path)[0] == 0
    assert in_process("save", path)[0] == 2  # the log does not say which metric
    r = kelpo_cli("save", path, "--metric", "dot")
    assert r.returncode == 0, r.stderr
    back = kelpo.Database(path)
    assert back.ids() == ["b"] and back.metric in ("dot", "dot_product") and back.dim == DIM


def _damage(path):
    """Several independent faults at once; check must name each one."""
    g = bytearray(open(os.path.join(path, "graph.kelpo"), "rb").read())
    d = struct.unpack_from("<I", g, 33)[0]
    first_list = 37 + 4 * d + 4  # node 0: L, then layer 0's count and slots
    struct.pack_into("<I", g, first_list + 4, 123456)
    open(os.path.join(path, "graph.kelpo"), "wb").write(g)
    with open(os.path.join(path, "vectors.bin"), "r+b") as f:
        f.seek(4 * N * DIM + 4 * 10)  # slot 10's norm
        f.write(struct.pack("<f", 1e6))
    with open(os.path.join(path, "vectors.sq8"), "r+b") as f:
        f.seek(4 + 8 * DIM + 20 * DIM)  # slot 20's codes
        f.write(bytes([0, 255] * (DIM // 2)))
    with open(os.path.join(path, "wal.kelpo"), "r+b") as f:
        f.truncate(os.path.getsize(os.path.join(path, "wal.kelpo")) - 3)


def test_check_reports_every_problem_of_a_damaged_copy(saved, tmp_path):
    path = copy_of(saved, tmp_path)
    _damage(path)
    before = snapshot(path)
    r = kelpo_cli("check", path)
    assert r.returncode == 1, r.stdout + r.stderr
    problems = [line for line in r.stdout.splitlines() if "PROBLEM" in line]
    assert len(problems) == 4, r.stdout
    text = "\n".join(problems)
    assert "names slot 123456" in text and "norms differ" in text and "slot 10 first" in text
    assert "quantized codes" in text and "slot 20 first" in text
    assert "damaged tail at byte" in text and "bytes ignored" in text
    assert kelpo_cli("info", path).returncode == 1
    assert snapshot(path) == before


@settings(max_examples=40, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(file=st.sampled_from(["graph.kelpo", "vectors.sq8", "wal.kelpo"]), where=st.floats(0, 1), bit=st.integers(0, 7),
       cut=st.booleans())
def test_check_is_clean_only_when_the_engine_opens_the_files(saved, tmp_path_factory, file, where, bit, cut):
    """One flipped bit or a cut anywhere: check never crashes, and a copy it
    passes as clean is one the engine opens."""
    path = copy_of(saved, tmp_path_factory.mktemp("fuzz"))
    p = os.path.join(path, file)
    data = bytearray(open(p, "rb").read())
    at = min(int(where * len(data)), len(data) - 1)
    if cut:
        del data[at:]
    else:
        data[at] ^= 1 << bit
    open(p, "wb").write(data)
    code, out, err = in_process("check", path)
    assert code in (0, 1) and not err
    if code == 0:
        kelpo.Database(path)


@settings(max_examples=25, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=st.lists(st.tuples(st.sampled_from(["add", "upsert", "delete", "save"]), st.integers(0, 6)), max_size=25))
def test_info_predicts_what_an_open_replays(tmp_path_factory, ops):
    """info's counts after replay, computed from the files alone, are the
    engine's after it opens the directory; check passes every such state."""
    path = str(tmp_path_factory.mktemp("ops") / "db")
    db = kelpo.Database(path, dim=3, metric="euclidean")
    db.save()
    for op, i in ops:
        if op == "save":
            db.save()
        elif op == "delete":
            db.delete(f"k{i}")
        elif op == "add" and f"k{i}" not in db:
            db.add(f"k{i}", [i, 1, 2], {"i": i})
        elif op == "upsert":
            db.upsert(f"k{i}", [1, i, 2])
    del db
    info = json.loads(in_process("info", path, "--json")[1])
    opened = kelpo.Database(path)
    assert info["log"]["after_replay"] == {"live": len(opened), "total_slots": opened.total_slots}
    code, out, _ = in_process("check", path)
    assert code == 0, out


def test_load_search_and_bad_input(tmp_path):
    rows = [{"id": f"doc{i}", "vector": vector(i), "metadata": {"n": i}} for i in range(50)]
    src = tmp_path / "in.jsonl"
    src.write_text("".join(json.dumps(r) + "\n" for r in rows))
    db = str(tmp_path / "db")
    r = kelpo_cli("load", db, src, "--metric", "euclidean")
    assert r.returncode == 0, r.stderr
    r = kelpo_cli("search", db, "--vector", json.dumps(vector(7)), "-k", "2", "--json")
    hits = json.loads(r.stdout)
    assert hits[0]["id"] == "doc7" and hits[0]["distance"] == 0 and hits[0]["metadata"] == {"n": 7}
    r = kelpo_cli("search", db, "--id", "doc3", "--where", '{"n": {"$gt": 40}}')
    assert r.returncode == 0 and "doc3" not in r.stdout and len(r.stdout.splitlines()) == 10  # a header and n 41..49

    before = snapshot(db)
    short = tmp_path / "short.jsonl"
    short.write_text(json.dumps({"vector": [1, 2]}) + "\n")
    baddoc = tmp_path / "bad.json"
    baddoc.write_text('{"version": 1, "dim": 3, "metric": "cosine", "vectors": [{"id": 1}]}')
    bad = [
        ("load", db, short),  # dimension mismatch
        ("load", db, tmp_path / "missing.npy"),
        ("load", db, src, "--ids", short),  # one id for 50 rows
        ("load", tmp_path / "none", tmp_path / "data.txt"),
        ("search", db, "--vector", "[1, 2]"),
        ("search", db, "--vector", "{"),
        ("search", db, "--id", "nope"),
        ("search", db, "--vector", json.dumps(vector(1)), "--where", '{"n": {"$or": 1}}'),
        ("info", tmp_path / "none"),
        ("check", src),
        ("tune", db, "--ef", "x"),
        ("export", db, tmp_path / "no" / "such" / "dir.json"),
        ("import", db, src),
        ("import", tmp_path / "none", baddoc),  # refused by the engine: no directory is left behind
        ("compact", tmp_path),
        ("search", db),
        ("frobnicate",),
    ]
    (tmp_path / "data.txt").write_text("1 2 3\n")
    for args in bad:  # in this process: a subprocess each would be slow, and main() is what runs there
        code, out, err = in_process(*args)
        assert code == 2, (args, out, err)
        assert len(err.strip().splitlines()) == 1 and err.startswith("kelpo: error: "), (args, err)
    assert snapshot(db) == before
    assert not (tmp_path / "none").exists()


def test_file_formats_load_alike(np, tmp_path):
    data = np.random.default_rng(3).standard_normal((120, DIM)).astype(np.float32)
    np.save(tmp_path / "v.npy", data)
    with open(tmp_path / "v.fvecs", "wb") as f:
        for row in data:
            f.write(struct.pack("<i", DIM) + row.tobytes())
    (tmp_path / "ids.txt").write_text("".join(f"x{i}\n" for i in range(120)))
    (tmp_path / "m.jsonl").write_text("".join(json.dumps({"i": i}) + "\n" for i in range(120)))
    with open(tmp_path / "v.bvecs", "wb") as f:
        for row in data:
            f.write(struct.pack("<i", DIM) + np.clip(row * 10 + 100, 0, 255).astype(np.uint8).tobytes())
    cases = [("v.npy", ["--metadata", tmp_path / "m.jsonl"]), ("v.fvecs", ["--ids", tmp_path / "ids.txt"])]
    if importlib.util.find_spec("h5py") is not None:
        import h5py

        with h5py.File(tmp_path / "v.hdf5", "w") as f:
            f["train"] = data
        cases.append(("v.hdf5", []))
    for name, extra in cases:
        db = tmp_path / f"db-{name}"
        r = kelpo_cli("load", db, tmp_path / name, "--limit", 100, "--batch", 30, *extra)
        assert r.returncode == 0, r.stderr
        back = kelpo.Database(str(db))
        assert len(back) == 100
        key = "x42" if "ids" in str(extra) else "42"
        assert np.allclose(back.get(key)[0], data[42])
    r = kelpo_cli("load", tmp_path / "db-b", tmp_path / "v.bvecs", "--limit", 5)
    got = kelpo.Database(str(tmp_path / "db-b")).get("3")[0]
    assert r.returncode == 0 and got == np.clip(data[3] * 10 + 100, 0, 255).astype(np.uint8).astype(np.float32).tolist()
    with open(tmp_path / "bad.fvecs", "wb") as f:
        f.write(struct.pack("<i", DIM) + data[0].tobytes() + struct.pack("<i", DIM + 1) + data[1].tobytes())
    r = kelpo_cli("load", tmp_path / "db-bad", tmp_path / "bad.fvecs")
    assert r.returncode == 2 and "row 1" in r.stderr and not (tmp_path / "db-bad").exists()


def test_tune_export_import_compact(np, saved, tmp_path):
    path = copy_of(saved, tmp_path)
    plot = tmp_path / "tune.png"
    args = ["tune", path, "--queries", 20, "--ef", "10,40", "--json"]
    has_plot = importlib.util.find_spec("matplotlib") is not None
    r = kelpo_cli(*args, *(["--plot", plot] if has_plot else []))
    assert r.returncode == 0, r.stderr
    table = json.loads(r.stdout.split("\nplot written")[0])
    assert [row["ef"] for row in table["ladder"]] == [10, 40] and table["ladder"][-1]["recall"] == 1.0
    assert not has_plot or plot.read_bytes()[:4] == b"\x89PNG"

    doc = tmp_path / "doc.json"
    assert kelpo_cli("export", path, doc).returncode == 0
    assert in_process("import", tmp_path / "again", doc)[0] == 0
    again = kelpo.Database(str(tmp_path / "again"))
    assert sorted(again.ids()) == sorted(kelpo.Database(path).ids()) and again.get("r4")[1] == {"g": 7}
    r = kelpo_cli("compact", path)
    assert r.returncode == 0, r.stderr
    assert "wal.kelpo" not in os.listdir(path) and kelpo.Database(path).total_slots == len(again)
    assert in_process("check", path)[0] == 0


def test_progress_shows_on_a_terminal_only(tmp_path):
    src = tmp_path / "in.jsonl"
    src.write_text("".join(json.dumps({"vector": vector(i)}) + "\n" for i in range(40)))
    piped = kelpo_cli("load", tmp_path / "a", src, "--batch", 10)
    assert piped.returncode == 0 and piped.stderr == ""
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(sys.executable, [sys.executable, "-m", "kelpo", "load", str(tmp_path / "b"), str(src), "--batch", "10"],
                  ENV)
    seen = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    os.waitpid(pid, 0)
    assert b"loading" in seen and b"40" in seen
