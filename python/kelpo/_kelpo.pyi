"""Type information for the extension module kelpo._kelpo."""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

class _Array(Protocol):
    """A numpy array (kept abstract so the stubs do not require numpy)."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    def __array__(self, *args: Any, **kwargs: Any) -> Any: ...

# One vector: a sequence of numbers or a one-dimensional array.
_Vector: TypeAlias = Sequence[SupportsFloat] | _Array
# Several vectors: a two-dimensional array or a sequence of vectors.
_Vectors: TypeAlias = _Array | Sequence[_Vector]
# Metadata: a dict that json.dumps can write.
_Metadata: TypeAlias = dict[Any, Any]
# A where_filter dict: {"field": value} or {"field": {"$ne"|"$in"|"$gt"|"$gte"|"$lt"|"$lte": operand}}.
_Filter: TypeAlias = dict[str, Any]

@final
class Database:
    def __new__(
        cls,
        path: str,
        dim: SupportsIndex | None = None,
        metric: str | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        quantize: bool = False,
    ) -> Database: ...
    def add(self, id: str, vector: _Vector, metadata: _Metadata | None = None) -> None: ...
    def upsert(self, id: str, vector: _Vector, metadata: _Metadata | None = None) -> None:
        """Add or update a vector."""
    def add_many(self, ids: Sequence[str], vectors: _Vectors, metadatas: list[_Metadata | None] | None = None) -> None: ...
    def search(
        self,
        vector: _Vector,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
    ) -> list[SearchResult]:
        """Search for the k nearest neighbors.
        Returns list of SearchResult objects with .id, .distance, .metadata attributes.
        `where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}
        `max_distance`: optional float — discard results beyond this distance."""
    def search_many(
        self,
        vectors: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
    ) -> list[list[SearchResult]]:
        """Search multiple queries in parallel. Returns list of list of SearchResult.
        `where_filter`: optional metadata filter (same syntax as search).
        `max_distance`: optional float — discard results beyond this distance."""
    def get(self, id: str) -> tuple[list[float], Any | None]: ...
    def delete(self, id: str) -> bool: ...
    def delete_many(self, ids: Sequence[str]) -> int: ...
    def update(self, id: str, vector: _Vector | None = None, metadata: _Metadata | None = None) -> None: ...
    def upsert_many(self, ids: Sequence[str], vectors: _Vectors, metadatas: list[_Metadata | None] | None = None) -> None:
        """Batch upsert — inserts new vectors, updates existing ones."""
    def count(self, where_filter: _Filter | None = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
    def ids(self) -> list[str]: ...
    def save(self) -> None: ...
    def compact(self) -> None:
        """Rebuild the index with only live vectors, reclaiming deleted slots.
        Call this after many deletes to reduce memory usage and disk size."""
    def enable_quantized_search(self) -> None:
        """Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal
        with full-precision re-ranking. Automatically enabled when quantize=True is set."""
    def disable_quantized_search(self) -> None:
        """Disable quantized search."""
    def stats(self) -> dict[str, int | float | bool]:
        """Get graph-level statistics for diagnostics.
        Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,
        max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,
        memory_quantized_bytes, uses_brute_force, uses_quantized_search."""
    def __enter__(self) -> Database:
        """Context manager: auto-save on exit."""
    def __exit__(self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None) -> bool: ...
    def export_json(self, path: str, pretty: bool = False) -> None:
        """Export all vectors and metadata to a JSON file."""
    def import_json(self, path: str) -> None:
        """Import vectors from a JSON file into this database (upsert semantics)."""
    @property
    def quantized_search(self) -> bool:
        """Whether quantized search is currently enabled."""
    @property
    def deleted_count(self) -> int:
        """Number of deleted slots that haven't been reclaimed."""
    @property
    def total_slots(self) -> int:
        """Total allocated slots (active + deleted)."""
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> str: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: str) -> bool: ...

@final
class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def distance(self) -> float: ...
    @property
    def metadata(self) -> Any | None: ...
    def __getitem__(self, idx: SupportsIndex) -> Any: ...

@final
class Client:
    def __new__(cls, path: str) -> Client: ...
    def create_collection(
        self,
        name: str,
        dim: SupportsIndex,
        metric: str | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        quantize: bool = False,
    ) -> Database:
        """Create a new collection. Fails if it already exists."""
    def get_collection(self, name: str) -> Database:
        """Get an existing collection by name."""
    def get_or_create_collection(self, name: str, dim: SupportsIndex, metric: str | None = None) -> Database:
        """Get or create a collection."""
    def delete_collection(self, name: str) -> bool:
        """Delete a collection and all its data."""
    def list_collections(self) -> list[str]:
        """List all collection names."""
