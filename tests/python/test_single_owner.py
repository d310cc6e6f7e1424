"""One file, one owner, within one process: every Kestrum on a file that is
already open shares its database, whatever path names the file; a file put
in another's place at the same path is another database."""

import gc
import os
import signal
import subprocess
import sys
import textwrap

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


def test_symbolic_link_and_relative_path_reach_the_same_database(tmp_path, monkeypatch):
    path = tmp_path / "real.db"
    link = tmp_path / "link.db"
    db = Kestrum(str(path))
    os.symlink(path, link)
    via_link = Kestrum(str(link))
    via_link.create_collection("docs", 3).insert([1.0, 1.0, 1.0], id="x")
    assert db.list_collections() == ["docs"]
    monkeypatch.chdir(tmp_path)
    relative = Kestrum("real.db")
    assert ids_of(relative.get_collection("docs")) == ["x"]
    relative.get_collection("docs").insert([2.0, 2.0, 2.0], id="y")
    assert ids_of(db.get_collection("docs")) == ["x", "y"]
    # The log beside the file, not beside the link.
    assert os.path.exists(str(path) + "-wal") and not os.path.exists(str(link) + "-wal")


@pytest.mark.parametrize("remove_log", [False, True])
def test_file_replaced_at_the_path_is_another_database(db_path, wal_path, remove_log):
    old = Kestrum(db_path)
    old_docs = old.create_collection("docs", 3)
    old_docs.insert([1.0, 0.0, 0.0], id="old")
    os.remove(db_path)
    if remove_log:
        os.remove(wal_path)
    new = Kestrum(db_path)
    assert new.list_collections() == []
    new_col = new.create_collection("fresh", 2)
    new_col.insert([4.0, 4.0], id="new")
    # The old object goes on with its own (deleted) file.
    old_docs.insert([0.0, 1.0, 0.0], id="old-2")
    assert ids_of(old_docs) == ["old", "old-2"]
    assert old.list_collections() == ["docs"]

    # Releasing the old object writes nothing into the new files and leaves
    # the new log where it is.
    files_before = (open(db_path, "rb").read(), open(wal_path, "rb").read())
    old.close()
    del old, old_docs
    gc.collect()
    assert (open(db_path, "rb").read(), open(wal_path, "rb").read()) == files_before
    new_col.insert([5.0, 5.0], id="new-2")
    del new, new_col
    gc.collect()
    assert not os.path.exists(wal_path)
    reopened = Kestrum(db_path)
    assert reopened.list_collections() == ["fresh"]
    assert ids_of(reopened.get_collection("fresh"), (0.0, 0.0)) == ["new", "new-2"]


def run_until_ready_then_kill(db_path, script):
    """Runs `script` in a new interpreter (db_path in `path`), kills it with
    SIGKILL once it prints "ready"."""
    source = "import sys, gc\nfrom orvane import Kestrum\npath = sys.argv[1]\n"
    source += textwrap.dedent(script) + "\nprint('ready', flush=True)\nsys.stdin.read()\n"
    proc = subprocess.Popen([sys.executable, "-c", source, db_path],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line == "ready\n", f"child said {line!r}"
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode == -signal.SIGKILL


def test_notebook_pattern_keeps_both_inserts_through_a_kill(db_path):
    run_until_ready_then_kill(db_path, """
        db = Kestrum(path)
        col = db.create_collection("docs", 3, "euclidean")
        col.insert([1.0, 0.0, 0.0], id="first")
        db = Kestrum(path)
        col = db.get_collection("docs")
        col.insert([0.0, 1.0, 0.0], id="second")
    """)
    db = Kestrum(db_path)
    assert ids_of(db.get_collection("docs")) == ["first", "second"]


def test_old_handles_released_after_newer_writes_keep_them_through_a_kill(db_path):
    # The old objects are released (which closes the shared database only if
    # they were the last) after the new ones wrote, then the process dies.
    run_until_ready_then_kill(db_path, """
        db = Kestrum(path)
        col = db.create_collection("docs", 3, "euclidean")
        col.insert([1.0, 0.0, 0.0], id="first")
        again = Kestrum(path)
        again_col = again.get_collection("docs")
        again_col.insert([0.0, 1.0, 0.0], id="second")
        again.create_collection("more", 2).insert([1.0, 2.0], id="m")
        del db, col
        gc.collect()
        again_col.insert([0.0, 0.0, 1.0], id="third")
        again_col.delete("first")
    """)
    db = Kestrum(db_path)
    assert ids_of(db.get_collection("docs")) == ["second", "third"]
    assert ids_of(db.get_collection("more"), (0.0, 0.0)) == ["m"]

