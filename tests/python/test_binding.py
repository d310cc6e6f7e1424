"""The extension module's objects: reference counts, lifetimes of a database
shared by several objects, open failures and types."""

import contextlib
import gc
import os
import struct
import sys

import pytest

from orvane._native import Kestrum, PyCollection


def test_calls_leave_reference_counts_unchanged(db, docs):
    vector, ident, top_k = [1.0, 2.0, 3.0], "id-under-test", 12345
    view = memoryview(struct.pack("<3d", 1, 2, 3)).cast("d")
    watched = (vector, vector[0], view, ident, top_k, db, docs, type(db), type(docs))
    calls = [lambda: docs.insert(vector, ident), lambda: docs.insert(view, id=ident),
             lambda: docs.search(vector, top_k), lambda: docs.search(view),
             lambda: (len(docs), repr(docs), docs.name, docs.dimension),
             lambda: db.get_collection("docs"), db.list_collections, lambda: docs.delete(ident),
             lambda: docs.insert(vector, 5), lambda: docs.search([vector[0], "x", 3]),
             lambda: docs.search(vector, -1), lambda: docs.insert(vector[:2], ident),
             lambda: docs.delete(ident, ident), lambda: docs.search(vector, k=ident)]

    def exercise():
        for call in calls * 5:
            with contextlib.suppress(TypeError, OverflowError, RuntimeError):
                call()

    exercise()  # first calls may cache things for good
    before = [sys.getrefcount(obj) for obj in watched]
    exercise()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_objects_on_one_file_share_it_until_the_last_release(db_path):
    first, second = Kestrum(db_path), Kestrum(db_path)
    with pytest.raises(ValueError, match="inside"):
        with first as entered:  # the context manager closes nothing
            assert entered is first
            docs = entered.create_collection("docs", 3, "euclidean")
            raise ValueError("inside")
    mine = second.get_collection("docs")
    docs.insert([0.0, 0.0, 1.0], id="a")
    assert first.close() is None and first.close() is None
    assert not os.path.exists(db_path + "-wal")
    mine.delete("a")  # a closed database is opened again by its next call
    del first, entered, docs
    gc.collect()
    mine.insert([0.0, 0.0, 3.0], id="b")  # the other object goes on writing
    del second
    gc.collect()
    assert os.path.exists(db_path + "-wal")  # the handle still holds the database
    del mine
    gc.collect()
    assert not os.path.exists(db_path + "-wal")  # released without close(): flushed
    assert [h["id"] for h in Kestrum(db_path).get_collection("docs").search([0.0] * 3)] == ["b"]


def test_open_failures_raise_runtime_error_and_make_no_object(tmp_path):
    (tmp_path / "p.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200))
    for name, text in [("", "^Storage error: "), ("missing/x.db", ""),  # a directory, no folder
                       ("a.db\0b", "^Storage error: I/O error: path contains a NUL byte$"),
                       ("p.png", "^Storage error: Invalid database file: wrong magic bytes$")]:
        with pytest.raises(RuntimeError, match=text):
            Kestrum(str(tmp_path / name) if name else str(tmp_path))
    assert os.listdir(tmp_path) == ["p.png"]  # nothing made, not even under a name cut at NUL


def test_types_attributes_and_repr(db_path):
    store = type("Store", (Kestrum,), {})(db_path)  # Kestrum may be subclassed
    with pytest.raises(TypeError, match="^No constructor defined for PyCollection$"):
        PyCollection()
    handle = store.create_collection("it's", 0)
    assert repr(handle) == "Collection(name='it's', dim=0)"  # the name goes in raw
    huge = store.create_collection("big", 2**64 - 1)
    assert repr(huge) == "Collection(name='big', dim=18446744073709551615)"
