"""The HNSW snapshot of a format-2 collection (its graph stream), checked.

Header (64 bytes): 0 "HNSW" | 4 u32 version 1 | 8 u32 M | 12 u32 M0 = 2M |
  16 u64 node slots S | 24 u64 entry slot (2**64-1: none) | 32 u32 max level |
  36 u32 CRC-32 of every byte after the header | 40 u64 upper region length.
Node table: S x (u64 generation (0: no node), u32 level, u32 count0, M0 x u32).
Upper region: per node of level >= 1, in slot order, per level 1..level:
  u32 count, M x u32.
The open ignores a snapshot that fails these checks and rebuilds the graph;
a node whose generation differs from its slot's is dropped and re-inserted.
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

from ._v2_format import Damaged, Slot

SNAPSHOT_KIND = b"HNSW"
SNAPSHOT_VERSION = 1
SNAPSHOT_HEADER_SIZE = 64
NO_ENTRY = 2**64 - 1
MAX_LEVEL = 64  # far above any drawn level; bounds a damaged one


@dataclass(frozen=True)
class Snapshot:
    m: int
    node_slots: int
    nodes: int
    entry: int | None
    max_level: int
    stale: int  # nodes whose slot was freed or rewritten since
    missing: int  # live slots without a node: inserted at open


def check_snapshot(data: bytes, slots: list[Slot]) -> Snapshot:
    if len(data) < SNAPSHOT_HEADER_SIZE or data[:4] != SNAPSHOT_KIND:
        raise Damaged("graph snapshot: no \"HNSW\" kind")
    version, m, m0, count, entry, max_level, crc, upper = struct.unpack_from(
        "<IIIQQIIQ", data, 4)
    if version != SNAPSHOT_VERSION:
        raise Damaged(f"graph snapshot: unsupported version {version}")
    if m < 2 or m0 != 2 * m or max_level > MAX_LEVEL:
        raise Damaged(f"graph snapshot: M {m}, M0 {m0}, max level {max_level}")
    node_size = 16 + 4 * m0
    table_end = SNAPSHOT_HEADER_SIZE + count * node_size
    if table_end + upper != len(data):
        raise Damaged(f"graph snapshot: {count} nodes and {upper} upper bytes "
                      f"do not make {len(data)} bytes")
    if zlib.crc32(memoryview(data)[SNAPSHOT_HEADER_SIZE:]) != crc:
        raise Damaged("graph snapshot: checksum does not match")
    nodes, stale, top, at = 0, 0, -1, table_end
    for i in range(count):
        gen, level, count0 = struct.unpack_from("<QII", data, SNAPSHOT_HEADER_SIZE + i * node_size)
        if gen == 0:
            continue
        nodes += 1
        top = max(top, level)
        if level > max_level or count0 > m0:
            raise Damaged(f"graph snapshot: node {i}: level {level}, {count0} links")
        links = struct.unpack_from(f"<{count0}I", data, SNAPSHOT_HEADER_SIZE + i * node_size + 16)
        for _ in range(level):
            if at + 4 + 4 * m > len(data):
                raise Damaged(f"graph snapshot: node {i}: upper levels run past the end")
            n = struct.unpack_from("<I", data, at)[0]
            if n > m:
                raise Damaged(f"graph snapshot: node {i}: {n} upper links, at most {m}")
            links += struct.unpack_from(f"<{n}I", data, at + 4)
            at += 4 + 4 * m
        if any(j >= count for j in links):
            raise Damaged(f"graph snapshot: node {i} links past its {count} node slots")
        if i >= len(slots) or slots[i].generation != gen:
            stale += 1
    if at != len(data):
        raise Damaged(f"graph snapshot: upper region holds {len(data) - at} bytes no node uses")
    entry_level = -1
    if nodes and entry < count:
        gen, level = struct.unpack_from("<QI", data, SNAPSHOT_HEADER_SIZE + entry * node_size)
        entry_level = level if gen else -1
    if (entry == NO_ENTRY) != (nodes == 0) or (nodes and (entry_level != max_level
                                                         or top != max_level)):
        raise Damaged(f"graph snapshot: entry point {entry} and max level {max_level} "
                      f"do not match the nodes")
    kept = nodes - stale
    live = sum(1 for s in slots if s.generation)
    return Snapshot(m, count, nodes, None if entry == NO_ENTRY else entry, max_level, stale,
                    live - kept)
