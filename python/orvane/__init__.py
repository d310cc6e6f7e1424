"""orvane: an embedded, single-file vector database.

``orvane.connect(path)`` is the API for real workloads: NumPy batches in and
out, metadata and filters, threads. ``Kestrum`` and ``PyCollection`` are the
classic one-vector-at-a-time API.
"""

from ._native import Kestrum, PyCollection
from ._errors import (CollectionExistsError, CollectionNotFoundError, CorruptDatabaseError,
                      DatabaseClosedError, DatabaseLockedError, DimensionError, Error,
                      FilterError, IdNotFoundError, InvalidArgumentError, StorageError)

# The new API needs NumPy; load it on first use so the classic API works
# without it.
_LAZY = {"connect": "_api", "Database": "_api", "Collection": "_api", "QueryResult": "_results",
         "BatchResult": "_results", "GetResult": "_results", "Hit": "_results"}


def __getattr__(name: str):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'orvane' has no attribute {name!r}")
    from importlib import import_module
    value = getattr(import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))

__all__ = [
    "connect", "Database", "Collection", "QueryResult", "BatchResult", "GetResult", "Hit",
    "Error", "CollectionNotFoundError", "IdNotFoundError", "CollectionExistsError",
    "DimensionError", "FilterError", "InvalidArgumentError", "DatabaseClosedError",
    "StorageError", "DatabaseLockedError", "CorruptDatabaseError",
    "Kestrum", "PyCollection",
]
__version__ = "0.1.0"
