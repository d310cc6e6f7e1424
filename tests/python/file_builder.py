"""Builds classic and format-2 database files and logs byte by byte for the
tools' tests, from the byte tables alone (docs/FORMAT.md): independent of the
engine and of the tools' own reader, so that both are checked against them."""

import json
import struct
import zlib

PAGE = 4096


edge_header = struct.Struct("<QII").pack  # entry point, max level, node count


def header_page(next_page_id, catalog_page_id=0):
    return (b"Kestrum v1" + bytes(6) + struct.pack(
        "<IIQQQQ", 1, PAGE, next_page_id, catalog_page_id, 0, 1_700_000_000)).ljust(PAGE, b"\0")


def page(page_type, *records):
    """A slotted page holding `records`, laid out the way the engine appends them."""
    data, free = bytearray(PAGE), 1040
    data[0] = page_type
    for slot, r in enumerate(records):
        data[free:free + len(r)] = r
        struct.pack_into("<HH", data, 16 + 4 * slot, free, len(r))
        free += len(r)
    assert free <= PAGE and len(records) <= 256
    struct.pack_into("<HH", data, 5, free, len(records))
    return bytes(data)


def marker(ext):
    return struct.pack("<I", len(ext.encode())) + ext.encode()


def vector_record(ext, internal, components):
    n = len(components)
    return marker(ext) + struct.pack(f"<QI{n}f", internal, n, *components)


def metadata_record(ext, json_text):
    return marker(ext) + json_text


def catalog_record(name, dimension, distance="Cosine", data=0, metadata=0, edges=0,
                   index_type="flat"):
    doc = {"name": name, "dimension": dimension, "distance": distance, "description": "",
           "data_root_page": data, "metadata_root_page": metadata, "hnsw_edge_page": edges,
           "index_type": index_type}
    return json.dumps(doc, separators=(",", ":")).encode()


def edge_node(node_id, level, lists):
    """lists[layer]; empty lists are counted but write no block."""
    out = struct.pack("<QII", node_id, level, len(lists))
    for layer, ids in enumerate(lists):
        if ids:
            out += struct.pack(f"<II{len(ids)}Q", layer, len(ids), *ids)
    return out


def write_pages(path, pages):
    with open(path, "wb") as f:
        f.write(b"".join(pages))


SALTS = (0x1234, 0x5678)


def wal_header(magic=0x377F0683):
    head = struct.pack("<6I", magic, 1, PAGE, 0, *SALTS)
    return head + struct.pack("<II", zlib.crc32(head), 0)


def wal_frame(page_id, image, commit=True):
    sums = [zlib.crc32(struct.pack("<II", page_id, salt) + bytes(4) + image) for salt in SALTS]
    return struct.pack("<IQ8xII", page_id, int(commit), *sums) + image


def one_collection_file(path, vectors=(("a", 1, [1.0, 2.0, 3.0]),), dimension=3):
    """Data page 1, metadata page 2, catalog page 3: what a first
    create_collection("c", dimension) leaves. A vector of None is a marker."""
    data = page(1, *(vector_record(e, i, c) if c is not None else marker(e) for e, i, c in vectors))
    cat = page(4, catalog_record("c", dimension, data=1, metadata=2))
    write_pages(path, [header_page(4, 3), data, page(3), cat])


def hnsw_collection_file(path, edge_records, vectors=((1, [1, 0]), (2, [0, 1]), (3, [1, 1]))):
    """Pages: data 1 (vectors "v<internal>"), metadata 2, edges 3, catalog 4 ("h", hnsw, dim 2)."""
    data = page(1, *(vector_record(f"v{i}", i, c) for i, c in vectors))
    cat = page(4, catalog_record("h", 2, "Euclidean", 1, 2, 3, "hnsw"))
    write_pages(path, [header_page(5, 4), data, page(3), page(2, *edge_records), cat])


class V2File:
    """A format-2 file; pages are handed out in order, a stream's root
    directory before its data pages."""

    def __init__(self):
        self.pages, self.entries, self.roots = [bytearray(PAGE)], [], {}
        self.catalog_root = self.change_counter = 0

    def add_page(self, data=b""):
        self.pages.append(bytearray(data.ljust(PAGE, b"\0")))
        return len(self.pages) - 1

    def stream(self, data):
        """Writes a stream of one directory; returns its root (0 for no bytes)."""
        if not data:
            return 0
        root = self.add_page()
        ids = [self.add_page(data[i:i + PAGE]) for i in range(0, len(data), PAGE)]
        assert len(ids) <= 508
        self.pages[root][:32 + 8 * len(ids)] = struct.pack(
            f"<IIQQQ{len(ids)}Q", 0x52494453, len(ids), 0, len(data), 0, *ids)
        return root

    def collection(self, name, dim, rows, index="flat", free=(), live=True, snapshot=False, m=4):
        """rows: (id, vector, metadata dict or None); slots in `free` are left free."""
        slots, vectors, heap, gens, rows = b"", b"", b"", [], list(rows)
        for i in range(len(rows) + len(free)):
            ext, vec, meta = ("", [0] * dim, None) if i in free else rows.pop(0)
            doc = json.dumps(meta, separators=(",", ":")).encode() if meta is not None else b""
            gen = 0 if i in free else self.change_counter + 1
            self.change_counter = max(self.change_counter, gen)
            gens.append(gen)
            slots += struct.pack("<QQII", gen, len(heap) if gen else 0, len(ext.encode()), len(doc))
            heap += ext.encode() + doc
            vectors += struct.pack(f"<{dim}f", *vec)
        roots = [self.stream(slots), self.stream(vectors), self.stream(heap),
                 self.stream(ring_snapshot(gens, m)) if snapshot else 0]
        self.roots.update({(name, k): r for k, r in zip(("slots", "vectors", "heap", "graph"),
                                                         roots)})
        body = name.encode() + json.dumps(
            {"dimension": dim, "metric": "Euclidean", "index_type": index, "m": m,
             "ef_construction": 100, "ef_search": 32}, separators=(",", ":")).encode()
        self.entries.append(struct.pack("<IIQQQQI", 44 + len(body), int(live), *roots,
                                        len(name.encode())) + body)

    def bytes(self):
        if self.entries and not self.catalog_root:
            self.catalog_root = self.stream(b"".join(self.entries))
        head = b"orvane format 2\0" + struct.pack("<IIQQQQI", 2, PAGE, len(self.pages),
                                                   self.catalog_root, self.change_counter,
                                                   1_700_000_000, 0)
        self.pages[0][:64] = head + struct.pack("<I", zlib.crc32(head))
        return b"".join(self.pages)


def ring_snapshot(generations, m):
    """Every used slot a layer-0 node linked to the next used slot."""
    used = [i for i, g in enumerate(generations) if g]
    table = b""
    for i, g in enumerate(generations):
        links = [used[(used.index(i) + 1) % len(used)]] if g and len(used) > 1 else []
        table += struct.pack(f"<QII{2 * m}I", g, 0, len(links), *links, *[0] * (2 * m - len(links)))
    head = b"HNSW" + struct.pack("<IIIQQIIQ", 1, m, 2 * m, len(generations),
                                 used[0] if used else 2**64 - 1, 0, zlib.crc32(table), 0)
    return head.ljust(64, b"\0") + table
