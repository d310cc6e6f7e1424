"""One file, one owner, across processes: a second process's open is refused
and changes nothing until the first process ends; a forked child can use
nothing it inherited, and its exit leaves the parent's files alone."""

import gc
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from orvane import Kestrum

CONFLICT = "Storage error: Write conflict: another writer is active"


def ids_of(collection):
    return sorted(hit["id"] for hit in collection.search([0.0, 0.0, 0.0], len(collection) + 1))


def start(db_path, script):
    """Starts `script` in a new interpreter (db_path in `path`); returns the
    process once it has printed "ready", and the lines it printed before."""
    source = ("import gc, json, os, sys\nfrom orvane import Kestrum\npath = sys.argv[1]\n"
              + textwrap.dedent(script) + "\nprint('ready', flush=True)\nsys.stdin.read()\n")
    proc = subprocess.Popen([sys.executable, "-c", source, db_path],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    lines = []
    for line in proc.stdout:
        if line == "ready\n":
            return proc, lines
        lines.append(line.rstrip("\n"))
    proc.wait()
    pytest.fail(f"child ended with {proc.returncode} before it was ready: {lines}")


def kill(proc):
    proc.kill()
    proc.communicate()
    assert proc.returncode == -signal.SIGKILL


@pytest.mark.parametrize("ending", ["exit", "kill"])
def test_second_process_opens_once_the_first_has_ended(db_path, ending):
    holder, _ = start(db_path, """
        db = Kestrum(path)
        db.create_collection("docs", 3).insert([1.0, 1.0, 1.0], id="held")
    """)
    try:
        with pytest.raises(RuntimeError) as err:
            Kestrum(db_path)
        assert str(err.value) == CONFLICT
    finally:
        if ending == "kill":
            kill(holder)
        else:
            holder.communicate("")  # stdin closed: the script runs to its end
            assert holder.returncode == 0
    db = Kestrum(db_path)
    assert ids_of(db.get_collection("docs")) == ["held"]


# Every operation the child tries on what it inherited, then how it ends.
FORK_SCRIPT = """
    ending = sys.argv[2]
    db = Kestrum(path)
    col = db.create_collection("docs", 3)
    col.insert([1.0, 0.0, 0.0], id="before-fork")
    def snapshot():
        return [open(path, "rb").read().hex(), open(path + "-wal", "rb").read().hex()]
    before = snapshot()
    calls = {
        "insert": lambda: col.insert([0.0, 1.0, 0.0], id="child"),
        "search": lambda: col.search([1.0, 0.0, 0.0]),
        "delete": lambda: col.delete("before-fork"),
        "len": lambda: len(col),
        "create": lambda: db.create_collection("child", 2),
        "get": lambda: db.get_collection("docs"),
        "list": lambda: db.list_collections(),
        "close": lambda: db.close(),
        "open": lambda: Kestrum(path),
    }
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        said = {}
        for name, call in calls.items():
            try:
                call()
                said[name] = "ok"
            except RuntimeError as e:
                said[name] = str(e)
        os.write(write_end, json.dumps(said).encode())
        os.close(write_end)
        if ending == "_exit":
            os._exit(0)
        if ending == "release":
            del db, col, calls
            gc.collect()
        sys.exit(0)  # "finalize": the interpreter's exit releases the objects
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        said = json.loads(pipe.read())
    _, status = os.waitpid(pid, 0)
    print(json.dumps({"said": said, "status": status, "unchanged": snapshot() == before}))
    col.insert([0.0, 0.0, 1.0], id="after-fork")
"""


@pytest.mark.parametrize("ending", ["_exit", "release", "finalize"])
def test_forked_child_can_use_nothing_and_leaves_the_files_alone(db_path, wal_path, ending):
    source = FORK_SCRIPT.replace("sys.argv[2]", repr(ending))
    parent, lines = start(db_path, source)
    try:
        report = json.loads(lines[-1])
        assert os.path.exists(wal_path)
    finally:
        kill(parent)
    assert report["status"] == 0
    assert report["said"] == {name: CONFLICT for name in report["said"]}
    assert len(report["said"]) == 9
    assert report["unchanged"]  # the child's exit wrote and deleted nothing
    db = Kestrum(db_path)  # the parent was killed after its last insert
    assert ids_of(db.get_collection("docs")) == ["after-fork", "before-fork"]


def test_forked_child_does_not_keep_the_parents_lock(db_path):
    # A child that lives on (a worker) must not hold the file once the
    # parent has let go of it.
    parent, lines = start(db_path, """
        db = Kestrum(path)
        db.create_collection("docs", 3).insert([1.0, 1.0, 1.0], id="x")
        read_end, write_end = os.pipe()
        started_read, started_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            # The child lets go of the lock before fork() returns in it.
            os.write(started_write, b"s")
            os.close(write_end)
            os.read(read_end, 1)  # lives until the parent ends
            os._exit(0)
        os.close(read_end)
        os.read(started_read, 1)
        del db
        gc.collect()
        again = Kestrum(path)
        print(len(again.get_collection("docs")), flush=True)
        del again
        gc.collect()
    """)
    try:
        assert lines == ["1"]
        db = Kestrum(db_path)  # the child still runs
        assert ids_of(db.get_collection("docs")) == ["x"]
    finally:
        kill(parent)  # the child ends when its pipe closes
