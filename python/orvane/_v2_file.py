"""Reading a format-2 file: streams over pages, the catalog, and collections.

Built on DatabaseFile (read-only, optional log overlay). Every page id is
checked against the header's page_count and the file's end before it is
read; a chain that loops, a directory of the wrong kind or a stream whose
pages do not match its length raises Damaged.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field

from ._database_file import DatabaseFile
from ._format import PAGE_SIZE
from ._v2_format import (
    DIRECTORY_ENTRIES,
    SLOT_SIZE,
    CatalogEntry,
    Damaged,
    Slot,
    V2Header,
    decode_catalog,
    decode_directory,
    decode_header,
    decode_slots,
)


@dataclass
class Stream:
    root: int
    length: int = 0
    directories: list[int] = field(default_factory=list)
    data_pages: list[int] = field(default_factory=list)

    @property
    def pages(self) -> list[int]:
        return self.directories + self.data_pages


class V2File:
    def __init__(self, db: DatabaseFile) -> None:
        self.db = db
        page0 = db.raw_page(0)
        if page0 is None:
            raise Damaged(f"file of {db.size} bytes is shorter than one page")
        self.header: V2Header = decode_header(page0)

    def _page(self, page_id: int, what: str) -> bytes:
        if not 0 < page_id < self.header.page_count:
            raise Damaged(f"{what}: page {page_id} is out of range "
                          f"(page_count {self.header.page_count})")
        data = self.db.read_page(page_id)
        if data is None:
            raise Damaged(f"{what}: page {page_id} lies beyond the end of the file")
        return data

    def stream(self, root: int, what: str) -> Stream:
        """The directory chain of `root` (0: the empty stream), checked."""
        out = Stream(root)
        page_id, seen = root, set()
        while page_id:
            seen.add(page_id)
            d = decode_directory(page_id, self._page(page_id, what))
            if d.next_page in seen or d.next_page == page_id:
                raise Damaged(f"{what}: directory chain loops back to page {d.next_page}")
            if page_id == root:
                out.length = d.byte_length
            elif d.byte_length:
                raise Damaged(f"{what}: directory page {page_id} is not the root but has a length")
            if d.next_page and d.entry_count != DIRECTORY_ENTRIES:
                raise Damaged(f"{what}: directory page {page_id} is not full but not the last")
            for p in d.data_pages:
                if not 0 < p < self.header.page_count:
                    raise Damaged(f"{what}: data page {p} is out of range "
                                  f"(page_count {self.header.page_count})")
            out.directories.append(page_id)
            out.data_pages.extend(d.data_pages)
            page_id = d.next_page
        if len(out.data_pages) != -(-out.length // PAGE_SIZE):
            raise Damaged(f"{what}: {len(out.data_pages)} data pages for {out.length} bytes")
        return out

    def read(self, s: Stream, offset: int, size: int, what: str) -> bytes:
        """Bytes [offset, offset + size) of a stream. REQUIRES: within its length."""
        parts, end = [], offset + size
        while offset < end:
            index, at = divmod(offset, PAGE_SIZE)
            take = min(PAGE_SIZE - at, end - offset)
            parts.append(self._page(s.data_pages[index], what)[at:at + take])
            offset += take
        return b"".join(parts)

    def catalog(self) -> tuple[Stream, list[CatalogEntry]]:
        s = self.stream(self.header.catalog_root, "catalog")
        return s, decode_catalog(self.read(s, 0, s.length, "catalog"))

    def collection(self, entry: CatalogEntry) -> "V2Collection":
        who = f"collection {json.dumps(entry.name, ensure_ascii=False)}"
        streams = {k: self.stream(root, f"{who} {k} stream") for k, root in entry.roots.items()}
        # The streams grow by whole pages: the slots are those with a whole
        # record and a whole vector, the last of them free room.
        records = streams["slots"].length // SLOT_SIZE
        count = records
        if entry.config.dimension:
            count = min(count, streams["vectors"].length // (4 * entry.config.dimension))
        slots = decode_slots(self.read(streams["slots"], 0, records * SLOT_SIZE, who))
        for i in range(count, records):
            if slots[i].generation:
                raise Damaged(f"{who}: slot {i} has no vector")
        del slots[count:]
        heap = self.read(streams["heap"], 0, streams["heap"].length, who)
        return V2Collection(entry, streams, slots, heap, who)


@dataclass
class V2Collection:
    entry: CatalogEntry
    streams: dict[str, Stream]
    slots: list[Slot]
    heap: bytes
    who: str

    @property
    def live(self) -> list[int]:
        return [i for i, s in enumerate(self.slots) if s.generation]

    def id_of(self, i: int) -> str:
        s = self.slots[i]
        if s.heap_offset + s.id_length + s.metadata_length > len(self.heap):
            raise Damaged(f"{self.who}: slot {i}: heap record at {s.heap_offset} "
                          f"runs past the heap ({len(self.heap)} bytes)")
        try:
            return self.heap[s.heap_offset:s.heap_offset + s.id_length].decode("utf-8")
        except UnicodeDecodeError:
            raise Damaged(f"{self.who}: slot {i}: id is not UTF-8") from None

    def metadata_of(self, i: int) -> str | None:
        """The compact JSON text, or None. REQUIRES: id_of(i) succeeded."""
        s = self.slots[i]
        if s.metadata_length == 0:
            return None
        at = s.heap_offset + s.id_length
        raw = self.heap[at:at + s.metadata_length]
        try:
            text = raw.decode("utf-8")
            json.loads(text)
        except (UnicodeDecodeError, ValueError):
            raise Damaged(f"{self.who}: slot {i}: metadata is not JSON") from None
        return text

    def vector_bytes(self, f: V2File, first: int, count: int) -> bytes:
        """The float32 bytes of slots [first, first + count)."""
        width = 4 * self.entry.config.dimension
        return f.read(self.streams["vectors"], first * width, count * width, self.who)
