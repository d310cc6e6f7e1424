"""Builds format-2 database files byte by byte, for tests of the tools.

Written from the byte tables alone (docs/FORMAT.md), independently of the
engine and of the tools' own reader. Pages are handed out in order; a
stream's root directory comes before its data pages.
"""

from __future__ import annotations

import json
import struct
import zlib

PAGE = 4096
MAGIC = b"orvane format 2\x00"
SDIR = 0x52494453


class V2File:
    def __init__(self) -> None:
        self.pages: list[bytearray] = [bytearray(PAGE)]
        self.entries: list[bytes] = []
        self.roots: dict[tuple[str, str], int] = {}  # (collection, stream) -> root
        self.catalog_root = 0
        self.change_counter = 0

    def page(self, data: bytes = b"") -> int:
        self.pages.append(bytearray(data.ljust(PAGE, b"\0")))
        return len(self.pages) - 1

    def stream(self, data: bytes) -> int:
        """Writes a stream; returns its root (0 for no bytes)."""
        if not data:
            return 0
        chunks = [data[i:i + PAGE] for i in range(0, len(data), PAGE)]
        dirs = [self.page() for _ in range(-(-len(chunks) // 508))]
        ids = [self.page(c) for c in chunks]
        for n, d in enumerate(dirs):
            part = ids[508 * n:508 * (n + 1)]
            nxt = dirs[n + 1] if n + 1 < len(dirs) else 0
            head = struct.pack("<IIQQQ", SDIR, len(part), nxt, len(data) if n == 0 else 0, 0)
            self.pages[d][:32 + 8 * len(part)] = head + struct.pack(f"<{len(part)}Q", *part)
        return dirs[0]

    def collection(self, name: str, dim: int, rows, metric: str = "Euclidean",
                   index: str = "flat", free: tuple[int, ...] = (), live: bool = True,
                   snapshot: bool = False, m: int = 4) -> None:
        """rows: (id, vector, metadata dict or None); slots in `free` are left free."""
        slots, vectors, heap, gens = b"", b"", b"", []
        rows = list(rows)
        for i in range(len(rows) + len(free)):
            if i in free:
                slots += struct.pack("<QQII", 0, 0, 0, 0)
                vectors += bytes(4 * dim)
                gens.append(0)
                continue
            ext, vec, meta = rows.pop(0)
            raw = ext.encode()
            doc = json.dumps(meta, separators=(",", ":")).encode() if meta is not None else b""
            self.change_counter += 1
            gens.append(self.change_counter)
            slots += struct.pack("<QQII", self.change_counter, len(heap), len(raw), len(doc))
            heap += raw + doc
            vectors += struct.pack(f"<{dim}f", *vec)
        roots = {"slots": self.stream(slots), "vectors": self.stream(vectors),
                 "heap": self.stream(heap),
                 "graph": self.stream(ring_snapshot(gens, m)) if snapshot else 0}
        for kind, root in roots.items():
            self.roots[(name, kind)] = root
        config = json.dumps({"dimension": dim, "metric": metric, "index_type": index, "m": m,
                             "ef_construction": 100, "ef_search": 32}, separators=(",", ":"))
        raw_name = name.encode()
        body = raw_name + config.encode()
        self.entries.append(struct.pack("<IIQQQQI", 44 + len(body), 1 if live else 0,
                                        roots["slots"], roots["vectors"], roots["heap"],
                                        roots["graph"], len(raw_name)) + body)

    def bytes(self) -> bytes:
        if self.entries and not self.catalog_root:
            self.catalog_root = self.stream(b"".join(self.entries))
        head = MAGIC + struct.pack("<IIQQQQI", 2, PAGE, len(self.pages), self.catalog_root,
                                   self.change_counter, 1_700_000_000, 0)
        self.pages[0][:64] = head + struct.pack("<I", zlib.crc32(head))
        return b"".join(self.pages)


def ring_snapshot(generations: list[int], m: int) -> bytes:
    """Every used slot a layer-0 node linked to the next used slot."""
    used = [i for i, g in enumerate(generations) if g]
    table = b""
    for i, g in enumerate(generations):
        links = [used[(used.index(i) + 1) % len(used)]] if g and len(used) > 1 else []
        table += struct.pack("<QII", g, 0, len(links)) + struct.pack(
            f"<{2 * m}I", *(links + [0] * (2 * m - len(links))))
    entry = used[0] if used else 2**64 - 1
    head = b"HNSW" + struct.pack("<IIIQQIIQ", 1, m, 2 * m, len(generations), entry, 0,
                                 zlib.crc32(table), 0)
    return head.ljust(64, b"\0") + table
