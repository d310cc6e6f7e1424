"""One file, one owner, across processes: a second process's open is refused
until the first process ends, and a forked child that lives on does not keep
the parent's lock (what a forked child may use: engine tests)."""

import subprocess
import sys

import pytest

from orvane import Kestrum

PRELUDE = """import gc, os, sys
from orvane import Kestrum
db = Kestrum(sys.argv[1])
db.create_collection("docs", 3).insert([1.0, 1.0, 1.0], id="held")
"""
FORKS = """read_end, write_end = os.pipe()
if os.fork() == 0:  # the child lets go of the lock before fork() returns in it
    os.close(write_end)
    os.read(read_end, 1)  # lives until the parent ends
    os._exit(0)
del db
gc.collect()
print(len(Kestrum(sys.argv[1]).get_collection("docs")), flush=True)
gc.collect()
"""


def held_ids(db_path):
    return [hit["id"] for hit in Kestrum(db_path).get_collection("docs").search([0, 0, 0], 2)]


@pytest.mark.parametrize("ending", ["exit", "signal", "fork"])
def test_a_file_has_one_owning_process(db_path, ending):
    script = PRELUDE + (FORKS if ending == "fork" else "") + "print('ready', flush=True)\n"
    holder = subprocess.Popen([sys.executable, "-c", script + "sys.stdin.read()\n", db_path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        # fork: the parent let go, opened again and let go again; its child lives on
        expected = "1\nready\n" if ending == "fork" else "ready\n"
        assert holder.stdout.read(len(expected)) == expected
        if ending == "fork":
            assert held_ids(db_path) == ["held"]
        else:
            with pytest.raises(RuntimeError, match="^Storage error: Write conflict: another wr"):
                Kestrum(db_path)
    finally:
        if ending != "exit":
            holder.kill()  # a forked child ends when its pipe closes
        holder.communicate("")  # stdin closed: the script runs to its end
    assert holder.returncode == (0 if ending == "exit" else -9)
    assert held_ids(db_path) == ["held"]
