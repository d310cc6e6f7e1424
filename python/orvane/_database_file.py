"""A database file opened read-only, page by page.

The file is opened with open(path, "rb") and only read; no log file is
created, nothing is locked, nothing is written. Optional in-memory page images
(the whole calls of a left-over log) take the place of the file's pages, so a
caller can look at the database as its next open will see it.
"""

from __future__ import annotations

import errno
import os
import stat
from dataclasses import dataclass

from ._catalog import CollectionConfig, decode_config
from ._format import HEADER_SIZE, PAGE_SIZE, Header, Page


@dataclass(frozen=True)
class CatalogSlot:
    slot: int
    config: CollectionConfig | None
    error: str | None  # why the record does not decode


def open_regular(path: str):
    """Opens a regular file for reading; a FIFO or a device is refused with
    OSError instead of blocking or reading without end."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(errno.EINVAL, "not a regular file")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


class DatabaseFile:
    def __init__(self, path: str, overlay: dict[int, bytes] | None = None) -> None:
        """Raises OSError when the file cannot be opened or read."""
        self.path = path
        self._file = open_regular(path)
        self.size = os.fstat(self._file.fileno()).st_size
        self._overlay = overlay or {}
        self._pages: dict[int, bytes | None] = {}

    def __enter__(self) -> "DatabaseFile":
        return self

    def __exit__(self, *_exc: object) -> None:
        self._file.close()

    @property
    def file_pages(self) -> int:
        """Whole pages in the file itself."""
        return self.size // PAGE_SIZE

    @property
    def page_count(self) -> int:
        """Whole pages, counting pages that only the overlay holds."""
        return max([self.file_pages] + [p + 1 for p in self._overlay])

    @property
    def effective_size(self) -> int:
        """The length once the overlay is written: an image past the end extends the file."""
        return max([self.size] + [(p + 1) * PAGE_SIZE for p in self._overlay])

    def raw_page(self, page_id: int) -> bytes | None:
        """The page's bytes, or None when it lies beyond the end. Below the
        overlay's last page, missing bytes read as zeros, as they will in the
        file once the overlay is written."""
        if page_id in self._overlay:
            return self._overlay[page_id]
        if page_id not in self._pages:
            data = None
            if page_id < self.page_count:
                self._file.seek(page_id * PAGE_SIZE)
                data = self._file.read(PAGE_SIZE)
                if len(data) < PAGE_SIZE:
                    data = data + bytes(PAGE_SIZE - len(data)) if self._overlay else None
            self._pages[page_id] = data
        return self._pages[page_id]

    def read_page(self, page_id: int) -> bytes | None:
        """As raw_page, without keeping the page: for reading large streams."""
        if page_id in self._overlay or page_id in self._pages:
            return self.raw_page(page_id)
        if page_id >= self.page_count:
            return None
        self._file.seek(page_id * PAGE_SIZE)
        data = self._file.read(PAGE_SIZE)
        if len(data) < PAGE_SIZE:
            return data + bytes(PAGE_SIZE - len(data)) if self._overlay else None
        return data

    def magic(self) -> bytes:
        """The first 16 bytes (fewer in a shorter file)."""
        data = self.raw_page(0)
        if data is None:
            self._file.seek(0)
            data = self._file.read(16)
        return data[:16]

    def page(self, page_id: int) -> Page | None:
        data = self.raw_page(page_id)
        return None if data is None else Page(page_id, data)

    def header(self) -> Header | None:
        """None when the file is shorter than the 100-byte header."""
        data = self.raw_page(0)
        if data is None:
            self._file.seek(0)
            data = self._file.read(HEADER_SIZE)
        return Header.decode(data) if len(data) >= HEADER_SIZE else None

    def catalog(self, header: Header) -> list[CatalogSlot]:
        """Every catalog record in slot order, decoded or with its fault."""
        if header.catalog_page_id == 0:
            return []
        page = self.page(header.catalog_page_id)
        if page is None:
            return []
        out = []
        for slot, rec in page.records():
            try:
                out.append(CatalogSlot(slot, decode_config(rec), None))
            except ValueError as err:
                out.append(CatalogSlot(slot, None, str(err)))
        return out


def effective_collections(slots: list[CatalogSlot]) -> list[CatalogSlot]:
    """The collections an open ends up with: a later record of a name replaces
    the earlier one; listed in the slot order of the records that win."""
    winner: dict[str, CatalogSlot] = {}
    for s in slots:
        if s.config is not None:
            winner[s.config.name] = s
    return sorted(winner.values(), key=lambda s: s.slot)
