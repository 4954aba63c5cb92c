"""Writes the fuzz harnesses' seed corpora (fuzz/corpus/<harness>/) from databases the package itself writes.

Run from the checkout with the package importable: python3 fuzz/make_seeds.py
"""

import json
import os
import shutil
import struct
import sys
import tempfile

import kelpo

HERE = os.path.dirname(os.path.abspath(__file__))
SEP = b"\n--kelpo-part--\n"


def seed(harness, name, data):
    d = os.path.join(HERE, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def fill(db, deletes=True):
    db.add("a", [1, 0, 0, 0], {"genre": "rock", "year": 2020, "tags": ["x", 1]})
    db.add_many(["b", "c", "d"], [[0, 1, 0, 0], [0, 0, 1, 0], [0.5, 0.5, 0, 0]],
                [{"genre": "pop", "price": 2.5}, None, {"n": None, "b": True, "u": "\u00e9"}])
    db.upsert("e", [0, 0, 0, 1], {"year": -3})
    db.update("a", metadata={"genre": "jazz"})
    db.update("b", [0.1, 0.9, 0, 0])
    if deletes:
        db.delete("c")
        db.delete_many(["d", "missing"])


def main():
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)
    tmp = tempfile.mkdtemp()
    try:
        # A saved database with every file, one with a log beside its save, and an empty one.
        saved = os.path.join(tmp, "saved")
        db = kelpo.Database(saved, dim=4, metric="cosine", quantize=True)
        fill(db)
        db.save()
        del db
        files = {n: read(os.path.join(saved, n)) for n in ("graph.kelpo", "vectors.bin", "vectors.sq8")}
        logged = os.path.join(tmp, "logged")
        shutil.copytree(saved, logged)
        db = kelpo.Database(logged)
        db.add("f", [1, 1, 1, 1], {"late": 1})
        db.delete("a")
        del db
        wal = read(os.path.join(logged, "wal.kelpo"))
        empty = os.path.join(tmp, "empty")
        kelpo.Database(empty, dim=4, metric="l2").save()
        unsaved = os.path.join(tmp, "unsaved")
        db = kelpo.Database(unsaved, dim=4)
        fill(db)
        del db
        full_log = read(os.path.join(unsaved, "wal.kelpo"))

        seed("fuzz_graph_file", "saved", files["graph.kelpo"])
        seed("fuzz_graph_file", "empty", read(os.path.join(empty, "graph.kelpo")))
        n = struct.unpack_from("<I", files["graph.kelpo"], 4 + 4 + 4 + 1 + 4 + 4 + 4 + 4)[0]
        seed("fuzz_vectors_file", "saved", struct.pack("<II", n, 4) + files["vectors.bin"])
        seed("fuzz_quantizer_file", "saved", struct.pack("<II", n, 4) + files["vectors.sq8"])
        seed("fuzz_wal", "every_kind", full_log)
        seed("fuzz_wal", "after_save", wal)
        seed("fuzz_wal", "torn", full_log[:-7])
        seed("fuzz_open_dir", "saved_with_log", SEP.join([files["graph.kelpo"], files["vectors.bin"],
                                                           files["vectors.sq8"], wal]))
        seed("fuzz_open_dir", "saved", SEP.join([files["graph.kelpo"], files["vectors.bin"], b"", b""]))
        seed("fuzz_open_dir", "empty", SEP.join([read(os.path.join(empty, "graph.kelpo")),
                                                 read(os.path.join(empty, "vectors.bin")), b"", b""]))

        exported = os.path.join(tmp, "export.json")
        db = kelpo.Database(saved)
        db.export_json(exported)
        db.export_json(exported + ".pretty", pretty=True)
        del db
        seed("fuzz_import", "compact", b"\x07" + read(exported))
        seed("fuzz_import", "pretty", b"\x00" + read(exported + ".pretty"))

        for i, text in enumerate(['{"genre":"rock","year":2020,"tags":["x",1],"n":null}', '[1,-2,3.5e-7,true]',
                                  '"\\u00e9\\ud83d\\ude00"', '{"a":{"b":{"c":[[[]]]}}}', '18446744073709551615']):
            seed("fuzz_metadata_json", f"value{i}", text)
        records = [{"g": "rock", "y": 2020}, {"g": "pop", "y": 2020.0}, {"g": "rock", "y": -1, "b": True},
                   None, {"g": None}, {"y": 1e300}, {"g": ["rock"]}, {"b": 1}]
        for i, f in enumerate([{"g": "rock"}, {"g": {"$in": ["rock", "pop"]}, "y": {"$gte": 2020}},
                               {"g": {"$ne": "rock"}}, {"y": {"$gt": 0, "$lt": 3000}}, {"b": True},
                               {"g": None}, {}]):
            seed("fuzz_filter", f"filter{i}", json.dumps({"f": f, "r": records}))
    finally:
        shutil.rmtree(tmp)
    print("seeds written under", os.path.join(HERE, "corpus"), file=sys.stderr)


if __name__ == "__main__":
    main()
