"""One file, one owner, across processes: a second process's open is refused
until the first process ends, and a forked child that lives on does not keep
the parent's lock (what a forked child may use: engine tests)."""

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
