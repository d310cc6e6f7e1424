"""Durability: calls that return are kept by a killed process, a delete that
cannot be stored is refused, and a stale log never reaches a new file."""

import gc
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from orvane import Kestrum

PAGE_FULL = "Vector data page full"


def run_and_kill(db_path, script):
    """Runs `script` in a new interpreter with `db` open on db_path, then
    kills it with SIGKILL once it prints "ready" (nothing is closed or
    released). Returns whether the log file existed just before the kill."""
    source = "import sys\nfrom orvane import Kestrum\ndb = Kestrum(sys.argv[1])\n"
    source += textwrap.dedent(script) + "\nprint('ready', flush=True)\nsys.stdin.read()\n"
    proc = subprocess.Popen([sys.executable, "-c", source, db_path],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line == "ready\n", f"child said {line!r}"
        wal_existed = os.path.exists(db_path + "-wal")
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode == -signal.SIGKILL
    return wal_existed


def ids_of(collection, query):
    return sorted(hit["id"] for hit in collection.search(query, len(collection) + 1))


def test_delete_on_a_page_full_of_bytes_is_refused_and_kept(db_path):
    db = Kestrum(db_path)
    col = db.create_collection("full", 90, "euclidean")
    # 8 records of 16 + 6 + 4 * 90 = 382 bytes fill the 3056 record bytes exactly.
    vectors = {f"vec-{i:02d}": [float(i)] * 90 for i in range(8)}
    for ident, vector in vectors.items():
        col.insert(vector, ident)
    with pytest.raises(RuntimeError) as err:
        col.insert([9.0] * 90, "v")
    assert str(err.value) == PAGE_FULL
    with pytest.raises(RuntimeError) as err:
        col.delete("vec-03")  # its 10-byte marker no longer fits
    assert str(err.value) == PAGE_FULL
    assert len(col) == 8
    assert col.search(vectors["vec-03"], 1) == [{"id": "vec-03", "score": 0.0}]
    col.delete("not-there")  # an unknown id needs no marker: still no error

    del db, col
    gc.collect()  # the last release closes the database
    db = Kestrum(db_path)
    col = db.get_collection("full")
    assert ids_of(col, [0.0] * 90) == sorted(vectors)
    assert col.search(vectors["vec-03"], 1) == [{"id": "vec-03", "score": 0.0}]
    with pytest.raises(RuntimeError) as err:
        col.delete("vec-03")
    assert str(err.value) == PAGE_FULL
    del db, col
    gc.collect()
    assert len(Kestrum(db_path).get_collection("full")) == 8


def test_delete_on_a_page_with_every_slot_used_is_refused_and_kept(db_path):
    db = Kestrum(db_path)
    col = db.create_collection("slots", 0)
    # 127 insert/delete pairs and two inserts: 256 slots, 2828 of 3056 bytes.
    for _ in range(127):
        col.insert([], "a")
        col.delete("a")
    col.insert([], "a")
    col.insert([], "b")
    with pytest.raises(RuntimeError) as err:
        col.delete("a")  # 5 bytes would fit; the slot does not
    assert str(err.value) == PAGE_FULL
    assert ids_of(col, []) == ["a", "b"]

    del db, col
    gc.collect()
    db = Kestrum(db_path)
    col = db.get_collection("slots")
    assert ids_of(col, []) == ["a", "b"]  # the re-inserted "a" outlives its older markers
    with pytest.raises(RuntimeError) as err:
        col.delete("b")
    assert str(err.value) == PAGE_FULL
    assert len(col) == 2


def test_a_kill_right_after_create_collection_keeps_the_collection(db_path):
    run_and_kill(db_path, """
        db.create_collection("docs", 3, "euclidean")
    """)
    db = Kestrum(db_path)
    assert db.list_collections() == ["docs"]
    docs = db.get_collection("docs")
    assert docs.dimension == 3 and len(docs) == 0
    docs.insert([0, 0, 0], "origin")
    docs.insert([3, 4, 0], "far")
    assert docs.search([0, 0, 0]) == [{"id": "origin", "score": 0.0}, {"id": "far", "score": 5.0}]

    del db, docs
    gc.collect()  # released before another process opens the file

    run_and_kill(db_path, """
        db.get_collection("docs").insert([1, 1, 1], "one")
        db.create_collection("dots", 2, "dot")
    """)
    db = Kestrum(db_path)
    assert sorted(db.list_collections()) == ["docs", "dots"]
    assert ids_of(db.get_collection("docs"), [0, 0, 0]) == ["far", "one", "origin"]
    dots = db.get_collection("dots")
    dots.insert([1, 2], "a")
    assert dots.search([1, 1]) == [{"id": "a", "score": -3.0}]  # DotProduct was kept


def test_writes_after_close_survive_a_kill(db_path):
    wal_existed = run_and_kill(db_path, """
        docs = db.create_collection("docs", 2, "euclidean")
        docs.insert([0, 0], "a")
        docs.insert([1, 0], "b")
        db.close()
        import os
        assert not os.path.exists(sys.argv[1] + "-wal")
        docs.insert([0, 2], "c")
        docs.insert([5, 5], "b")
        docs.delete("a")
        db.create_collection("later", 2).insert([1, 1], "x")
    """)
    assert wal_existed  # the first write after close() made a new log
    db = Kestrum(db_path)
    assert sorted(db.list_collections()) == ["docs", "later"]
    docs = db.get_collection("docs")
    assert docs.search([0, 0]) == [{"id": "c", "score": 2.0},
                                   {"id": "b", "score": pytest.approx(7.0710678)}]
    assert docs.search([5, 5], 1) == [{"id": "b", "score": 0.0}]
    assert ids_of(db.get_collection("later"), [1, 1]) == ["x"]


def test_a_kill_after_the_log_checkpointed_itself_keeps_everything(db_path):
    run_and_kill(db_path, """
        import os
        log = sys.argv[1] + "-wal"
        sizes = []
        for c in range(12):  # some 1250 frames: the log is checkpointed once on the way
            col = db.create_collection(f"c{c}", 2, "euclidean")
            for i in range(100):
                col.insert([c, i], f"v{i:03d}")
                sizes.append(os.path.getsize(log))
        assert any(b < a for a, b in zip(sizes, sizes[1:])), "the log never shrank"
    """)
    db = Kestrum(db_path)
    assert sorted(db.list_collections()) == sorted(f"c{c}" for c in range(12))
    for c in range(12):
        hits = db.get_collection(f"c{c}").search([c, 0], 101)
        assert {h["id"]: h["score"] for h in hits} == {f"v{i:03d}": float(i) for i in range(100)}


@pytest.mark.parametrize("new_file", ["missing", "empty"])
def test_a_stale_log_is_not_replayed_into_a_new_file(db_path, wal_path, new_file):
    run_and_kill(db_path, """
        old = db.create_collection("old", 2, "euclidean")
        for i in range(20):
            old.insert([i, i], f"v{i}")
    """)
    stale_size = os.path.getsize(wal_path)
    assert stale_size > 32  # the log holds the frames of the killed run
    if new_file == "missing":
        os.remove(db_path)
    else:
        open(db_path, "wb").close()

    db = Kestrum(db_path)
    assert db.list_collections() == []
    assert os.path.getsize(db_path) == 4096
    assert os.path.getsize(wal_path) == 32  # a fresh log, not the stale one
    db.create_collection("new", 3).insert([1, 2, 3], "n")
    del db
    gc.collect()
    db = Kestrum(db_path)
    assert db.list_collections() == ["new"]
    assert ids_of(db.get_collection("new"), [1, 2, 3]) == ["n"]
