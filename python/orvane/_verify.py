"""`verify`: checks every invariant the file format promises.

The database is checked as its next open will see it: the whole calls of a
left-over log are laid over the file's pages in memory (nothing is written).
Errors make the file unsound; warnings name waste or oddities that lose
nothing (leaked pages, snapshot links to deleted vectors).
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from ._catalog import CollectionConfig
from ._database_file import CatalogSlot, DatabaseFile, effective_collections
from ._findings import Findings, at_page, quote, page_ranges, plural
from ._format import (
    HEADER_SIZE,
    MAGIC,
    PAGE_SIZE,
    PAGE_TYPE_CATALOG,
    PAGE_TYPE_DATA,
    PAGE_TYPE_EDGES,
    PAGE_TYPE_METADATA,
    VERSION,
    Header,
    Page,
)
from ._log import LogScan, log_path_for, pending, scan_log
from ._replay import replay_vectors
from ._v2_format import V2_MAGIC
from ._v2_verify import verify_v2
from ._verify_pages import (
    check_data_records,
    check_directory,
    check_edge_snapshot,
    check_metadata_records,
    check_page_type,
)

_FIELD_TYPES = {
    "data_root_page": PAGE_TYPE_DATA,
    "metadata_root_page": PAGE_TYPE_METADATA,
    "hnsw_edge_page": PAGE_TYPE_EDGES,
}


@dataclass
class VerifyResult:
    findings: Findings
    collections: int = 0
    vectors: int = 0
    pages: int = 0
    pending_frames: int = 0


def verify_file(path: str) -> VerifyResult:
    """Raises OSError when the file cannot be read."""
    out = Findings()
    log = scan_log(log_path_for(path))
    frames = _check_log(log, os.stat(path).st_size, out)
    with DatabaseFile(path, dict(frames)) as db:
        result = VerifyResult(out, pending_frames=len(frames))
        if db.magic() == V2_MAGIC:
            verify_v2(db, result)
            return result
        header = _check_header(db, out)
        if header is not None:
            _Checker(db, header, result).run()
    return result


def _check_log(log: LogScan | None, db_size: int, out: Findings) -> list[tuple[int, bytes]]:
    """The frames the next open applies (later frames of a page win)."""
    if log is None:
        return []
    for p in log.problems:
        out.error("log", p)
    for w in log.warnings:
        out.warn("log", w)
    todo = pending(log, db_size)
    if todo.refused is not None:
        out.error("log", todo.refused)
    return todo.frames


def _check_header(db: DatabaseFile, out: Findings) -> Header | None:
    """The header checks after which nothing else can be read sensibly."""
    if db.size == 0:
        out.error("header", "the file is empty")
        return None
    header = db.header()
    if header is None:
        out.error(
            "header", f"file of {db.size} bytes is shorter than the {HEADER_SIZE}-byte header"
        )
        return None
    if header.magic != MAGIC:
        out.error("header", 'magic is not "Kestrum v1" and six zero bytes: not an orvane database')
        return None
    if header.version != VERSION:
        out.error("header", f"unsupported format version {header.version}")
        return None
    if header.page_size != PAGE_SIZE:
        out.error("header", f"page_size {header.page_size}, expected {PAGE_SIZE}")
        return None
    if db.effective_size % PAGE_SIZE:
        out.error("header", f"file length {db.size} is not a multiple of {PAGE_SIZE} (truncated?)")
    return header


class _Checker:
    def __init__(self, db: DatabaseFile, header: Header, result: VerifyResult) -> None:
        self.db, self.header, self.result = db, header, result
        self.out = result.findings
        self.owner: dict[int, str] = {0: "the header page"}

    def run(self) -> None:
        h, db, out = self.header, self.db, self.out
        self.result.pages = db.page_count
        slots: list[CatalogSlot] = []
        if h.catalog_page_id != 0 and db.page(h.catalog_page_id) is None:
            out.error("header", f"catalog_page_id {h.catalog_page_id} {self._beyond_end()}")
        elif h.catalog_page_id != 0:
            self.owner[h.catalog_page_id] = "the catalog page"
            page = db.page(h.catalog_page_id)
            check_page_type(page, PAGE_TYPE_CATALOG, out)
            sound = set(check_directory(page, out))
            slots = [s for s in db.catalog(h) if s.slot in sound]
            for s in slots:
                if s.config is None:
                    where = at_page(h.catalog_page_id, s.slot)
                    out.error(where, f"catalog record does not decode: {s.error}")
        self._check_names(slots)
        for s in slots:
            if s.config is not None:
                self._check_collection(s.slot, s.config)
        winners = effective_collections(slots)
        self.result.collections = len(winners)
        for s in winners:
            c = s.config
            data = db.page(c.data_root_page) if c.data_root_page else None
            self.result.vectors += replay_vectors(data, c.dimension).live_count
        self._check_page_ids()

    def _check_names(self, slots: list[CatalogSlot]) -> None:
        first: dict[str, int] = {}
        for s in slots:
            if s.config is None:
                continue
            if s.config.name in first:
                self.out.warn(
                    at_page(self.header.catalog_page_id, s.slot),
                    f"collection {quote(s.config.name)} again: "
                    f"replaces the record of slot {first[s.config.name]}",
                )
            first[s.config.name] = s.slot

    def _check_collection(self, slot: int, c: CollectionConfig) -> None:
        where = at_page(self.header.catalog_page_id, slot)
        who = f"collection {quote(c.name)}"
        usable: dict[str, int] = {}
        for field, page_id in c.page_fields():
            if page_id == 0:
                if field != "hnsw_edge_page" or c.is_hnsw:
                    self.out.warn(where, f"{who}: {field} 0: a new page is allocated at every open")
                continue
            if field == "hnsw_edge_page" and not c.is_hnsw:
                self.out.warn(where, f"{who}: {field} {page_id} is never read: the index is flat")
                continue
            if self.db.page(page_id) is None:
                self.out.error(where, f"{who}: {field} {page_id} {self._beyond_end()}")
                continue
            if page_id in self.owner:
                self.out.error(where, f"{who}: {field} {page_id} is also {self.owner[page_id]}")
                continue
            self.owner[page_id] = f"the {field} of {who}"
            usable[field] = page_id
        live: set[int] | None = None
        if "data_root_page" in usable:
            page = self._page(usable["data_root_page"], PAGE_TYPE_DATA)
            slots = check_directory(page, self.out)
            check_data_records(page, slots, c.dimension, self.out)
            live = replay_vectors(page, c.dimension).live
        if "metadata_root_page" in usable:
            page = self._page(usable["metadata_root_page"], PAGE_TYPE_METADATA)
            check_metadata_records(page, check_directory(page, self.out), self.out)
        if "hnsw_edge_page" in usable:
            page = self._page(usable["hnsw_edge_page"], PAGE_TYPE_EDGES)
            slots = check_directory(page, self.out)
            check_edge_snapshot(page, slots, (live or set()) if c.is_hnsw else None, self.out)

    def _beyond_end(self) -> str:
        return f"is beyond the end of the file ({plural(self.db.page_count, 'page')})"

    def _page(self, page_id: int, page_type: int) -> Page:
        """REQUIRES: the page exists."""
        page = self.db.page(page_id)
        check_page_type(page, page_type, self.out)
        return page

    def _check_page_ids(self) -> None:
        h, out = self.header, self.out
        in_use = max(self.owner) + 1
        pages = self.db.page_count
        if h.next_page_id < in_use:
            out.error(
                "header",
                f"next_page_id {h.next_page_id} is not above page {in_use - 1}, which is in use",
            )
        elif h.next_page_id > pages:
            out.warn("header", f"next_page_id {h.next_page_id} {self._beyond_end()}")
        unused = [p for p in range(1, pages) if p not in self.owner]
        if unused:
            label = "page" if len(unused) == 1 else "pages"
            out.warn(f"{label} {page_ranges(unused)}", "not used by any collection")

