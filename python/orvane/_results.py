"""Result types of orvane.connect() collections.

A batch search returns arrays, not a dict per hit: ids as an object array
and scores as a float32 array, both of shape (queries, k), with metadata
decoded from JSON only when it is read.
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from typing import Any, NamedTuple, overload

import numpy as np


def _decode(text: str | None) -> dict[str, Any] | None:
    return None if text is None else json.loads(text)


class Hit(NamedTuple):
    """One result: the id, the score (a distance: smaller is closer), the metadata when asked."""

    id: str
    score: float
    metadata: dict[str, Any] | None = None


class QueryResult(Sequence[Hit]):
    """The hits of one query, nearest first.

    ``ids`` is a list of str, ``scores`` a float32 array of the same length,
    ``metadata`` a list of dicts (None for a vector without metadata), or
    None when the search did not ask for it.
    """

    __slots__ = ("ids", "scores", "metadata")

    def __init__(self, ids: list[str], scores: np.ndarray,
                 metadata: list[dict[str, Any] | None] | None) -> None:
        self.ids = ids
        self.scores = scores
        self.metadata = metadata

    def __len__(self) -> int:
        return len(self.ids)

    @overload
    def __getitem__(self, i: int) -> Hit: ...
    @overload
    def __getitem__(self, i: slice) -> list[Hit]: ...

    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self[j] for j in range(*i.indices(len(self)))]
        meta = None if self.metadata is None else self.metadata[i]
        return Hit(self.ids[i], float(self.scores[i]), meta)

    def __iter__(self) -> Iterator[Hit]:
        return (self[i] for i in range(len(self)))

    def __repr__(self) -> str:
        return f"QueryResult({list(self)!r})"


class BatchResult(Sequence[QueryResult]):
    """The hits of many queries, one row per query.

    ``ids`` (object) and ``scores`` (float32) have shape (queries, k); row r
    holds ``counts[r]`` hits, and its unused places hold None and +inf.
    ``metadata`` is an object array of the same shape holding dicts (decoded
    on first use), or None when the search did not ask for it.
    ``result[r]`` is row r as a QueryResult.
    """

    def __init__(self, counts: np.ndarray, ids: np.ndarray, scores: np.ndarray,
                 metadata_json: np.ndarray | None) -> None:
        self.counts = counts
        self.ids = ids
        self.scores = scores
        self._metadata_json = metadata_json
        self._metadata: np.ndarray | None = None

    @property
    def metadata(self) -> np.ndarray | None:
        if self._metadata is None and self._metadata_json is not None:
            decoded = np.empty(self._metadata_json.shape, dtype=object)
            flat_in, flat_out = self._metadata_json.reshape(-1), decoded.reshape(-1)
            for i, text in enumerate(flat_in):
                flat_out[i] = _decode(text)
            self._metadata = decoded
        return self._metadata

    def __len__(self) -> int:
        return len(self.counts)

    @overload
    def __getitem__(self, r: int) -> QueryResult: ...
    @overload
    def __getitem__(self, r: slice) -> list[QueryResult]: ...

    def __getitem__(self, r):
        if isinstance(r, slice):
            return [self[j] for j in range(*r.indices(len(self)))]
        n = int(self.counts[r])
        meta = None
        if self._metadata_json is not None:
            meta = [_decode(t) for t in self._metadata_json[r, :n]]
        return QueryResult(self.ids[r, :n].tolist(), self.scores[r, :n], meta)

    def __iter__(self) -> Iterator[QueryResult]:
        return (self[r] for r in range(len(self)))

    def __repr__(self) -> str:
        return f"BatchResult({len(self)} queries, k={self.scores.shape[1]})"


def query_result(counts, ids, scores, metadata_json) -> QueryResult:
    """Row 0 of a search's arrays as a QueryResult."""
    return BatchResult(counts, ids, scores, metadata_json)[0]


class GetResult(NamedTuple):
    """Vectors fetched by id, in the order asked.

    ``vectors`` is a float32 array of shape (len(ids), dimension), or None
    when include_vectors was False; ``metadata`` one dict or None per id.
    """

    ids: list[str]
    vectors: np.ndarray | None
    metadata: list[dict[str, Any] | None]
