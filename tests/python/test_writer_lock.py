"""One writing process per database directory, checked with real processes."""

import os
import subprocess
import sys
import textwrap

import pytest

import kelpo

CHILD = textwrap.dedent("""
    import sys
    import kelpo
    db = kelpo.Database(sys.argv[1], dim=2)
    db.add("c1", [1.0, 1.0])
    print("ready", flush=True)
    sys.stdin.readline()
    db.add("c2", [2.0, 2.0])
""")


def start_writer(path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", CHILD, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True, env=env)
    assert child.stdout.readline() == "ready\n"
    return child


def snapshot(path):
    return {name: (path / name).read_bytes() for name in sorted(os.listdir(path))}


def test_a_second_process_may_read_but_not_write(tmp_path):
    path = tmp_path / "db"
    first = kelpo.Database(str(path), dim=2)
    first.add("p0", [0.0, 0.0])
    first.save()
    del first  # this process lets go of the directory

    child = start_writer(str(path))
    try:
        reader = kelpo.Database(str(path))
        assert sorted(reader.ids()) == ["c1", "p0"]
        assert [h.id for h in reader.search([1, 1], k=1)] == ["c1"]
        before = snapshot(path)
        busy = f"io error: database is being written by another process (pid {child.pid})"
        for write in (lambda: reader.add("x", [3, 3]), lambda: reader.upsert("p0", [3, 3]),
                      lambda: reader.update("p0", metadata={"k": 1}), lambda: reader.delete("p0"),
                      lambda: reader.delete("never-there"), lambda: reader.add_many(["y"], [[4, 4]]),
                      lambda: reader.delete_many(["p0"]), reader.save, reader.compact):
            with pytest.raises(ValueError) as e:
                write()
            assert str(e.value) == busy
        assert snapshot(path) == before and sorted(reader.ids()) == ["c1", "p0"]
        child.stdin.write("go\n")
        child.stdin.close()
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()

    # The writer has gone, but it wrote c2 after this reader opened: a save
    # from this stale view would drop c2, so writing needs a fresh open.
    with pytest.raises(ValueError, match="changed by another process since it was opened"):
        reader.add("x", [3, 3])
    del reader
    db = kelpo.Database(str(path))
    assert sorted(db.ids()) == ["c1", "c2", "p0"]
    # Several objects of one process share the process's lock.
    twin = kelpo.Database(str(path))
    db.add("x", [3, 3])
    twin.add("y", [4, 4])
    del db, twin
    assert sorted(kelpo.Database(str(path)).ids()) == ["c1", "c2", "p0", "x", "y"]
