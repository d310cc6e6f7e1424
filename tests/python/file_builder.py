"""Builds orvane database and log files byte by byte, for tests of the tools.

Written from the byte tables alone (docs/FORMAT.md), independently of the
engine and of the tools' own reader, so that both are checked against them.
"""

from __future__ import annotations

import json
import struct
import zlib

PAGE = 4096
MAGIC = b"Kestrum v1" + bytes(6)


def header_page(next_page_id: int, catalog_page_id: int = 0) -> bytes:
    head = MAGIC + struct.pack("<IIQQQQ", 1, PAGE, next_page_id, catalog_page_id, 0, 1_700_000_000)
    return head + bytes(PAGE - len(head))


class SlottedPage:
    """A page that appends records the way the engine does."""

    def __init__(self, page_type: int) -> None:
        self.data = bytearray(PAGE)
        self.data[0] = page_type
        self.free_offset = 1040
        self.slot_count = 0

    def append(self, record: bytes) -> "SlottedPage":
        assert self.free_offset + len(record) <= PAGE and self.slot_count < 256
        self.data[self.free_offset:self.free_offset + len(record)] = record
        struct.pack_into("<HH", self.data, 16 + 4 * self.slot_count, self.free_offset, len(record))
        self.free_offset += len(record)
        self.slot_count += 1
        return self

    def bytes(self) -> bytes:
        out = bytearray(self.data)
        struct.pack_into("<HH", out, 5, self.free_offset, self.slot_count)
        return bytes(out)


def vector_record(ext: str, internal: int, components: list[float]) -> bytes:
    raw = ext.encode()
    return (struct.pack("<I", len(raw)) + raw + struct.pack("<QI", internal, len(components))
            + struct.pack(f"<{len(components)}f", *components))


def marker(ext: str) -> bytes:
    raw = ext.encode()
    return struct.pack("<I", len(raw)) + raw


def metadata_record(ext: str, json_text: bytes) -> bytes:
    return marker(ext) + json_text


def catalog_record(name: str, dimension: int, distance: str = "Cosine", data: int = 0,
                   metadata: int = 0, edges: int = 0, index_type: str = "flat") -> bytes:
    doc = {"name": name, "dimension": dimension, "distance": distance, "description": "",
           "data_root_page": data, "metadata_root_page": metadata, "hnsw_edge_page": edges,
           "index_type": index_type}
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()


def edge_header(entry: int, max_level: int, nodes: int) -> bytes:
    return struct.pack("<QII", entry, max_level, nodes)


def edge_node(node_id: int, level: int, lists: list[list[int]]) -> bytes:
    """lists[layer]; empty lists are counted but write no block."""
    out = struct.pack("<QII", node_id, level, len(lists))
    for layer, ids in enumerate(lists):
        if ids:
            out += struct.pack("<II", layer, len(ids)) + struct.pack(f"<{len(ids)}Q", *ids)
    return out


def write_pages(path, pages: list[bytes]) -> None:
    with open(path, "wb") as f:
        for p in pages:
            assert len(p) == PAGE
            f.write(p)


SALTS = (0x1234, 0x5678)


def wal_header(magic: int = 0x377F0683, version: int = 1) -> bytes:
    head = struct.pack("<6I", magic, version, PAGE, 0, *SALTS)
    return head + struct.pack("<II", zlib.crc32(head), 0)


def wal_frame(page_id: int, image: bytes, commit: bool = True) -> bytes:
    sums = [zlib.crc32(struct.pack("<II", page_id, salt) + bytes(4) + image) for salt in SALTS]
    return struct.pack("<IQ8xII", page_id, 1 if commit else 0, *sums) + image


def one_collection_file(path, vectors=(("a", 1, [1.0, 2.0, 3.0]),), dimension: int = 3) -> None:
    """Header, data page 1, metadata page 2, catalog page 3: the shape a first
    create_collection("c", dimension) leaves."""
    data = SlottedPage(1)
    for ext, internal, comps in vectors:
        data.append(vector_record(ext, internal, comps) if comps is not None else marker(ext))
    cat = SlottedPage(4).append(catalog_record("c", dimension, data=1, metadata=2))
    write_pages(path, [header_page(4, 3), data.bytes(), SlottedPage(3).bytes(), cat.bytes()])


def hnsw_collection_file(path, snapshot_records,
                         vectors=((1, [1, 0]), (2, [0, 1]), (3, [1, 1]))) -> None:
    """Header, data page 1 (vectors "v<internal>"), metadata page 2, edge page
    3 holding `snapshot_records`, catalog page 4 naming an "hnsw" collection
    "h" of dimension 2 (an edge page named, as only a stored configuration can)."""
    data = SlottedPage(1)
    for internal, comps in vectors:
        data.append(vector_record(f"v{internal}", internal, comps))
    edges = SlottedPage(2)
    for rec in snapshot_records:
        edges.append(rec)
    cat = SlottedPage(4).append(
        catalog_record("h", 2, "Euclidean", data=1, metadata=2, edges=3, index_type="hnsw"))
    write_pages(path, [header_page(5, 4), data.bytes(), SlottedPage(3).bytes(), edges.bytes(),
                       cat.bytes()])
