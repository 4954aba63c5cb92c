"""The collections client: names, the order of its checks, and the root's layout."""

import os

import pytest

import kelpo

EMPTY = "invalid collection name: name cannot be empty"
PATHLIKE = "invalid collection name: name cannot contain path separators or be '.' or '..'"
CHARS = "invalid collection name: name must be alphanumeric, hyphens, or underscores"
BAD_METRIC = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"


@pytest.fixture
def client(tmp_path):
    return kelpo.Client(str(tmp_path / "root"))


def test_constructor_creates_the_whole_path(tmp_path):
    kelpo.Client(str(tmp_path / "a" / "b" / "c"))
    assert (tmp_path / "a" / "b" / "c").is_dir()
    kelpo.Client(str(tmp_path / "a"))  # an existing directory is fine
    (tmp_path / "file").write_text("x")
    with pytest.raises(ValueError, match="^io error: "):
        kelpo.Client(str(tmp_path / "file" / "sub"))


@pytest.mark.parametrize(
    "name, message",
    [
        ("", EMPTY),
        ("..", PATHLIKE),
        (".", PATHLIKE),
        ("a/b", PATHLIKE),
        ("a\\b", PATHLIKE),
        ("a.b/", PATHLIKE),  # separators are checked before characters
        ("a.b", CHARS),
        ("...", CHARS),
        ("a b", CHARS),
        ("x\u200d", CHARS),
    ],
)
def test_name_reasons(client, name, message):
    for call in (
        lambda: client.get_collection(name),
        lambda: client.create_collection(name, 4),
        lambda: client.get_or_create_collection(name, 4),
        lambda: client.delete_collection(name),
    ):
        with pytest.raises(ValueError) as e:
            call()
        assert str(e.value) == message


def test_letters_and_digits_of_any_script(client):
    names = ["café", "数据", "Ωmega", "٣x", "a-b_c"]
    for n in names:
        client.create_collection(n, 2).save()
    assert client.list_collections() == sorted(names, key=lambda s: s.encode())


def test_metric_is_checked_before_the_name(client):
    for name in ("x", "../x", ""):
        with pytest.raises(ValueError, match=f"^{BAD_METRIC}$".replace("(", r"\(").replace(")", r"\)")):
            client.create_collection(name, 4, metric="bad")
        with pytest.raises(ValueError) as e:
            client.get_or_create_collection(name, 4, metric="L2")
        assert str(e.value) == BAD_METRIC
    assert client.list_collections() == []
    # Argument types come before both.
    with pytest.raises(TypeError, match="quantize"):
        client.create_collection("../x", 4, metric="bad", quantize=None)
    with pytest.raises(TypeError, match="name"):
        client.create_collection(1, 4)
    with pytest.raises(TypeError, match="dim"):
        client.create_collection("x", None)
    with pytest.raises(OverflowError):
        client.create_collection("x", -1)


def test_create_get_and_the_stored_settings(client, tmp_path):
    db = client.create_collection("docs", 4, metric="l2", m=8, ef_construction=50)
    db.add("a", [1, 2, 3, 4], {"k": 1})
    db.save()
    with pytest.raises(ValueError, match="^collection 'docs' already exists$"):
        client.create_collection("docs", 4)
    (tmp_path / "root" / "plain").write_text("x")
    with pytest.raises(ValueError, match="^collection 'plain' already exists$"):
        client.create_collection("plain", 4)

    again = client.get_collection("docs")
    assert again is not db and again.metric == "euclidean" and again.dim == 4
    assert again.get("a") == ([1.0, 2.0, 3.0, 4.0], {"k": 1})
    # The stored dimension and metric win over the arguments.
    other = client.get_or_create_collection("docs", 8, metric="dot")
    assert (other.dim, other.metric) == (4, "euclidean")
    fresh = client.get_or_create_collection("fresh", 3, metric="dot")
    assert (fresh.dim, fresh.metric) == (3, "dot_product")

    root = str(tmp_path / "root")
    with pytest.raises(ValueError) as e:
        client.get_collection("nope")
    assert str(e.value) == f"database not found at '{root}/nope'"


def test_listing_skips_links_files_and_directories_without_a_graph(client, tmp_path):
    root = tmp_path / "root"
    for name in ("c", "a", "b"):
        client.create_collection(name, 2).save()
    client.create_collection("unsaved", 2)  # nothing written yet
    (root / "empty").mkdir()
    (root / "junk").mkdir()
    (root / "junk" / "vectors.bin").write_bytes(b"x")
    (root / "file").write_text("x")
    os.symlink(root / "a", root / "link")
    os.mkdir(os.path.join(os.fsencode(root), b"\xff"))
    open(os.path.join(os.fsencode(root), b"\xff", b"graph.kelpo"), "wb").close()
    assert client.list_collections() == ["a", "b", "c"]


def test_delete_removes_the_directory_but_not_what_links_point_at(client, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious").write_text("keep")
    db = client.create_collection("docs", 2)
    db.add("a", [1, 2])
    db.save()
    os.symlink(outside, tmp_path / "root" / "docs" / "link")
    assert client.delete_collection("docs") is True
    assert not (tmp_path / "root" / "docs").exists()
    assert (outside / "precious").read_text() == "keep"
    assert client.delete_collection("docs") is False
    assert client.list_collections() == []
    # A collection that is a link to a directory: the link goes, the directory stays.
    os.symlink(outside, tmp_path / "root" / "alias")
    assert client.delete_collection("alias") is True
    assert (outside / "precious").exists()
