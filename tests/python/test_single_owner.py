"""One file, one owner, within one process: every Kestrum on a file that is
already open shares its database, and the last release closes it. (Paths
that name one file and files replaced at their path: engine tests; kills with
old objects alive: the crash harness.)"""

import gc
import os

import pytest

from orvane import Kestrum


def ids_of(collection, query=(0.0, 0.0, 0.0)):
    return sorted(hit["id"] for hit in collection.search(list(query), len(collection) + 1))


def test_two_objects_see_each_others_changes_at_once(db_path):
    first = Kestrum(db_path)
    second = Kestrum(db_path)
    docs = first.create_collection("docs", 3, "euclidean")
    assert second.list_collections() == ["docs"]
    other = second.create_collection("other", 2)
    assert sorted(first.list_collections()) == ["docs", "other"]
    assert first.get_collection("other").dimension == 2

    docs.insert([0.0, 0.0, 1.0], id="a")
    seen_by_second = second.get_collection("docs")
    assert ids_of(seen_by_second) == ["a"]
    seen_by_second.insert([0.0, 2.0, 0.0], id="b")
    assert ids_of(docs) == ["a", "b"]
    assert docs.search([0.0, 2.0, 0.0], 1) == [{"id": "b", "score": 0.0}]
    seen_by_second.delete("a")
    assert ids_of(docs) == ["b"] and len(docs) == 1
    other.insert([1.0, 1.0], id="o")
    assert len(first.get_collection("other")) == 1

    # Generated ids come from one counter: no two objects hand out one id.
    generated = {docs.insert([1.0, 1.0, 1.0]), seen_by_second.insert([2.0, 2.0, 2.0])}
    assert len(generated) == 2 and ids_of(docs) == sorted(["b"] + list(generated))


@pytest.mark.parametrize("close_first", [False, True])
def test_releasing_one_object_loses_nothing_the_other_wrote(db_path, close_first):
    first = Kestrum(db_path)
    docs = first.create_collection("docs", 3, "euclidean")
    docs.insert([1.0, 0.0, 0.0], id="from-first")
    second = Kestrum(db_path)
    mine = second.get_collection("docs")
    mine.insert([0.0, 1.0, 0.0], id="from-second")
    second.create_collection("later", 2).insert([5.0, 5.0], id="l")
    if close_first:
        first.close()
    del first, docs
    gc.collect()
    # The shared database is still open: the other object goes on writing.
    assert os.path.exists(db_path + "-wal") != close_first
    mine.insert([0.0, 0.0, 1.0], id="after-release")
    assert ids_of(mine) == ["after-release", "from-first", "from-second"]
    del second, mine
    gc.collect()

    reopened = Kestrum(db_path)
    assert sorted(reopened.list_collections()) == ["docs", "later"]
    assert ids_of(reopened.get_collection("docs")) == ["after-release", "from-first",
                                                       "from-second"]
    assert reopened.get_collection("later").search([5.0, 5.0], 1)[0]["id"] == "l"


def test_log_is_deleted_only_by_the_last_release(db_path, wal_path):
    first = Kestrum(db_path)
    second = Kestrum(db_path)
    col = second.create_collection("docs", 3)
    col.insert([1.0, 2.0, 3.0], id="a")
    del first
    gc.collect()
    assert os.path.exists(wal_path)
    del second
    gc.collect()
    assert os.path.exists(wal_path)  # the handle still holds the database
    assert ids_of(col) == ["a"]
    del col
    gc.collect()
    assert not os.path.exists(wal_path)
    assert ids_of(Kestrum(db_path).get_collection("docs")) == ["a"]


def test_close_on_one_object_leaves_the_other_usable(db_path, wal_path):
    first = Kestrum(db_path)
    second = Kestrum(db_path)
    col = first.create_collection("docs", 3)
    col.insert([1.0, 2.0, 3.0], id="a")
    second.close()
    assert not os.path.exists(wal_path)
    col.insert([3.0, 2.0, 1.0], id="b")  # a new log is made for it
    assert os.path.exists(wal_path)
    assert ids_of(second.get_collection("docs")) == ["a", "b"]
