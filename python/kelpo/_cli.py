"""The `kelpo` command line: `python -m kelpo COMMAND ...`.

Each command is a function taking the parsed arguments and returning an exit
status. Bad input (a missing directory, a file of the wrong kind, a dimension
that does not match) raises CliError before anything is written, and main()
turns it into one line on standard error and status 2; a traceback is kept
for bugs. `check` returns 1 when it finds problems.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import sys
import time

import kelpo
from kelpo import _cli_files as files
from kelpo._cli_progress import Progress, run_watched

METRIC_CHOICES = ("cosine", "euclidean", "l2", "dot", "dot_product")
EXIT_BAD_INPUT = 2


class CliError(Exception):
    """Bad input: reported as one line, exit status 2, nothing changed."""


def human_bytes(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:,} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1024
    return str(n)


def need_directory(path: str) -> str:
    if not os.path.exists(path):
        raise CliError(f"no such directory: '{path}'")
    if not os.path.isdir(path):
        raise CliError(f"not a directory: '{path}'")
    if not os.access(path, os.R_OK | os.X_OK):
        raise CliError(f"cannot read directory '{path}'")
    return path


def is_saved(path: str) -> bool:
    return os.path.isfile(os.path.join(path, files.GRAPH)) and os.path.isfile(os.path.join(path, files.VECTORS))


def need_saved(path: str) -> None:
    need_directory(path)
    if not is_saved(path):
        if os.path.exists(os.path.join(path, files.LOG)):
            raise CliError(
                f"'{path}' holds a log but was never saved, so its metric is recorded nowhere: "
                f"kelpo save '{path}' --metric METRIC saves it"
            )
        raise CliError(f"no kelpo database in '{path}' (no {files.GRAPH} and {files.VECTORS})")


def open_database(path: str) -> kelpo.Database:
    """Opens the saved database in `path` (replaying its log in memory)."""
    need_saved(path)
    try:
        return kelpo.Database(path)
    except ValueError as e:
        # The files are there, so "not found" means they could not be loaded.
        why = "its files are damaged or do not fit together" if "not found" in str(e) else str(e)
        raise CliError(f"cannot open '{path}': {why} (kelpo check '{path}' lists what is wrong)") from None


def need_input_file(path: str) -> str:
    if not os.path.exists(path):
        raise CliError(f"no such file: '{path}'")
    if os.path.isdir(path):
        raise CliError(f"'{path}' is a directory, not a file")
    if not os.access(path, os.R_OK):
        raise CliError(f"cannot read '{path}'")
    return path


def need_output_file(path: str) -> str:
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise CliError(f"'{path}' is a directory")
    if not os.path.isdir(parent):
        raise CliError(f"no such directory: '{parent}'")
    if not os.access(parent, os.W_OK):
        raise CliError(f"cannot write in '{parent}'")
    return path


def canonical_metric(name: str | None) -> str | None:
    if name is None:
        return None
    return {"l2": "euclidean", "dot_product": "dot"}.get(name, name)


def say(text: str = "") -> None:
    print(text, flush=True)


# ---- save, compact, export, import --------------------------------------------


def cmd_save(args) -> int:
    need_directory(args.dir)
    if not is_saved(args.dir) and os.path.isfile(os.path.join(args.dir, files.LOG)) and args.metric:
        # A database that was never saved has only its log: opening it with
        # its dimension and metric replays the log, and the save keeps it.
        scan = files.scan_log(os.path.join(args.dir, files.LOG))
        dim = next((e.vector_len for e in scan.entries if e.kind == files.INSERT), None)
        if dim is None:
            raise CliError(f"the log in '{args.dir}' holds no insert to take the dimension from")
        db = kelpo.Database(args.dir, dim=dim, metric=canonical_metric(args.metric))
    else:
        db = open_database(args.dir)
    t0 = time.monotonic()
    db.save()
    say(f"saved '{args.dir}': {len(db):,} records, {db.total_slots:,} slots ({time.monotonic() - t0:.1f} s)")
    return 0


def cmd_compact(args) -> int:
    db = open_database(args.dir)
    before = db.total_slots
    t0 = time.monotonic()
    db.compact()
    db.save()
    say(f"compacted '{args.dir}': {before:,} slots -> {db.total_slots:,} ({len(db):,} records, "
        f"{time.monotonic() - t0:.1f} s)")
    return 0


def cmd_export(args) -> int:
    need_output_file(args.file)
    need_saved(args.dir)
    target = os.path.abspath(args.file)
    # export_json writes a temporary file beside the target and renames it.
    prefix = os.path.join(os.path.dirname(target), "." + os.path.basename(target) + ".export-")
    t0 = time.monotonic()

    def work():
        db = open_database(args.dir)
        db.export_json(args.file, pretty=args.pretty)
        return len(db)

    count = run_watched(work, "exporting", lambda name: name.startswith(prefix), None)
    say(f"exported {count:,} records to '{args.file}' ({human_bytes(os.path.getsize(args.file))}, "
        f"{time.monotonic() - t0:.1f} s)")
    return 0


_DOC_HEAD = re.compile(rb'"dim"\s*:\s*(\d+)\s*,\s*"metric"\s*:\s*"([a-z_]+)"')


def cmd_import(args) -> int:
    need_input_file(args.file)
    metric = canonical_metric(args.metric)
    dim = args.dim
    if os.path.exists(args.dir) and not os.path.isdir(args.dir):
        raise CliError(f"not a directory: '{args.dir}'")
    exists = os.path.isdir(args.dir) and is_saved(args.dir)
    if not exists and (dim is None or metric is None):
        # An export names its dimension and metric at its start.
        with open(args.file, "rb") as f:
            head = _DOC_HEAD.search(f.read(4096))
        if head is None and dim is None:
            raise CliError(f"'{args.file}' does not start like a kelpo export; give --dim (and --metric)")
        if head is not None:
            dim = dim if dim is not None else int(head.group(1))
            metric = metric or canonical_metric(head.group(2).decode())
    target = os.path.realpath(args.file)
    created = not os.path.exists(args.dir)
    t0 = time.monotonic()

    def work():
        try:
            return import_into()
        except BaseException:
            # A refused document leaves no empty database directory behind.
            if created and os.path.isdir(args.dir) and not set(os.listdir(args.dir)) & set(files.KNOWN_FILES):
                shutil.rmtree(args.dir, ignore_errors=True)
            raise

    def import_into():
        if exists:
            db = open_database(args.dir)
            if dim is not None and dim != db.dim:
                raise CliError(f"--dim {dim} does not match the database's dimension {db.dim}")
            if metric is not None and metric != canonical_metric(db.metric):
                raise CliError(f"--metric {args.metric}: the database's metric is {db.metric}")
        else:
            try:
                db = kelpo.Database(args.dir, dim=dim, metric=metric or "cosine")
            except ValueError as e:
                raise CliError(f"cannot create a database in '{args.dir}': {e}") from None
        before = len(db)
        db.import_json(args.file)
        db.save()
        return before, len(db)

    before, after = run_watched(work, "importing", lambda name: name == target, os.path.getsize(args.file))
    say(f"imported '{args.file}' into '{args.dir}': {before:,} -> {after:,} records "
        f"({time.monotonic() - t0:.1f} s); saved")
    return 0


# ---- the parser ----------------------------------------------------------------


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


class _Parser(argparse.ArgumentParser):
    """argparse with its usage errors on one line and status 2."""

    def error(self, message):
        raise CliError(f"{message} (see {self.prog} --help)")


def build_parser() -> argparse.ArgumentParser:
    from kelpo import _cli_inspect, _cli_load, _cli_search

    p = _Parser(prog="kelpo", description="Inspect, check, load, search and tune kelpo databases.")
    p.add_argument("--version", action="version", version=f"kelpo {kelpo.__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def command(name, func, help_text, description=None):
        c = sub.add_parser(name, help=help_text, description=description or help_text)
        c.set_defaults(func=func)
        c.add_argument("dir", metavar="DIR", help="the database directory")
        return c

    c = command("info", _cli_inspect.cmd_info, "describe a database without opening it for writing",
                "Print a database's parameters, counts, files and estimated memory. Reads the files "
                "directly: never writes, never replays the log, takes no lock. Exit status 1 when the "
                "files are damaged.")
    c.add_argument("--json", action="store_true", help="print one JSON object")

    command("check", _cli_inspect.cmd_check, "read every file and report every problem found",
            "Read every file of a database and report every problem found: the graph's invariants, "
            "vector and quantizer file sizes and contents, the log to its end, ids against slots. "
            "Exit status 0 when clean, 1 when problems were found. Never modifies anything.")

    _cli_load.add_arguments(command("load", _cli_load.cmd_load, "bulk-load vectors from a file",
                                    "Upsert the vectors of a .npy, .fvecs, .bvecs, HDF5 (ann-benchmarks) or "
                                    "JSON Lines file into a database, creating it if needed, then save."))
    _cli_search.add_search_arguments(command("search", _cli_search.cmd_search, "search a database"))
    _cli_search.add_tune_arguments(command("tune", _cli_search.cmd_tune, "measure recall and speed over a range of ef",
                                           "Draw query vectors, compute their exact neighbours with numpy, and "
                                           "print recall@k and queries per second for a ladder of ef_search "
                                           "values."))

    c = command("export", cmd_export, "write every record to a JSON document")
    c.add_argument("file", metavar="FILE", help="the JSON document to write")
    c.add_argument("--pretty", action="store_true", help="indent the document")
    c = command("import", cmd_import, "upsert every record of a JSON document, then save",
                "Upsert the records of a JSON document written by export (creating the database if "
                "needed, with the document's dimension and metric), then save.")
    c.add_argument("file", metavar="FILE", help="the JSON document to read")
    c.add_argument("--dim", type=positive_int, help="dimension of a new database (default: the document's)")
    c.add_argument("--metric", choices=METRIC_CHOICES, help="metric of a new database (default: the document's)")
    c = command("save", cmd_save, "replay the log and save",
                "Replay the log and save. A database that was never saved has only its log, which does not "
                "record the metric: give it with --metric.")
    c.add_argument("--metric", choices=METRIC_CHOICES, help="the metric of a database that was never saved")
    command("compact", cmd_compact, "drop the slots of deleted records, then save")
    return p


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return args.func(args)
    except CliError as e:
        print(f"kelpo: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("\nkelpo: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # `kelpo search ... | head`: the reader left; say nothing more.
        sys.stderr.close()
        return 0
    except ValueError as e:
        # The engine's refusals (a vector of the wrong length, a bad filter).
        print(f"kelpo: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except OSError as e:
        print(f"kelpo: error: {e.strerror or e}" + (f": '{e.filename}'" if e.filename else ""), file=sys.stderr)
        return EXIT_BAD_INPUT
