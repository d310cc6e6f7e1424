"""The exceptions of the orvane.connect() API.

Every one derives from orvane.Error and from the built-in type a Python
program would catch for the same mistake: KeyError for a missing collection
or id, ValueError for a wrong dimension, a bad filter or a bad argument,
OSError for the file. The message is the engine's text.
"""


class Error(Exception):
    """Base class of the errors of orvane.connect() and what it returns."""

    # KeyError would show its message quoted; keep the plain text for all.
    __str__ = Exception.__str__


class CollectionNotFoundError(Error, KeyError):
    """No collection has that name."""


class IdNotFoundError(Error, KeyError):
    """No vector has that id."""


class CollectionExistsError(Error, ValueError):
    """create_collection() named a collection that exists."""


class DimensionError(Error, ValueError):
    """A vector's length differs from the collection's dimension."""


class FilterError(Error, ValueError):
    """A metadata filter is malformed."""


class InvalidArgumentError(Error, ValueError):
    """An argument the engine refuses (an id that exists, counts that differ, ...)."""


class DatabaseClosedError(Error, ValueError):
    """The database was closed."""


class StorageError(Error, OSError):
    """The file could not be read or written."""


class DatabaseLockedError(StorageError):
    """Another process has the file open."""


class CorruptDatabaseError(StorageError):
    """The file is not a sound orvane database."""


__all__ = [
    "Error", "CollectionNotFoundError", "IdNotFoundError", "CollectionExistsError",
    "DimensionError", "FilterError", "InvalidArgumentError", "DatabaseClosedError",
    "StorageError", "DatabaseLockedError", "CorruptDatabaseError",
]

# Shown as orvane.X in tracebacks, where users import them from.
for _name in __all__:
    globals()[_name].__module__ = "orvane"
del _name
