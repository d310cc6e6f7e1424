"""A kill at the n-th call of each writing system call on the file or its log, for every n,
leaves files holding every call that returned (the one in flight kept or not)."""

import itertools
import os
import shutil
import signal
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

from orvane import Kestrum

STRACE = shutil.which("strace")
if STRACE and subprocess.run([STRACE, "-qq", "-o", os.devnull, "true"]).returncode:
    STRACE = None  # containers may forbid ptrace
pytestmark = pytest.mark.skipif(STRACE is None, reason="needs strace that may trace")

WRITING_CALLS = "openat,unlink,unlinkat,rename,renameat2,write,pwrite64,pwritev,pwritev2,ftruncate"
WORKLOAD = """
import sys
from orvane import Kestrum
for n, step in enumerate(["db = Kestrum(sys.argv[1])",
                          "docs = db.create_collection('docs', 2, 'euclidean')",
                          "docs.insert([0, 0], 'a')", "docs.insert([3, 4], 'b')",
                          "docs.insert([6, 8], 'a')", "docs.delete('b')", "db.close()",
                          "docs.insert([1, 1], 'c')"]):
    exec(step)
    print(n, flush=True)
"""
# What a search for [0, 0] finds after each returned call (None: no collection).
STATES = [None, {}, {"a": 0.0}, {"a": 0.0, "b": 5.0}, {"a": 10.0, "b": 5.0},
          {"a": 10.0}, {"a": 10.0}, {"a": 10.0, "c": pytest.approx(2 ** 0.5)}]


def strace(db_path, stale_log, *inject):
    Path(db_path).unlink(missing_ok=True)
    shutil.copy(stale_log, db_path + "-wal")
    argv = [STRACE, "-f", "-qq", "-o", os.devnull, "-P", db_path, "-P", db_path + "-wal",
            "-e", "trace=" + WRITING_CALLS, *inject, sys.executable, "-c", WORKLOAD, db_path]
    return subprocess.run(argv, capture_output=True, text=True)


def state_of(db_path):
    db = Kestrum(db_path)
    if not (names := db.list_collections()):
        return None
    assert names == ["docs"], f"{names}: a stale log replayed"
    return {h["id"]: h["score"] for h in db.get_collection("docs").search([0, 0], 9)}


@pytest.fixture(scope="module")
def stale_log(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("stale") / "other.db")
    maker = ("import os, sys\nfrom orvane import Kestrum\n"
             "old = Kestrum(sys.argv[1]).create_collection('old', 2, 'euclidean')\n"
             "for i in range(5): old.insert([i, i], f'old{i}')\nos.kill(os.getpid(), 9)\n")
    assert subprocess.run([sys.executable, "-c", maker, path]).returncode == -signal.SIGKILL
    assert os.path.getsize(path + "-wal") > 32  # frames that must never reach a new file
    return path + "-wal"


def test_a_kill_at_any_write_keeps_every_returned_call(tmp_path, stale_log):
    db_path, kills = str(tmp_path / "k.db"), Counter()
    for call in WRITING_CALLS.split(","):
        for n in itertools.count(1):
            run = strace(db_path, stale_log, f"--inject={call}:signal=KILL:when={n}")
            acked = [int(x) for x in run.stdout.split()]
            if run.returncode == 0:  # fewer than n such calls: the run went through
                break
            kills[call] += 1
            where = f"killed at {call} #{n} after {len(acked)} calls returned"
            assert run.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL), where
            try:
                state = state_of(db_path)
            except RuntimeError as e:
                pytest.fail(f"{where}: reopening failed: {e}")
            allowed = [STATES[max(len(acked) - 1, 0)], STATES[min(len(acked), 7)]]
            assert state in allowed, f"{where}: found {state}, expected one of {allowed}"
    assert kills["pwritev"] + kills["pwrite64"] >= 8, kills  # the trace saw the writes
