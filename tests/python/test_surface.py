"""What the module exposes: classes, signatures, docstrings."""

import ast
import inspect
from pathlib import Path

import pytest

import kelpo
from kelpo import _kelpo

DASH = "\u2014"

# name -> (text signature without the name, docstring body or None)
METHODS = {
    "add": ("($self, id, vector, metadata=None)", None),
    "upsert": ("($self, id, vector, metadata=None)", "Add or update a vector."),
    "add_many": ("($self, ids, vectors, metadatas=None)", None),
    "search": (
        "($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)",
        "Search for the k nearest neighbors.\n"
        "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
        '`where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}\n'
        f"`max_distance`: optional float {DASH} discard results beyond this distance.",
    ),
    "search_many": (
        "($self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None)",
        "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
        "`where_filter`: optional metadata filter (same syntax as search).\n"
        f"`max_distance`: optional float {DASH} discard results beyond this distance.",
    ),
    "get": ("($self, id)", None),
    "delete": ("($self, id)", None),
    "delete_many": ("($self, ids)", None),
    "update": ("($self, id, vector=None, metadata=None)", None),
    "upsert_many": (
        "($self, ids, vectors, metadatas=None)",
        f"Batch upsert {DASH} inserts new vectors, updates existing ones.",
    ),
    "count": ("($self, where_filter=None)", "Count vectors matching a filter, or all vectors if no filter."),
    "ids": ("($self)", None),
    "save": ("($self)", None),
    "compact": (
        "($self)",
        "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
        "Call this after many deletes to reduce memory usage and disk size.",
    ),
    "enable_quantized_search": (
        "($self)",
        "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
        "with full-precision re-ranking. Automatically enabled when quantize=True is set.",
    ),
    "disable_quantized_search": ("($self)", "Disable quantized search."),
    "stats": (
        "($self)",
        "Get graph-level statistics for diagnostics.\n"
        "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
        "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
        "memory_quantized_bytes, uses_brute_force, uses_quantized_search.",
    ),
    "__enter__": ("($self)", "Context manager: auto-save on exit."),
    "__exit__": ("($self, _exc_type=None, _exc_val=None, _exc_tb=None)", None),
    "export_json": ("($self, path, pretty=False)", "Export all vectors and metadata to a JSON file."),
    "import_json": ("($self, path)", "Import vectors from a JSON file into this database (upsert semantics)."),
}

CLIENT_METHODS = {
    "create_collection": (
        "($self, name, dim, metric=None, m=None, ef_construction=None, quantize=False)",
        "Create a new collection. Fails if it already exists.",
    ),
    "get_collection": ("($self, name)", "Get an existing collection by name."),
    "get_or_create_collection": ("($self, name, dim, metric=None)", "Get or create a collection."),
    "delete_collection": ("($self, name)", "Delete a collection and all its data."),
    "list_collections": ("($self)", "List all collection names."),
}

PROPERTIES = {
    "quantized_search": "Whether quantized search is currently enabled.",
    "deleted_count": "Number of deleted slots that haven't been reclaimed.",
    "total_slots": "Total allocated slots (active + deleted).",
    "dim": None,
    "metric": None,
}


def test_module_registers_only_the_classes():
    public = [name for name in vars(_kelpo) if not name.startswith("__")]
    assert public == ["Database", "SearchResult", "Client"]  # in registration order
    assert _kelpo.__doc__ is None
    assert kelpo.Database is _kelpo.Database and kelpo.SearchResult is _kelpo.SearchResult
    assert kelpo.Client is _kelpo.Client
    assert isinstance(kelpo.__version__, str)


def check_method(cls, obj, name, signature, doc):
    method = getattr(cls, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    # Both the class's function and the bound method give a usable signature.
    expected = signature.replace("$self, ", "").replace("$self", "")
    assert str(inspect.signature(getattr(obj, name))) == expected
    assert str(inspect.signature(method)) == signature.replace("$self", "self, /")


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_docstring(name, db):
    check_method(kelpo.Database, db, name, *METHODS[name])


@pytest.mark.parametrize("name", CLIENT_METHODS)
def test_client_method_signature_and_docstring(name, tmp_path):
    check_method(kelpo.Client, kelpo.Client(str(tmp_path)), name, *CLIENT_METHODS[name])


@pytest.mark.parametrize("cls, table", [(kelpo.Database, METHODS), (kelpo.Client, CLIENT_METHODS)])
def test_method_table_has_nothing_else(cls, table):
    own = {n for n, v in vars(cls).items() if callable(v) and not n.startswith("__")}
    assert own == {n for n in table if not n.startswith("__")}


@pytest.mark.parametrize("name", PROPERTIES)
def test_property_docstring(name):
    assert vars(kelpo.Database)[name].__doc__ == PROPERTIES[name]


def test_class_signatures():
    text = "(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)"
    assert kelpo.Database.__text_signature__ == text
    assert str(inspect.signature(kelpo.Database)) == text
    assert not kelpo.Database.__doc__
    assert kelpo.SearchResult.__text_signature__ is None
    assert not kelpo.SearchResult.__doc__
    assert kelpo.Client.__text_signature__ == "(path)"
    assert str(inspect.signature(kelpo.Client)) == "(path)"
    assert not kelpo.Client.__doc__


def test_search_result_cannot_be_constructed():
    for call in (lambda: kelpo.SearchResult(), lambda: kelpo.SearchResult("a", 1.0)):
        with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
            call()


def test_type_stubs_match_the_module():
    """The shipped .pyi declares every method with the module's parameters,
    defaults and docstring, and every property."""
    stub = ast.parse((Path(kelpo.__file__).parent / "_kelpo.pyi").read_text())
    classes = {n.name: n for n in stub.body if isinstance(n, ast.ClassDef)}
    for cls, table in ((kelpo.Database, METHODS), (kelpo.Client, CLIENT_METHODS)):
        functions = {f.name: f for f in classes[cls.__name__].body if isinstance(f, ast.FunctionDef)}
        for name in table:
            params = inspect.signature(getattr(cls, name)).parameters.values()
            runtime = [(p.name, p.default) for p in params if p.name != "self"]
            args = functions[name].args
            defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
            declared = [(a.arg, d) for a, d in zip(args.args, defaults) if a.arg != "self"]
            assert [n for n, _ in declared] == [n for n, _ in runtime], name
            assert [d for _, d in declared] == [None if d is inspect.Parameter.empty else d for _, d in runtime], name
            assert ast.get_docstring(functions[name]) == table[name][1], name
        new = [a.arg for a in functions["__new__"].args.args[1:]]
        assert new == list(inspect.signature(cls).parameters)
    functions = {f.name for f in classes["Database"].body if isinstance(f, ast.FunctionDef)}
    assert set(PROPERTIES) <= functions


def test_unbound_method_on_foreign_object():
    with pytest.raises(TypeError):
        kelpo.Database.count(object())
