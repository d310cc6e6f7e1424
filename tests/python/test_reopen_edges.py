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


def fail_wrong_length(small, big):
    return runtime_error(lambda: small.insert([1.0]))


def fail_page_full(small, big):
    return runtime_error(lambda: big.insert([0.0] * 700))


@pytest.mark.parametrize("first, failing, text", [
    ("small", fail_wrong_length, "Dimension mismatch: expected 3, got 1"),
    ("big", fail_page_full, "Vector data page full"),
])
def test_a_failed_insert_uses_its_counter_draws(db_path, first, failing, text):
    db = Kestrum(db_path)
    handles = {"small": db.create_collection("small", 3), "big": db.create_collection("big", 700)}
    assert handles[first].insert([0.0] * (3 if first == "small" else 700)) == "doc_10000"
    assert failing(handles["small"], handles["big"]) == text
    assert handles["small"].insert([0.0, 0.0, 0.0]) == "doc_10004"


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


def test_a_full_catalog_loads_an_incomplete_collection_that_refuses_writes(db_path):
    data = fb.SlottedPage(1).append(fb.vector_record("a", 1, [1.0, 2.0, 3.0]))
    complete = fb.catalog_record("complete", 3, data=2, metadata=3)
    incomplete = fb.catalog_record("incomplete", 3, "Euclidean", data=1, metadata=0)
    filler = b"x" * (3056 - len(complete) - len(incomplete) - len(incomplete) // 2)
    catalog = fb.SlottedPage(4).append(complete).append(incomplete).append(filler)
    fb.write_pages(db_path, [fb.header_page(5, 4), data.bytes(), fb.SlottedPage(1).bytes(),
                             fb.SlottedPage(3).bytes(), catalog.bytes()])
    for _ in range(2):  # the open writes nothing that a second open trips over
        db = Kestrum(db_path)
        partial = db.get_collection("incomplete")
        assert partial.search([1.0, 2.0, 3.0]) == [{"id": "a", "score": 0.0}]
        full = "Catalog page full \u2014 cannot persist collection"
        assert runtime_error(lambda: partial.insert([1.0, 2.0, 3.0], "b")) == full
        assert runtime_error(lambda: partial.delete("a")) == full
        db.get_collection("complete").insert([1.0, 2.0, 3.0])
        db.close()
        del partial, db
    assert len(read(db_path)) == 5 * fb.PAGE


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


@pytest.mark.parametrize("calls, order", [
    ([("delete", "a")], ["b", "c"]),
    ([("delete", "a"), ("insert", "a")], ["b", "c", "a"]),
    ([("insert", "a")], ["a", "b", "c"]),
    ([("delete", "b"), ("insert", "d"), ("delete", "a")], ["c", "d"]),
])
def test_equal_scores_after_reopen_follow_the_surviving_records(db_path, calls, order):
    with Kestrum(db_path) as db:
        docs = db.create_collection("c", 2, "euclidean")
        for ext in "abc":
            docs.insert([1.0, 1.0], ext)
        for op, ext in calls:
            docs.delete(ext) if op == "delete" else docs.insert([1.0, 1.0], ext)
        db.close()
    del docs, db
    hits = Kestrum(db_path).get_collection("c").search([1.0, 1.0])
    assert [h["id"] for h in hits] == order
