"""export_json and import_json from Python: the document, round trips and failures."""

import json
import os
import struct

import pytest

import kelpo


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def bits(x):
    return struct.pack("f", x)


def test_the_documents_exactly(tmp_path):
    db = kelpo.Database(str(tmp_path / "db"), dim=2)
    db.add("a", [1.0, 0.5], {"k": "v"})
    db.export_json(str(tmp_path / "c.json"))
    assert (tmp_path / "c.json").read_text() == (
        '{"version":1,"dim":2,"metric":"cosine","vectors":[{"id":"a","vector":[1.0,0.5],"metadata":{"k":"v"}}]}'
    )
    db.export_json(str(tmp_path / "p.json"), pretty=True)
    assert (tmp_path / "p.json").read_text() == "\n".join(
        [
            "{",
            '  "version": 1,',
            '  "dim": 2,',
            '  "metric": "cosine",',
            '  "vectors": [',
            "    {",
            '      "id": "a",',
            '      "vector": [',
            "        1.0,",
            "        0.5",
            "      ],",
            '      "metadata": {',
            '        "k": "v"',
            "      }",
            "    }",
            "  ]",
            "}",
        ]
    )
    empty = kelpo.Database(str(tmp_path / "e"), dim=3, metric="l2")
    empty.export_json(str(tmp_path / "e.json"))
    assert (tmp_path / "e.json").read_text() == '{"version":1,"dim":3,"metric":"euclidean","vectors":[]}'


def test_round_trip_is_bit_for_bit(tmp_path):
    values = [1e-6, 1e13, 1.0, 100.0, -0.0, 1e-7, 1.25e13, 3.4028234663852886e38, 1.1754943508222875e-38,
              1.401298464324817e-45, 7.038531e-26, 0.1]
    dim = len(values)
    src = kelpo.Database(str(tmp_path / "src"), dim=dim, metric="dot")
    src.add("edges", values, {"nested": {"list": [1, -2, 2.5, None, "s"]}, "big": 2**64 - 1})
    src.add("plain", [float(i) for i in range(dim)])
    src.add("gone", [0.0] * dim)
    src.delete("gone")
    for pretty in (False, True):
        path = str(tmp_path / f"doc-{pretty}.json")
        src.export_json(path, pretty=pretty)
        doc = json.loads(open(path).read())
        assert [r["id"] for r in doc["vectors"]] in (["edges", "plain"], ["plain", "edges"])
        dst = kelpo.Database(str(tmp_path / f"dst-{pretty}"), dim=dim, metric="euclidean")
        dst.import_json(path)
        assert sorted(dst.ids()) == ["edges", "plain"]
        for id in ("edges", "plain"):
            want, got = src.get(id), dst.get(id)
            assert [bits(x) for x in got[0]] == [bits(x) for x in want[0]]
            assert got[1] == want[1]
        dst.import_json(path)  # again: an upsert of the same records
        assert len(dst) == 2 and dst.total_slots == 2
    text = open(str(tmp_path / "doc-False.json")).read()
    for literal in ("0.000001", "1e+13", "-0.0", "1e-7", "1.25e+13", "3.4028235e+38", "1.1754944e-38", "1e-45"):
        assert literal in text


def test_missing_or_null_metadata_means_none(tmp_path):
    db = kelpo.Database(str(tmp_path / "db"), dim=1)
    db.add("a", [1.0])
    db.export_json(str(tmp_path / "a.json"))
    assert json.loads((tmp_path / "a.json").read_text())["vectors"][0]["metadata"] is None
    (tmp_path / "in.json").write_text(
        '{"vectors":[{"id":"x","vector":[1]},{"id":"y","vector":[2],"metadata":null},'
        '{"id":"z","vector":[3],"metadata":{"m":1},"extra":[1]}],"metric":"?","dim":1,"version":2,"extra":{}}'
    )
    db.import_json(str(tmp_path / "in.json"))
    assert db.get("x")[1] is None and db.get("y")[1] is None and db.get("z")[1] == {"m": 1}


def test_failures_change_nothing(tmp_path):
    db = kelpo.Database(str(tmp_path / "db"), dim=8)
    db.add("keep", [1.0] * 8, {"k": 1})

    def attempt(text, message):
        (tmp_path / "doc.json").write_text(text)
        with pytest.raises(ValueError) as e:
            db.import_json(str(tmp_path / "doc.json"))
        assert str(e.value) == message
        assert db.ids() == ["keep"] and db.get("keep") == ([1.0] * 8, {"k": 1})

    attempt('{"version":1,"dim":4,"metric":"cosine","vectors":[{"id":"a","vector":[1,2,3,4]}]}',
            "dimension mismatch: expected 8, got 4")
    good = '{"id":"a","vector":[1,2,3,4,5,6,7,8]}'
    attempt('{"version":1,"dim":8,"metric":"cosine","vectors":[' + good + ',\n{"id":"b","vector":[1,2,}]}',
            "corrupt data: invalid JSON: expected value at line 2 column 25")
    attempt('{"version":1,"dim":8,"metric":"cosine","vectors":[' + good + ',{"id":"b","vector":[1]}]}',
            "dimension mismatch: expected 8, got 1")
    attempt('{"version":-1,"dim":8,"metric":"cosine","vectors":[]}',
            "corrupt data: invalid JSON: invalid value: -1, expected a non-negative integer at line 1 column 13")
    attempt('{"version":1,"dim":8,"vectors":[]}', "corrupt data: invalid JSON: missing field `metric` at line 1 column 34")
    attempt('{"version":1,"dim":8,"metric":"cosine","vectors":[]} []',
            "corrupt data: invalid JSON: trailing characters at line 1 column 54")
    with pytest.raises(ValueError) as e:
        db.import_json(str(tmp_path / "missing.json"))
    assert str(e.value) == "No such file or directory (os error 2)"


def test_non_finite_components_are_refused_on_import(tmp_path):
    path = tmp_path / "n.json"
    other = kelpo.Database(str(tmp_path / "other"), dim=2)
    path.write_text('{"version":1,"dim":2,"metric":"euclidean","vectors":[{"id":"n","vector":[null,1.0]}]}')
    with pytest.raises(ValueError) as e:
        other.import_json(str(path))
    assert str(e.value).startswith("corrupt data: invalid JSON: invalid type: null, expected f32")
    # A number beyond the float range reads as infinity, which no vector may hold.
    path.write_text('{"version":1,"dim":2,"metric":"euclidean","vectors":[{"id":"ok","vector":[1,2]},'
                    '{"id":"n","vector":[1.0,-1e39]}]}')
    with pytest.raises(ValueError) as e:
        other.import_json(str(path))
    assert str(e.value) == "invalid vector: id 'n', component 1 is not finite"
    assert len(other) == 0


def test_export_failures(tmp_path):
    db = kelpo.Database(str(tmp_path / "db"), dim=1)
    db.add("a", [1.0])
    with pytest.raises(ValueError) as e:
        db.export_json(str(tmp_path / "no" / "dir.json"))
    assert str(e.value) == "No such file or directory (os error 2)"
    with pytest.raises(ValueError) as e:
        db.export_json(str(tmp_path))
    assert str(e.value) == "Is a directory (os error 21)"
    with pytest.raises(ValueError) as e:
        db.export_json("")
    assert str(e.value) == "No such file or directory (os error 2)"
    # Only the document itself is left behind by a successful export.
    db.export_json(str(tmp_path / "out.json"))
    assert sorted(os.listdir(tmp_path)) == ["db", "out.json"]


def test_argument_types(tmp_path):
    db = kelpo.Database(str(tmp_path / "db"), dim=1)
    with pytest.raises(TypeError, match="path"):
        db.export_json(1)
    with pytest.raises(TypeError, match="pretty"):
        db.export_json(str(tmp_path / "x.json"), pretty=1)
    with pytest.raises(TypeError, match="pretty"):
        db.export_json(str(tmp_path / "x.json"), None)
    with pytest.raises(TypeError, match="path"):
        db.import_json(None)
    assert not (tmp_path / "x.json").exists()


def test_imported_values_match_what_python_floats_would_store(tmp_path):
    """Numbers with more digits than a float holds, integers and exponents all
    become the nearest float32; the Python route agrees except where reading a
    double first rounds twice."""
    texts = ["0.1", "1", "-2", "1E3", "0.30000000000000004", "16777217", "3.4028235e38", "1e-45", "-0"]
    doc = {"version": 1, "dim": len(texts), "metric": "cosine", "vectors": []}
    path = tmp_path / "d.json"
    path.write_text(json.dumps(doc).replace('"vectors": []', '"vectors": [{"id": "a", "vector": [%s]}]' % ",".join(texts)))
    db = kelpo.Database(str(tmp_path / "db"), dim=len(texts))
    db.import_json(str(path))
    assert [bits(x) for x in db.get("a")[0]] == [bits(f32(float(t))) for t in texts]
