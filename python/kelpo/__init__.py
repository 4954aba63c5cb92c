"""kelpo: an embedded vector database.

Open a directory, store float32 vectors under string ids with optional JSON
metadata, and ask for the nearest neighbours of a query vector:

    import kelpo
    db = kelpo.Database("./vectors", dim=3, metric="cosine")
    db.add("a", [0.1, 0.2, 0.3], {"genre": "rock"})
    for hit in db.search([0.1, 0.2, 0.25], k=5, where_filter={"genre": "rock"}):
        print(hit.id, hit.distance, hit.metadata)

A Client keeps named databases ("collections") as sub-directories of one
root directory, and any database can be written to and read back from a
JSON document with export_json and import_json.
"""

from kelpo._kelpo import Client, Database, SearchResult

__version__ = "0.1.0"

__all__ = ["Client", "Database", "SearchResult", "__version__"]
