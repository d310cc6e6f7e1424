"""Edges of insert, replay, open and close that show only across calls or a
reopen: ids known without a vector, a blocked log path, a catalog without
room, edge pages that only graphs read, and the order of equal scores."""

import os
import struct

import pytest

import file_builder as fb
from hostile_support import open_error, read
from orvane import Kestrum


def runtime_error(call):
    with pytest.raises(RuntimeError) as info:
        call()
    return str(info.value)


def markers(path, page_id=1):
    """Ids of the deletion markers on a page, in slot order, read from the file."""
    page = read(path)[page_id * fb.PAGE:(page_id + 1) * fb.PAGE]
    out = []
    for slot in range(struct.unpack_from("<H", page, 7)[0]):
        offset, length = struct.unpack_from("<HH", page, 16 + 4 * slot)
        rec = page[offset:offset + length]
        if length >= 4 and length == 4 + struct.unpack_from("<I", rec)[0]:
            out.append(rec[4:].decode())
    return out


def known_from_failed_insert(path):
    db = Kestrum(path)
    docs = db.create_collection("c", 3)
    assert runtime_error(lambda: docs.insert([1.0], "a")) == "Dimension mismatch: expected 3, got 1"
    return db


def known_from_replayed_record(path):
    fb.one_collection_file(path, vectors=(("a", 1, [1.0, 2.0]),))
    return Kestrum(path)


@pytest.mark.parametrize("known", [known_from_failed_insert, known_from_replayed_record])
def test_deleting_an_id_known_without_a_vector_writes_its_marker(db_path, known):
    db = known(db_path)
    docs = db.get_collection("c")
    assert len(docs) == 0
    docs.delete("a")
    db.close()
    assert markers(db_path) == ["a"]


@pytest.mark.parametrize("blocked, call, text", [
    ("before open", None, "Failed to open WAL: I/O error: Is a directory (os error 21)"),
    ("before close", "close", "WAL cleanup failed: I/O error: Is a directory (os error 21)"),
])
def test_a_directory_at_the_log_path_is_reported(db_path, wal_path, blocked, call, text):
    Kestrum(db_path).create_collection("c", 3).insert([1.0, 2.0, 3.0], "a")
    if blocked == "before open":
        os.mkdir(wal_path)
        assert open_error(db_path) == text
    else:
        db = Kestrum(db_path)
        os.remove(wal_path)
        os.mkdir(wal_path)
        assert runtime_error(db.close) == text
    assert os.path.isdir(wal_path)


@pytest.mark.parametrize("index_type, error", [
    ("flat", None),
    ("hnsw", "I/O error: failed to fill whole buffer"),
])
def test_an_edge_page_past_the_end_matters_only_to_a_graph(db_path, index_type, error):
    data = fb.SlottedPage(1).append(fb.vector_record("a", 1, [1.0, 2.0, 3.0]))
    catalog = fb.SlottedPage(4).append(
        fb.catalog_record("c", 3, data=1, metadata=2, edges=99, index_type=index_type))
    fb.write_pages(db_path, [fb.header_page(4, 3), data.bytes(), fb.SlottedPage(3).bytes(),
                             catalog.bytes()])
    if error:
        assert open_error(db_path) == error
    else:
        hits = Kestrum(db_path).get_collection("c").search([1.0, 2.0, 3.0])
        assert [h["id"] for h in hits] == ["a"]

