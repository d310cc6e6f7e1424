"""Opening, closing, context management, lifetime and reopening."""

import gc
import os

import pytest

from orvane import Kestrum


def test_context_manager_returns_self_and_leaves_database_open(db_path, wal_path):
    store = Kestrum(db_path)
    with store as entered:
        assert entered is store
        entered.create_collection("docs", 2).insert([1, 2], "a")
    assert os.path.exists(wal_path)  # leaving the block closes nothing
    assert store.get_collection("docs").search([1, 2]) == [{"id": "a", "score": 0.0}]
    del store, entered
    gc.collect()
    assert not os.path.exists(wal_path)  # the last release does


def test_exit_does_not_suppress_exceptions(db_path):
    with pytest.raises(ValueError, match="inside"):
        with Kestrum(db_path) as store:
            raise ValueError("inside")
    assert store.list_collections() == []
    assert store.__exit__(ValueError, ValueError("x"), None) is None


def test_close_twice_and_keep_working(db, db_path, wal_path, docs):
    assert os.path.exists(wal_path)
    docs.insert([1, 2, 3], "a")
    assert db.close() is None
    assert not os.path.exists(wal_path)
    assert db.close() is None
    assert docs.insert([4, 5, 6], "b") == "b"
    assert [hit["id"] for hit in docs.search([1, 2, 3])] == ["a", "b"]
    assert db.get_collection("docs").dimension == 3


def test_handle_keeps_the_database_alive(db_path, wal_path):
    store = Kestrum(db_path)
    docs = store.create_collection("docs", 2, "euclidean")
    del store
    gc.collect()
    assert os.path.exists(wal_path)
    assert docs.insert([3, 4], "a") == "a"
    assert docs.search([0, 0]) == [{"id": "a", "score": 5.0}]
    other = docs
    del docs
    gc.collect()
    assert os.path.exists(wal_path)
    del other
    gc.collect()
    assert not os.path.exists(wal_path)
    # Released without close(): the final flush persisted the insert.
    assert Kestrum(db_path).get_collection("docs").search([0, 0]) == [{"id": "a", "score": 5.0}]


def test_open_failures_raise_runtime_error_and_make_no_object(tmp_path):
    with pytest.raises(RuntimeError) as info:
        Kestrum(str(tmp_path))  # a directory
    assert info.value.args[0].startswith("Storage error: ")
    with pytest.raises(RuntimeError):
        Kestrum(str(tmp_path / "missing" / "x.db"))
    assert os.listdir(tmp_path) == []
