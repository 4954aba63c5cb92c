"""Progress for the command line: a tqdm bar when tqdm is installed, a
one-line counter on standard error otherwise, and nothing at all when
standard error is not a terminal (a log file wants no carriage returns).
The library itself never reports progress; only the tool does."""

from __future__ import annotations

import os
import pickle
import select
import sys
import time


def _wanted() -> bool:
    return sys.stderr.isatty()


class Progress:
    """Counts units of work; `with Progress(total, "loading", "vectors") as p: p.update(n)`."""

    def __init__(self, total: int | None, desc: str, unit: str = "it"):
        self.total, self.desc, self.unit = total, desc, unit
        self.done = 0
        self._bar = None
        self._plain = False
        self._started = time.monotonic()
        self._last = 0.0
        if not _wanted():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None:
            self._bar = tqdm(total=total, desc=desc, unit=unit, unit_scale=True, file=sys.stderr, leave=False)
        else:
            self._plain = True

    def update(self, n: int) -> None:
        self.done += n
        if self._bar is not None:
            self._bar.update(n)
        elif self._plain:
            now = time.monotonic()
            if now - self._last >= 0.2 or (self.total is not None and self.done >= self.total):
                self._last = now
                self._line()

    def rate(self) -> float:
        elapsed = time.monotonic() - self._started
        return self.done / elapsed if elapsed > 0 else 0.0

    def _line(self) -> None:
        of = f"/{self.total:,}" if self.total is not None else ""
        sys.stderr.write(f"\r{self.desc}: {self.done:,}{of} {self.unit} ({self.rate():,.0f} {self.unit}/s)\x1b[K")
        sys.stderr.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        elif self._plain:
            self._line()
            sys.stderr.write("\n")
            sys.stderr.flush()
            self._plain = False

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _position(pid: int, match) -> int | None:
    """The file offset of the first descriptor of process pid whose target
    matches, read from /proc (how far the process has read or written)."""
    base = f"/proc/{pid}"
    try:
        for fd in os.listdir(f"{base}/fd"):
            try:
                if not match(os.readlink(f"{base}/fd/{fd}")):
                    continue
                with open(f"{base}/fdinfo/{fd}") as f:
                    for line in f:
                        if line.startswith("pos:"):
                            return int(line.split()[1])
            except OSError:
                continue  # the descriptor closed while we looked
    except OSError:
        pass
    return None


def run_watched(work, desc: str, match, total: int | None):
    """Returns work(), showing how far it has read or written a file.

    Export and import run inside the engine with the interpreter lock held,
    so no thread of this process could report while they run. When progress
    is wanted, work() runs in a forked child instead (before any database is
    opened here, so the child owns its database and any lock outright) and
    this process follows the offset of the child's descriptor whose path
    satisfies `match`. The child sends back work()'s result, or the
    exception it raised, which is raised here."""
    if not _wanted() or not hasattr(os, "fork") or not os.path.isdir("/proc/self/fdinfo"):
        return work()
    read_end, write_end = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the child: never returns into the caller's code
        os.close(read_end)
        try:
            try:
                message = pickle.dumps(("ok", work()))
            except BaseException as e:  # handed to the parent, which decides
                message = pickle.dumps(("error", e))
            with os.fdopen(write_end, "wb") as out:
                out.write(message)
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    try:
        with Progress(total, desc, "B") as bar:
            while True:
                ready, _, _ = select.select([read_end], [], [], 0.2)
                if ready:
                    chunk = os.read(read_end, 65536)
                    if not chunk:
                        break
                    chunks.append(chunk)
                position = _position(pid, match)
                if position is not None and position > bar.done:
                    bar.update(position - bar.done)
    finally:
        os.close(read_end)
        os.waitpid(pid, 0)
    if not chunks:
        raise RuntimeError(f"{desc}: the worker process ended without a result")
    kind, value = pickle.loads(b"".join(chunks))
    if kind == "error":
        raise value
    return value
