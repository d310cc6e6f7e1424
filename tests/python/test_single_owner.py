"""One file, one owner, within one process: every Kestrum on a file that is
already open shares its database, and the last release closes it. (Paths
that name one file, files replaced at their path and a close on a shared
database: engine tests; kills with old objects alive: the crash harness.)"""

import gc
import os

from orvane import Kestrum


def ids_of(collection):
    return sorted(hit["id"] for hit in collection.search([0.0, 0.0, 0.0], len(collection) + 1))


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
    assert not os.path.exists(wal_path)
    assert ids_of(Kestrum(db_path).get_collection("docs")) == sorted(
        ["b", "after-release"] + list(generated))
