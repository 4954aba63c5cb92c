#!/usr/bin/env python3
"""Kill -9 loop: acknowledged writes must survive a process killed at any moment.

Each trial starts a child process that opens one database directory and does random mixed work (add, upsert,
update, delete, their batch forms, save, compact, quantized search on and off; the database keeps quantized codes
on save). Before each call the child reports the call on a pipe, and after it returns it reports the
acknowledgement. The parent kills the child with SIGKILL at a random moment, reopens the directory and checks:
it opens; every acknowledged write is there with its exact vector and metadata; every acknowledged delete stays
deleted; nothing that was never written appears; the one call in flight is either wholly there or wholly absent.
The next trial continues on the same directory from the state just checked.

    scripts/crashloop.py [--trials N] [--seed S] [--dir PATH] [--max-seconds T]

Exits non-zero at the first failed trial, naming what differs.
"""

import argparse
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

DIM = 8
IDS = [f"id{i}" for i in range(300)]


def vector(rng):
    # Multiples of 1/16: exact in float32, so stored and expected compare equal.
    return [rng.randint(-64, 64) / 16 for _ in range(DIM)]


def metadata(rng):
    pick = rng.random()
    if pick < 0.25:
        return None
    m = {"n": rng.randint(-1000, 1000), "g": rng.choice(["rock", "pop", "jazz", "é"])}
    if pick > 0.6:
        m["f"] = rng.randint(-8, 8) / 4
        m["b"] = rng.random() < 0.5
        m["l"] = [rng.randint(0, 3), None, "x"]
    return m


def next_call(rng):
    """One random call as a JSON-able list: [method, args...]."""
    r = rng.random()
    if r < 0.22:
        return ["add", rng.choice(IDS), vector(rng), metadata(rng)]
    if r < 0.36:
        return ["upsert", rng.choice(IDS), vector(rng), metadata(rng)]
    if r < 0.46:
        # kind 0: the vector only, 1: the metadata only, 2: both. (None as metadata means "leave it".)
        kind = rng.randrange(3)
        return ["update", rng.choice(IDS), vector(rng) if kind != 1 else None,
                (metadata(rng) or {"u": 1}) if kind != 0 else None, kind != 0]
    if r < 0.56:
        return ["delete", rng.choice(IDS)]
    if r < 0.66:
        n = rng.choice([1, 5, 50, 400])
        ids = rng.sample(IDS, min(n, len(IDS)))
        return ["add_many", ids, [vector(rng) for _ in ids], [metadata(rng) for _ in ids]]
    if r < 0.78:
        n = rng.choice([1, 5, 50, 400])
        ids = [rng.choice(IDS) for _ in range(n)]
        return ["upsert_many", ids, [vector(rng) for _ in ids], [metadata(rng) for _ in ids]]
    if r < 0.85:
        return ["delete_many", [rng.choice(IDS) for _ in range(rng.choice([1, 10, 60]))]]
    if r < 0.93:
        return ["save"]
    if r < 0.97:
        return ["compact"]
    return ["quantized", rng.random() < 0.5]


def child(path, seed):
    import kelpo

    rng = random.Random(seed)
    db = kelpo.Database(path, dim=DIM, metric="euclidean", quantize=True)
    out = sys.stdout
    out.write("O\n")  # opened: the parent's clock for the kill starts here
    out.flush()
    while True:
        call = next_call(rng)
        out.write("B " + json.dumps(call) + "\n")
        out.flush()
        name = call[0]
        try:
            if name == "update":
                _, id, v, m, with_meta = call
                if with_meta:
                    db.update(id, v, m) if v is not None else db.update(id, metadata=m)
                else:
                    db.update(id, v)
            elif name == "quantized":
                db.enable_quantized_search() if call[1] else db.disable_quantized_search()
            elif name in ("save", "compact"):
                getattr(db, name)()
            else:
                getattr(db, name)(*call[1:])
            out.write("A\n")
        except ValueError as e:
            # Refused (a duplicate add, an update of a missing id): nothing changed.
            out.write("R " + json.dumps(str(e)) + "\n")
        out.flush()


def apply(state, call):
    """The state after `call` took effect; `state` maps id -> (vector, metadata)."""
    s = dict(state)
    name = call[0]
    if name == "add":
        if call[1] not in s:
            s[call[1]] = (call[2], call[3])
    elif name == "upsert":
        s[call[1]] = (call[2], call[3])
    elif name == "update":
        _, id, v, m, with_meta = call
        if id in s:
            old_v, old_m = s[id]
            s[id] = (v if v is not None else old_v, m if with_meta else old_m)
    elif name == "delete":
        s.pop(call[1], None)
    elif name == "add_many":
        if not any(id in s for id in call[1]):
            for id, v, m in zip(*call[1:]):
                s[id] = (v, m)
    elif name == "upsert_many":
        for id, v, m in zip(*call[1:]):
            s[id] = (v, m)
    elif name == "delete_many":
        for id in call[1]:
            s.pop(id, None)
    return s


def read_state(path):
    import kelpo

    db = kelpo.Database(path, dim=DIM, metric="euclidean", quantize=True)
    state = {id: db.get(id) for id in db.ids()}
    # A search over everything must agree with the records.
    if state:
        hits = db.search([0.0] * DIM, k=len(state))
        assert sorted(h.id for h in hits) == sorted(state), "search disagrees with ids()"
    del db
    return {id: (list(v), m) for id, (v, m) in state.items()}


def describe(expected, actual):
    lines = []
    for id in sorted(set(expected) | set(actual)):
        if expected.get(id) != actual.get(id):
            lines.append(f"  {id}: expected {expected.get(id)!r}, found {actual.get(id)!r}")
    return "\n".join(lines[:20])


def trial(path, state, rng, env, max_seconds):
    seed = rng.randrange(2**32)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", path, str(seed)],
                            stdout=subprocess.PIPE, env=env)
    # Most kills fall while the child works, timed from its open (start-up
    # time varies with the machine's load); one in ten falls from the start,
    # possibly during the open and its log replay.
    delay = rng.uniform(0.0, max_seconds)
    early = rng.random() < 0.1
    deadline = time.monotonic() + delay if early else None
    buf = b""
    acked, in_flight, calls = dict(state), None, 0
    fd = proc.stdout.fileno()

    def take(data):
        nonlocal buf, acked, in_flight, calls
        buf += data
        *lines, buf = buf.split(b"\n")
        for line in lines:
            if line == b"O" and deadline is None:
                set_deadline()
            elif line.startswith(b"B "):
                in_flight = json.loads(line[2:])
            elif line == b"A":
                acked = apply(acked, in_flight)
                in_flight, calls = None, calls + 1
            elif line.startswith(b"R "):
                in_flight, calls = None, calls + 1

    def set_deadline():
        nonlocal deadline
        deadline = time.monotonic() + delay

    while True:
        left = 5.0 if deadline is None else deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            break  # the child died on its own: reported below
        take(chunk)
    proc.send_signal(signal.SIGKILL)
    code = proc.wait()
    # What the child wrote before it died was acknowledged before the kill,
    # even if this side had not read it yet.
    while chunk := os.read(fd, 65536):
        take(chunk)
    proc.stdout.close()
    if code != -signal.SIGKILL:
        raise AssertionError(f"child exited by itself with {code}")
    actual = read_state(path)
    if actual == acked:
        return actual, calls, in_flight, False
    if in_flight is not None and actual == apply(acked, in_flight):
        return actual, calls, in_flight, True
    raise AssertionError(f"state after the kill differs (in flight: {json.dumps(in_flight)[:200]}):\n"
                         + describe(acked, actual))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--dir", default=None, help="database directory (default: a fresh temporary one)")
    parser.add_argument("--max-seconds", type=float, default=1.5, help="longest a child runs before its kill")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return 0

    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    tmp = None if args.dir else tempfile.mkdtemp(prefix="kelpo-crashloop-")
    path = args.dir or os.path.join(tmp, "db")
    state, calls, in_flight_kept, in_flight_total = {}, 0, 0, 0
    start = time.monotonic()
    try:
        for i in range(args.trials):
            try:
                state, n, in_flight, kept = trial(path, state, rng, env, args.max_seconds)
            except AssertionError as e:
                print(f"crashloop: trial {i + 1} of {args.trials} FAILED (seed {seed}, directory {path}):\n{e}")
                tmp = None  # keep the directory for a look
                return 1
            calls += n
            in_flight_total += in_flight is not None
            in_flight_kept += kept
            if (i + 1) % 100 == 0:
                print(f"crashloop: {i + 1} trials passed, {calls} acknowledged calls, {in_flight_total} kills "
                      f"inside a call, {time.monotonic() - start:.0f} s", file=sys.stderr, flush=True)
    finally:
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
    print(f"crashloop: {args.trials} trials passed (seed {seed}) in {time.monotonic() - start:.0f} s: "
          f"{calls} acknowledged calls checked, {in_flight_total} kills landed inside a call "
          f"({in_flight_kept} of those calls had taken effect), {len(state)} records at the end; "
          f"0 acknowledged writes lost")
    return 0


if __name__ == "__main__":
    sys.exit(main())
