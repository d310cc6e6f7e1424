"""Opening, closing, context management and lifetime: every Kestrum on an
open file shares its database, and the last release closes it."""

import gc
import os

import pytest

from orvane import Kestrum


def ids_of(collection):
    return sorted(hit["id"] for hit in collection.search([0.0, 0.0, 0.0], len(collection) + 1))


def test_context_manager_closes_nothing_and_suppresses_nothing(db_path, wal_path):
    store = Kestrum(db_path)
    with pytest.raises(ValueError, match="inside"):
        with store as entered:
            assert entered is store
            entered.create_collection("docs", 2).insert([1, 2], "a")
            raise ValueError("inside")
    assert os.path.exists(wal_path)
    assert store.get_collection("docs").search([1, 2]) == [{"id": "a", "score": 0.0}]


def test_close_twice_and_keep_working(db, wal_path, docs):
    docs.insert([1, 2, 3], "a")
    assert db.close() is None
    assert not os.path.exists(wal_path)
    assert db.close() is None
    assert docs.insert([4, 5, 6], "b") == "b"
    assert [hit["id"] for hit in docs.search([1, 2, 3])] == ["a", "b"]


def test_objects_on_one_file_share_it_until_the_last_release(db_path, wal_path):
    first = Kestrum(db_path)
    second = Kestrum(db_path)
    docs = first.create_collection("docs", 3, "euclidean")
    assert second.list_collections() == ["docs"]
    mine = second.get_collection("docs")
    docs.insert([0.0, 0.0, 1.0], id="a")
    mine.insert([0.0, 2.0, 0.0], id="b")
    mine.delete("a")
    assert ids_of(docs) == ["b"]
    # Generated ids come from one counter: no two objects hand out one id.
    generated = {docs.insert([1.0, 1.0, 1.0]), mine.insert([2.0, 2.0, 2.0])}
    assert len(generated) == 2

    del first, docs
    gc.collect()
    assert os.path.exists(wal_path)  # the other object goes on writing
    mine.insert([0.0, 0.0, 3.0], id="after-release")
    del second
    gc.collect()
    assert os.path.exists(wal_path)  # the handle still holds the database
    del mine
    gc.collect()
    assert not os.path.exists(wal_path)  # released without close(): flushed
    assert ids_of(Kestrum(db_path).get_collection("docs")) == sorted(
        ["b", "after-release"] + list(generated))


def test_open_failures_raise_runtime_error_and_make_no_object(tmp_path):
    with pytest.raises(RuntimeError, match="^Storage error: "):
        Kestrum(str(tmp_path))  # a directory
    with pytest.raises(RuntimeError):
        Kestrum(str(tmp_path / "missing" / "x.db"))
    assert os.listdir(tmp_path) == []
