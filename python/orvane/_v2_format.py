"""Byte layout of format-2 files, decoded in pure Python (docs/FORMAT.md).

Header (page 0): 0 magic[16] "orvane format 2" + 1 zero | 16 u32 version 2 |
  20 u32 page_size 4096 | 24 u64 page_count | 32 u64 catalog_root |
  40 u64 change_counter (stamp limit) | 48 u64 created_at | 56 u32 flags | 60 u32 CRC-32 of 0..60.
Stream directory page: 0 u32 kind "SDIR" | 4 u32 entry_count (<= 508) |
  8 u64 next directory | 16 u64 byte_length (root only) | 32 u64 data page ids.
Catalog entry: 0 u32 length | 4 u32 flags (bit 0 live) | 8 u64 slots root |
  16 u64 vectors root | 24 u64 heap root | 32 u64 graph root | 40 u32 name
  length N | 44 name | 44+N configuration JSON.
Slot (24 bytes): 0 u64 generation (0 free) | 8 u64 heap offset | 16 u32 id
  length | 20 u32 metadata length.

Every decoder raises Damaged with the reason; nothing is trusted unchecked.
"""

from __future__ import annotations

import json
import struct
import zlib
from dataclasses import dataclass

from ._format import PAGE_SIZE

V2_MAGIC = b"orvane format 2\x00"
V2_VERSION = 2
V2_HEADER_SIZE = 64
DIRECTORY_KIND = 0x52494453  # "SDIR"
DIRECTORY_HEADER_SIZE = 32
DIRECTORY_ENTRIES = 508
CATALOG_ENTRY_HEADER = 44
SLOT_SIZE = 24
METRICS = ("Cosine", "Euclidean", "DotProduct")
INDEX_TYPES = ("hnsw", "flat")


class Damaged(Exception):
    """A format-2 structure that does not decode; the text says where and why."""


@dataclass(frozen=True)
class V2Header:
    version: int
    page_size: int
    page_count: int
    catalog_root: int
    change_counter: int
    created_at: int
    flags: int


def decode_header(page0: bytes) -> V2Header:
    if len(page0) < V2_HEADER_SIZE or page0[:16] != V2_MAGIC:
        raise Damaged("header: no format-2 magic")
    version, page_size, page_count, catalog_root, counter, created, flags, crc = struct.unpack_from(
        "<IIQQQQII", page0, 16
    )
    if crc != zlib.crc32(page0[:60]):
        raise Damaged("header: checksum does not match")
    if version != V2_VERSION:
        raise Damaged(f"header: unsupported format version {version}")
    if page_size != PAGE_SIZE:
        raise Damaged(f"header: page_size {page_size}, expected {PAGE_SIZE}")
    return V2Header(version, page_size, page_count, catalog_root, counter, created, flags)


@dataclass(frozen=True)
class Directory:
    entry_count: int
    next_page: int
    byte_length: int
    data_pages: tuple[int, ...]


def decode_directory(page_id: int, data: bytes) -> Directory:
    kind, count, next_page, length = struct.unpack_from("<IIQQ", data, 0)
    if kind != DIRECTORY_KIND:
        raise Damaged(f"page {page_id}: kind 0x{kind:08X} is not a stream directory")
    if count > DIRECTORY_ENTRIES:
        raise Damaged(f"page {page_id}: {count} directory entries, at most {DIRECTORY_ENTRIES}")
    ids = struct.unpack_from(f"<{count}Q", data, DIRECTORY_HEADER_SIZE)
    return Directory(count, next_page, length, ids)


@dataclass(frozen=True)
class IndexConfig:
    dimension: int
    metric: str
    index_type: str
    m: int
    ef_construction: int
    ef_search: int


@dataclass(frozen=True)
class CatalogEntry:
    offset: int
    live: bool
    slots_root: int
    vectors_root: int
    heap_root: int
    graph_root: int
    name: str
    config: IndexConfig

    @property
    def roots(self) -> dict[str, int]:
        return {"slots": self.slots_root, "vectors": self.vectors_root,
                "heap": self.heap_root, "graph": self.graph_root}


INDEX_DEFAULTS = {"m": 16, "ef_construction": 200, "ef_search": 64}


def _u32_field(doc: dict, key: str, at: int) -> int:
    v = doc.get(key, INDEX_DEFAULTS[key])
    if type(v) is not int or not 0 <= v <= 0xFFFFFFFF:
        raise Damaged(f"catalog entry at {at}: {key} is not a 32-bit count")
    return v


def decode_config(raw: bytes, at: int) -> IndexConfig:
    try:
        doc = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise Damaged(f"catalog entry at {at}: configuration is not JSON") from None
    if not isinstance(doc, dict):
        raise Damaged(f"catalog entry at {at}: configuration is not a JSON object")
    dim = doc.get("dimension")
    if type(dim) is not int or not 0 <= dim < 2**64:
        raise Damaged(f"catalog entry at {at}: dimension is not an unsigned integer")
    if doc.get("metric") not in METRICS:
        raise Damaged(f"catalog entry at {at}: unknown metric {doc.get('metric')!r}")
    if doc.get("index_type") not in INDEX_TYPES:
        raise Damaged(f"catalog entry at {at}: unknown index_type {doc.get('index_type')!r}")
    return IndexConfig(dim, doc["metric"], doc["index_type"], _u32_field(doc, "m", at),
                       _u32_field(doc, "ef_construction", at), _u32_field(doc, "ef_search", at))


def decode_catalog(data: bytes) -> list[CatalogEntry]:
    """Every entry of the catalog stream's bytes, dead ones included."""
    out, at, live_names = [], 0, set()
    while at < len(data):
        if len(data) - at < CATALOG_ENTRY_HEADER:
            raise Damaged(f"catalog entry at {at}: {len(data) - at} bytes left, header needs 44")
        length, flags, s, v, h, g, name_len = struct.unpack_from("<IIQQQQI", data, at)
        if length < CATALOG_ENTRY_HEADER + name_len or at + length > len(data):
            raise Damaged(f"catalog entry at {at}: length {length} does not fit the catalog")
        try:
            name = data[at + 44:at + 44 + name_len].decode("utf-8")
        except UnicodeDecodeError:
            raise Damaged(f"catalog entry at {at}: name is not UTF-8") from None
        config = decode_config(data[at + 44 + name_len:at + length], at)
        live = bool(flags & 1)
        if live and name in live_names:
            raise Damaged(f"catalog entry at {at}: collection {name!r} is live twice")
        if live:
            live_names.add(name)
        out.append(CatalogEntry(at, live, s, v, h, g, name, config))
        at += length
    return out


@dataclass(frozen=True)
class Slot:
    generation: int
    heap_offset: int
    id_length: int
    metadata_length: int


def decode_slots(data: bytes) -> list[Slot]:
    """REQUIRES: len(data) is a multiple of SLOT_SIZE."""
    return [Slot(*t) for t in struct.iter_unpack("<QQII", data)]
