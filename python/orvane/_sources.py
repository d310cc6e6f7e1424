"""What a database holds, read in pure Python for `convert`: each collection's
configuration and its live vectors with their ids and metadata, in batches.

The file is read as its next open would see it (the whole calls of a
left-over log laid over it in memory); nothing is written. Classic pages are
replayed as the engine replays them: records in slot order, a deletion marker
hides the records of its id before it, the latest record of an id wins.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Callable, Iterator

from ._database_file import DatabaseFile, effective_collections
from ._format import MAGIC, PAGE_SIZE, VERSION, DeletionMarker, VectorRecord, decode_data_record
from ._log import log_path_for, pending, scan_log
from ._replay import metadata_documents_by_id
from ._v2_file import V2File
from ._v2_format import V2_MAGIC, Damaged

BATCH = 10_000
CLASSIC_HNSW = {"m": 16, "ef_construction": 200, "ef_search": 64}

# ids, row-major float32 bytes (len(ids) * dimension floats), metadata values or None
Batch = tuple[list[str], bytes, list[object]]


class SourceError(Exception):
    """The source cannot be read as a whole; the text says why."""


@dataclass
class SourceCollection:
    name: str
    dimension: int
    metric: str  # "Cosine", "Euclidean", "DotProduct"
    index: str  # "hnsw" or "flat"
    params: dict[str, int]  # m, ef_construction, ef_search for "hnsw"
    count: int
    batches: Callable[[], Iterator[Batch]]


class Source:
    """Opened with `with Source(path) as s:`; s.format, s.collections."""

    def __init__(self, path: str) -> None:
        log = scan_log(log_path_for(path))
        frames: list[tuple[int, bytes]] = []
        if log is not None:
            todo = pending(log, os.stat(path).st_size)
            if log.problems or todo.refused:
                raise SourceError(f"its log does not replay ({(log.problems or [todo.refused])[0]})"
                                  "; open the database once to recover it")
            frames = todo.frames
        self.db = DatabaseFile(path, dict(frames))
        try:
            if self.db.magic() == V2_MAGIC:
                self.format, self.collections = 2, _v2_collections(self.db)
            else:
                self.format, self.collections = 1, _classic_collections(self.db)
        except Damaged as err:
            self.db.__exit__()
            raise SourceError(f"damaged format-2 file: {err}") from None
        except BaseException:
            self.db.__exit__()
            raise

    def __enter__(self) -> "Source":
        return self

    def __exit__(self, *_exc: object) -> None:
        self.db.__exit__()


def _classic_collections(db: DatabaseFile) -> list[SourceCollection]:
    header = db.header()
    if header is None or header.magic != MAGIC:
        raise SourceError("not an orvane database")
    if header.version != VERSION or header.page_size != PAGE_SIZE:
        raise SourceError(f"unsupported format version {header.version}")
    out = []
    for s in effective_collections(db.catalog(header)):
        c = s.config
        rows = _classic_rows(db, c.data_root_page, c.dimension)
        docs = metadata_documents_by_id(db.page(c.metadata_root_page)
                                        if c.metadata_root_page else None)
        out.append(SourceCollection(
            c.name, c.dimension, c.distance, "hnsw" if c.is_hnsw else "flat",
            dict(CLASSIC_HNSW) if c.is_hnsw else {}, len(rows),
            lambda rows=rows, docs=docs: _classic_batches(rows, docs)))
    return out


def _classic_rows(db: DatabaseFile, page_id: int, dim: int) -> list[tuple[str, bytes]]:
    """(id, vector bytes) of the live vectors, in the order their records stand."""
    page = db.page(page_id) if page_id else None
    if page is None:
        return []
    records: list[tuple[str, int, bytes] | None] = []
    shown: dict[str, list[int]] = {}  # id -> its unhidden records
    # Internal id -> the id whose latest record holds it. A record under an
    # internal id another id holds takes it, and that id is gone for good: a
    # marker that later hides the taker brings nothing back.
    holder: dict[int, str] = {}

    def release(ext: str, at: list[int]) -> None:
        """Lets go of the internal id that ext's latest record holds."""
        held = records[at[-1]][1]
        if holder.get(held) == ext:
            del holder[held]

    def hide(ext: str) -> None:
        at = shown.pop(ext, None)
        if at:
            release(ext, at)
            for i in at:
                records[i] = None

    for _slot, rec in page.records():
        r = decode_data_record(rec)
        if isinstance(r, DeletionMarker):
            hide(r.external_id)
        elif isinstance(r, VectorRecord) and r.complete and r.dimension == dim:
            ext, internal = r.external_id, r.internal_id
            if ext in shown:
                release(ext, shown[ext])
            other = holder.get(internal)
            if other is not None and other != ext:
                hide(other)
            holder[internal] = ext
            shown.setdefault(ext, []).append(len(records))
            at = 16 + len(ext.encode())
            records.append((ext, internal, rec[at:at + 4 * dim]))
    survivors = [x for x in records if x is not None]
    latest = {ext: internal for ext, internal, _v in survivors}
    # The index holds one vector per internal id; a later record under the
    # same internal id replaces it in place.
    out: list[tuple[str, bytes]] = []
    at: dict[int, int] = {}
    for ext, internal, vec in survivors:
        if latest[ext] != internal:
            continue
        if internal in at:
            out[at[internal]] = (ext, vec)
        else:
            at[internal] = len(out)
            out.append((ext, vec))
    return out


def _classic_batches(rows, docs) -> Iterator[Batch]:
    for at in range(0, len(rows), BATCH):
        part = rows[at:at + BATCH]
        yield ([r[0] for r in part], b"".join(r[1] for r in part),
               [json.loads(docs[r[0]]) if r[0] in docs else None for r in part])


def _v2_collections(db: DatabaseFile) -> list[SourceCollection]:
    f = V2File(db)
    out = []
    for entry in f.catalog()[1]:
        if not entry.live:
            continue
        c = f.collection(entry)
        cfg = entry.config
        params = ({"m": cfg.m, "ef_construction": cfg.ef_construction, "ef_search": cfg.ef_search}
                  if cfg.index_type == "hnsw" else {})
        out.append(SourceCollection(entry.name, cfg.dimension, cfg.metric, cfg.index_type,
                                    params, len(c.live),
                                    lambda f=f, c=c: _v2_batches(f, c)))
    return out


def _v2_batches(f: V2File, c) -> Iterator[Batch]:
    width = 4 * c.entry.config.dimension
    for first in range(0, len(c.slots), BATCH):
        count = min(BATCH, len(c.slots) - first)
        data = c.vector_bytes(f, first, count)
        live = [i for i in range(first, first + count) if c.slots[i].generation]
        if not live:
            continue
        ids = [c.id_of(i) for i in live]
        meta = [c.metadata_of(i) for i in live]
        yield (ids, b"".join(data[(i - first) * width:(i - first + 1) * width] for i in live),
               [json.loads(m) if m is not None else None for m in meta])

