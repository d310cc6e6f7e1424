"""Read-only decoding of the orvane file formats, in pure Python.

Nothing here imports the native module or writes a byte: the command-line
tools use it to look inside a database that may be damaged, foreign or in use.
Every length, offset and count read from the file is bounded before use.

Database header (page 0, little-endian):
  0 magic[16] "Kestrum v1" + 6 zeros | 16 u32 version | 20 u32 page_size
  24 u64 next_page_id | 32 u64 catalog_page_id | 48 u64 created_at
Slotted page: 0 u8 page_type | 5 u16 free_offset | 7 u16 slot_count;
  slot i at 16 + 4*i: u16 offset, u16 length; records from 1040 to 4095.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

PAGE_SIZE = 4096
HEADER_SIZE = 100
MAGIC = b"Kestrum v1" + bytes(6)
VERSION = 1
PAGE_HEADER_SIZE = 16
MAX_SLOTS = 256
RECORD_AREA_START = PAGE_HEADER_SIZE + 4 * MAX_SLOTS  # 1040
RECORD_AREA_SIZE = PAGE_SIZE - RECORD_AREA_START  # 3056

PAGE_TYPE_DATA = 1
PAGE_TYPE_EDGES = 2
PAGE_TYPE_METADATA = 3
PAGE_TYPE_CATALOG = 4
PAGE_TYPE_NAMES = {
    PAGE_TYPE_DATA: "data",
    PAGE_TYPE_EDGES: "edges",
    PAGE_TYPE_METADATA: "metadata",
    PAGE_TYPE_CATALOG: "catalog",
}

MAX_HNSW_LEVEL = 12  # no drawn level exceeds it; anything above is corrupt
HNSW_LAYER0_CAP = 32
HNSW_UPPER_CAP = 16

_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")


def u16(data: bytes, at: int) -> int:
    return _U16.unpack_from(data, at)[0]


def u32(data: bytes, at: int) -> int:
    return _U32.unpack_from(data, at)[0]


def u64(data: bytes, at: int) -> int:
    return _U64.unpack_from(data, at)[0]


@dataclass(frozen=True)
class Header:
    magic: bytes
    version: int
    page_size: int
    next_page_id: int
    catalog_page_id: int
    created_at: int

    @staticmethod
    def decode(page0: bytes) -> "Header":
        """REQUIRES: len(page0) >= HEADER_SIZE."""
        return Header(
            magic=bytes(page0[0:16]),
            version=u32(page0, 16),
            page_size=u32(page0, 20),
            next_page_id=u64(page0, 24),
            catalog_page_id=u64(page0, 32),
            created_at=u64(page0, 48),
        )

    def magic_text(self) -> str:
        """The magic as printable text (non-printable bytes escaped)."""
        text = self.magic.rstrip(b"\0")
        return "".join(chr(b) if 32 <= b < 127 else f"\\x{b:02x}" for b in text)


@dataclass(frozen=True)
class SlotEntry:
    offset: int
    length: int


class Page:
    """A view of one slotted page (exactly PAGE_SIZE bytes)."""

    def __init__(self, page_id: int, data: bytes) -> None:
        self.page_id = page_id
        self.data = data

    @property
    def page_type(self) -> int:
        return self.data[0]

    @property
    def free_offset(self) -> int:
        return u16(self.data, 5)

    @property
    def slot_count(self) -> int:
        return u16(self.data, 7)

    def is_blank(self) -> bool:
        """A page without contents: appended to as a fresh page."""
        return not any(self.data)

    def bytes_used(self) -> int:
        """Record-area bytes taken, bounded to 0..3056."""
        if self.is_blank():
            return 0
        return min(max(self.free_offset - RECORD_AREA_START, 0), RECORD_AREA_SIZE)

    def slots_used(self) -> int:
        """slot_count as stored: above 256 only on a damaged page."""
        return self.slot_count

    def entry(self, slot: int) -> SlotEntry:
        """REQUIRES: 16 + 4 * (slot + 1) <= PAGE_SIZE. Entries from 256 on lie in
        the record area; the engine still reads them when slot_count says so."""
        at = PAGE_HEADER_SIZE + 4 * slot
        return SlotEntry(u16(self.data, at), u16(self.data, at + 2))

    def record(self, slot: int) -> bytes | None:
        """The record as the engine reads it: None when absent, b"" when empty."""
        count = self.slot_count
        if self.page_id == 0 or slot >= count or PAGE_HEADER_SIZE + 4 * count > len(self.data):
            return None
        e = self.entry(slot)
        if e.length == 0 or e.offset + e.length > len(self.data):
            return b""
        return bytes(self.data[e.offset : e.offset + e.length])

    def records(self) -> list[tuple[int, bytes]]:
        """(slot, record) for every slot below slot_count that yields a record,
        exactly as the engine walks a page."""
        out = []
        for slot in range(self.slot_count):
            rec = self.record(slot)
            if rec is not None:
                out.append((slot, rec))
        return out


def utf8(raw: bytes) -> str | None:
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return None


@dataclass(frozen=True)
class VectorRecord:
    external_id: str
    internal_id: int
    dimension: int  # D as stored
    complete: bool  # all D components present
    exact: bool  # length is exactly 16 + L + 4*D


@dataclass(frozen=True)
class DeletionMarker:
    external_id: str


def decode_data_record(rec: bytes) -> VectorRecord | DeletionMarker | str:
    """A vector record, a deletion marker, or why the record is skipped."""
    if len(rec) < 4:
        return f"record of {len(rec)} bytes is shorter than its 4-byte id length"
    id_len = u32(rec, 0)
    if len(rec) == 4 + id_len:
        ext = utf8(rec[4:])
        return DeletionMarker(ext) if ext is not None else "deletion marker id is not valid UTF-8"
    if len(rec) < 16 + id_len:
        return f"record of {len(rec)} bytes is shorter than 16 + id length {id_len}"
    ext = utf8(rec[4 : 4 + id_len])
    if ext is None:
        return "vector record id is not valid UTF-8"
    dim = u32(rec, 12 + id_len)
    expected = 16 + id_len + 4 * dim
    return VectorRecord(ext, u64(rec, 4 + id_len), dim, len(rec) >= expected, len(rec) == expected)


@dataclass(frozen=True)
class MetadataRecord:
    external_id: str
    json_text: bytes  # empty for a deletion marker


def decode_metadata_record(rec: bytes) -> MetadataRecord | str:
    if len(rec) < 4:
        return f"record of {len(rec)} bytes is shorter than its 4-byte id length"
    id_len = u32(rec, 0)
    if len(rec) < 4 + id_len:
        return f"record of {len(rec)} bytes is shorter than 4 + id length {id_len}"
    ext = utf8(rec[4 : 4 + id_len])
    if ext is None:
        return "metadata record id is not valid UTF-8"
    return MetadataRecord(ext, rec[4 + id_len :])


@dataclass(frozen=True)
class EdgeHeader:
    entry_point: int  # 0: none
    max_level: int
    node_count: int


@dataclass(frozen=True)
class EdgeNode:
    node_id: int
    level: int
    list_count: int
    lists: dict[int, list[int]]  # layer -> ids, non-empty lists only, ascending layers


def decode_edge_header(rec: bytes) -> EdgeHeader | str:
    if len(rec) != 16:
        return f"edge header is {len(rec)} bytes, not 16"
    return EdgeHeader(u64(rec, 0), u32(rec, 8), u32(rec, 12))


def decode_edge_node(rec: bytes) -> EdgeNode | str:
    """A node record parsed strictly (the writer's exact shape), or what is wrong."""
    if len(rec) < 16:
        return f"node record of {len(rec)} bytes is shorter than 16"
    node_id, level, list_count = u64(rec, 0), u32(rec, 8), u32(rec, 12)
    if level > MAX_HNSW_LEVEL:
        return f"node {node_id} has level {level}, above {MAX_HNSW_LEVEL}"
    if list_count != level + 1:
        return f"node {node_id} has {list_count} neighbour lists for level {level}"
    lists: dict[int, list[int]] = {}
    at, last_layer = 16, -1
    while at < len(rec):
        if len(lists) == list_count or at + 8 > len(rec):
            return f"node {node_id}: {len(rec) - at} bytes after its last neighbour list"
        layer, count = u32(rec, at), u32(rec, at + 4)
        at += 8
        if layer <= last_layer or layer > level:
            return f"node {node_id}: neighbour list for layer {layer} out of order or above level"
        cap = HNSW_LAYER0_CAP if layer == 0 else HNSW_UPPER_CAP
        if count == 0 or count > cap:
            return f"node {node_id}: layer {layer} list of {count} ids (1 to {cap} allowed)"
        if at + 8 * count > len(rec):
            return f"node {node_id}: layer {layer} list runs past the record end"
        ids = list(struct.unpack_from(f"<{count}Q", rec, at))
        at += 8 * count
        if node_id in ids or len(set(ids)) != len(ids):
            return f"node {node_id}: layer {layer} list repeats an id or names the node itself"
        lists[layer] = ids
        last_layer = layer
    return EdgeNode(node_id, level, list_count, lists)
