"""Shared by the hostile-input tests: file helpers and a small sound database."""

import os
import struct
import zlib

import pytest

import file_builder as fb
from orvane import Kestrum

IHDR = b"IHDR" + struct.pack(">IIBBBBB", 1, 1, 8, 6, 0, 0, 0)
PNG = (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + IHDR + struct.pack(">I", zlib.crc32(IHDR))
       + struct.pack(">I", 0) + b"IEND" + struct.pack(">I", zlib.crc32(b"IEND")))
WRONG_MAGIC = "Storage error: Invalid database file: wrong magic bytes"
SHORT_LOG = "Failed to open WAL: I/O error: failed to fill whole buffer"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def make_database(path, ids=("a", "b", "c")):
    """A closed database: collection docs (Euclidean, dimension 3) on pages 1
    (vectors), 2 (metadata) and 3 (catalog); vector i is [i, 1, 2]."""
    db = Kestrum(path)
    docs = db.create_collection("docs", 3, "euclidean")
    for i, ext in enumerate(ids):
        docs.insert([float(i), 1.0, 2.0], id=ext)
    db.close()
    del docs, db
    assert not os.path.exists(path + "-wal")
    assert len(read(path)) == 4 * fb.PAGE


def found_ids(path, query=(0.0, 1.0, 2.0)):
    """Opens the database, returns the ids docs finds for the query, closes."""
    db = Kestrum(path)
    hits = db.get_collection("docs").search(list(query), top_k=100)
    db.close()
    return sorted(h["id"] for h in hits)


def open_error(path):
    with pytest.raises(RuntimeError) as info:
        Kestrum(path)
    return str(info.value)


def valid_log_with_frame(page_id, image, commit=True):
    return fb.wal_header() + fb.wal_frame(page_id, image, commit=commit)
