"""A process killed at any write to the database or its log leaves files that
open holding every call that returned (the one in flight kept or not): strace
kills it at the n-th call of each writing system call on those two files, for
every n, from the creating open (beside another database's stale log) to an
insert after close().
"""

import os
import shutil
import signal
import subprocess
import sys
from collections import Counter

import pytest

from orvane import Kestrum

STRACE = shutil.which("strace")
if STRACE and subprocess.run([STRACE, "-qq", "-o", os.devnull, "true"], check=False).returncode:
    STRACE = None  # containers may forbid ptrace
pytestmark = pytest.mark.skipif(STRACE is None, reason="needs strace that may trace")

WRITING_CALLS = "openat,unlink,unlinkat,rename,renameat2,write,pwrite64,pwritev,pwritev2,ftruncate"
WORKLOAD = """
import sys
from orvane import Kestrum
db = Kestrum(sys.argv[1]); print(0, flush=True)
docs = db.create_collection("docs", 2, "euclidean"); print(1, flush=True)
for n, (v, i) in enumerate([([0, 0], "a"), ([3, 4], "b"), ([6, 8], "a")], 2):
    docs.insert(v, i); print(n, flush=True)
docs.delete("b"); print(5, flush=True)
db.close(); print(6, flush=True)
docs.insert([1, 1], "c"); print(7, flush=True)
"""
# What a search for [0, 0] finds after each returned call (None: no collection).
STATES = [None, {}, {"a": 0.0}, {"a": 0.0, "b": 5.0}, {"a": 10.0, "b": 5.0},
          {"a": 10.0}, {"a": 10.0}, {"a": 10.0, "c": pytest.approx(2 ** 0.5)}]


def strace(db_path, trace_file, stale_log, *inject):
    for path in (db_path, db_path + "-wal"):
        if os.path.exists(path):
            os.remove(path)
    shutil.copy(stale_log, db_path + "-wal")
    argv = [STRACE, "-f", "-qq", "-o", trace_file, "-P", db_path, "-P", db_path + "-wal",
            "-e", "trace=" + WRITING_CALLS, *inject, sys.executable, "-c", WORKLOAD, db_path]
    return subprocess.run(argv, capture_output=True, text=True, check=False)


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
    db_path, trace = str(tmp_path / "k.db"), str(tmp_path / "trace")
    dry = strace(db_path, trace, stale_log)
    assert dry.returncode == 0 and dry.stdout.split() == [str(n) for n in range(8)], dry.stderr
    with open(trace, encoding="utf-8") as f:
        calls = Counter(line.split()[1].split("(")[0] for line in f if "(" in line)
    assert calls["pwritev"] + calls["pwrite64"] >= 8, calls  # the trace saw the writes
    for call, count in sorted(calls.items()):
        for n in range(1, count + 1):
            run = strace(db_path, os.devnull, stale_log, f"--inject={call}:signal=KILL:when={n}")
            acked = [int(x) for x in run.stdout.split()]
            where = f"killed at {call} #{n} after {len(acked)} calls returned"
            assert acked == list(range(len(acked))), where
            assert run.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL), where
            try:
                state = state_of(db_path)
            except RuntimeError as e:
                pytest.fail(f"{where}: reopening failed: {e}")
            allowed = [STATES[max(len(acked) - 1, 0)], STATES[min(len(acked), 7)]]
            assert state in allowed, f"{where}: found {state}, expected one of {allowed}"
