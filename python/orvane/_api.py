"""orvane.connect(): databases and collections for real workloads.

Batches go in as 2-D arrays (a C-contiguous float32 NumPy array is read in
place; float64 arrays and lists of lists are converted), results come back
as arrays, metadata travels as JSON beside each vector, and the engine runs
without the GIL, so threads search in parallel.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

from . import _core
from ._errors import DatabaseClosedError, DimensionError, IdNotFoundError
from ._progress import progress_bar
from ._results import BatchResult, GetResult, QueryResult, query_result

METRICS = ("cosine", "euclidean", "dot")
INDEXES = ("hnsw", "flat")
_METRIC_OF_ENGINE = {"Cosine": "cosine", "Euclidean": "euclidean", "DotProduct": "dot"}
_INDEX_OPTIONS = {"m": 16, "ef_construction": 200, "ef_search": 64}
_PROGRESS_CHUNK = 10_000


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def _id_list(ids: Iterable[str] | None, name: str = "ids") -> list[str] | None:
    if ids is None:
        return None
    if isinstance(ids, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of str, not a single {type(ids).__name__}")
    return list(ids)


def _metadata_texts(metadata: Iterable[Mapping[str, Any] | None] | None) -> list[str | None] | None:
    if metadata is None:
        return None
    if isinstance(metadata, Mapping):
        raise TypeError("metadata must be a sequence of dicts (one per vector), not a dict")
    texts: list[str | None] = []
    for m in metadata:
        if m is not None and not isinstance(m, Mapping):
            raise TypeError(f"metadata must be dicts or None, not {type(m).__name__}")
        texts.append(None if m is None else _json(dict(m)))
    return texts


def connect(path: str | os.PathLike[str], *, synchronous: str = "normal") -> Database:
    """Opens the database at `path`, creating it (in format 2) when it is missing.

    `synchronous` is "off" (bulk loads: a power cut may damage anything since
    the last close), "normal" (a power cut may lose the latest calls, never
    the file) or "full" (nothing acknowledged is ever lost). A file already
    open in this process, through either API, is the same database.
    """
    return Database(_core.Database(os.fspath(path), synchronous))


class Database:
    """An open database file. Use it as a context manager to close it at exit."""

    def __init__(self, handle: _core.Database) -> None:
        self._handle: _core.Database | None = handle
        self.path: str = handle.path

    def _engine(self) -> _core.Database:
        if self._handle is None:
            raise DatabaseClosedError("Database is closed")
        return self._handle

    def create_collection(self, name: str, dim: int, metric: str = "cosine",
                          index: str = "hnsw", **index_options: int) -> Collection:
        """Creates a collection of `dim`-dimensional vectors.

        metric: "cosine", "euclidean" or "dot" (scores are distances: smaller
        is closer). index: "hnsw" (options m, ef_construction, ef_search) or
        "flat" (exact search).
        """
        if metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
        if index not in INDEXES:
            raise ValueError(f"index must be one of {', '.join(INDEXES)}, not {index!r}")
        unknown = sorted(set(index_options) - set(_INDEX_OPTIONS))
        if unknown:
            raise TypeError(f"create_collection() got an unexpected index option {unknown[0]!r}")
        options = {**_INDEX_OPTIONS, **index_options}
        info = self._engine().create_collection(name, dim, metric, index, options["m"],
                                                options["ef_construction"], options["ef_search"])
        return Collection(self, info)

    def get_collection(self, name: str) -> Collection:
        """The collection named `name`; CollectionNotFoundError (a KeyError) when there is none."""
        return Collection(self, self._engine().collection_info(name))

    def get_or_create_collection(self, name: str, dim: int, metric: str = "cosine",
                                 index: str = "hnsw", **index_options: int) -> Collection:
        """The collection named `name`, created as create_collection() would when missing.

        An existing collection of another dimension is a DimensionError.
        """
        from ._errors import CollectionExistsError, CollectionNotFoundError
        try:
            found = self.get_collection(name)
        except CollectionNotFoundError:
            try:
                return self.create_collection(name, dim, metric, index, **index_options)
            except CollectionExistsError:  # another thread created it meanwhile
                found = self.get_collection(name)
        if found.dimension != dim:
            raise DimensionError(f"Dimension mismatch: expected {found.dimension}, got {dim}")
        return found

    def list_collections(self) -> list[str]:
        return self._engine().list_collections()

    def delete_collection(self, name: str) -> None:
        """Deletes the collection and its vectors."""
        self._engine().delete_collection(name)

    def close(self) -> None:
        """Writes everything to the file and releases it; later calls raise DatabaseClosedError.

        Closing twice is allowed.
        """
        handle, self._handle = self._handle, None
        if handle is not None:
            handle.close()

    def __enter__(self) -> Database:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<orvane.Database {self.path!r} ({state})>"


class Collection:
    """A named set of vectors of one dimension, with ids and optional metadata."""

    def __init__(self, db: Database, info: dict[str, Any]) -> None:
        self._db = db
        self.name: str = info["name"]
        self.dimension: int = info["dimension"]
        self.metric: str = _METRIC_OF_ENGINE.get(info["metric"], info["metric"])
        self.index: str = info["index"]

    def __len__(self) -> int:
        return self._db._engine().collection_info(self.name)["count"]

    def __repr__(self) -> str:
        return (f"Collection(name={self.name!r}, dimension={self.dimension}, "
                f"metric={self.metric!r}, index={self.index!r})")

    def add(self, vectors: Any, ids: Sequence[str] | None = None,
            metadata: Sequence[Mapping[str, Any] | None] | None = None, *,
            progress: bool = False) -> list[str]:
        """Adds one vector per row of `vectors` and returns their ids.

        ids: one str per row, or None to generate them. metadata: one
        JSON-serialisable dict (or None) per row. The call is one
        all-or-nothing unit; an id that exists already fails it (upsert()
        replaces instead). With progress=True a bar shows the rows written,
        and the rows are written in chunks of 10,000, each chunk its own
        unit: a failure keeps the chunks before it.
        """
        return self._write(vectors, ids, metadata, progress, upsert=False)

    def upsert(self, vectors: Any, ids: Sequence[str] | None = None,
               metadata: Sequence[Mapping[str, Any] | None] | None = None, *,
               progress: bool = False) -> list[str]:
        """As add(), but an id that exists gets the new vector and metadata."""
        return self._write(vectors, ids, metadata, progress, upsert=True)

    def _write(self, vectors, ids, metadata, progress, upsert) -> list[str]:
        engine = self._db._engine()
        id_list, texts = _id_list(ids), _metadata_texts(metadata)
        if not progress:
            return engine.add(self.name, vectors, id_list, texts, upsert)
        import numpy as np
        rows = np.ascontiguousarray(vectors, dtype=np.float32)
        if rows.ndim == 1:
            rows = rows.reshape(1, -1)
        out: list[str] = []
        bar = progress_bar(len(rows), f"{'upsert' if upsert else 'add'} {self.name}")
        try:
            for start in range(0, len(rows), _PROGRESS_CHUNK):
                end = start + _PROGRESS_CHUNK
                out += engine.add(self.name, rows[start:end],
                                  None if id_list is None else id_list[start:end],
                                  None if texts is None else texts[start:end], upsert)
                bar.update(min(end, len(rows)) - start)
        finally:
            bar.close()
        return out

    def search(self, queries: Any, k: int = 10, *, filter: Mapping[str, Any] | None = None,
               ef: int | None = None, include_metadata: bool = False,
               threads: int | None = None) -> QueryResult | BatchResult:
        """The k nearest vectors of each query.

        A 1-D query gives a QueryResult; a 2-D array (one query per row) a
        BatchResult of arrays. filter: a metadata filter such as
        {"genre": "news", "year": {"$gte": 2020}} (equality, $ne, $in, $nin,
        $lt, $lte, $gt, $gte, $and, $or). ef: the HNSW candidate list (the
        collection's ef_search when None). threads: cores a batch may use
        (all when None).
        """
        if k < 1:
            raise ValueError(f"k must be at least 1, not {k}")
        filter_json = None if filter is None else _json(filter)
        one_row, counts, ids, scores, meta = self._db._engine().search(
            self.name, queries, k, filter_json, ef or 0, threads or 0, include_metadata)
        if one_row:
            return query_result(counts, ids, scores, meta)
        return BatchResult(counts, ids, scores, meta)

    def get(self, ids: Sequence[str], include_vectors: bool = True) -> GetResult:
        """The vectors and metadata of `ids`, in that order; IdNotFoundError (a KeyError) for an id that is not stored."""
        id_list = _id_list(ids)
        found, vectors, meta = self._db._engine().get(self.name, id_list, include_vectors)
        if len(found) != len(id_list):
            have = set(found)
            missing = next(i for i in id_list if i not in have)
            raise IdNotFoundError(f"Id not found: {missing}")
        return GetResult(found, vectors, [None if m is None else json.loads(m) for m in meta])

    def delete(self, ids: Sequence[str] | None = None, *,
               filter: Mapping[str, Any] | None = None) -> int:
        """Deletes the given ids (unknown ones are skipped) and every vector `filter` matches.

        Returns how many were deleted. One all-or-nothing unit.
        """
        if ids is None and filter is None:
            raise TypeError("delete() needs ids, a filter, or both")
        filter_json = None if filter is None else _json(filter)
        return self._db._engine().delete(self.name, _id_list(ids), filter_json)
