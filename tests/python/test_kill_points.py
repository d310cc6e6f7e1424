"""A process killed at any write to the database or its log leaves files that
open, holding every call that returned (the call in flight may be kept or
not). strace stops the process with SIGKILL at the n-th call of one system
call on those two files, for every n and every such system call a run makes:
from the creating open (with a stale log of another database beside it)
through create_collection, inserts, a replacement, a delete, close() and an
insert after it.
"""

import gc
import os
import shutil
import signal
import subprocess
import sys
from collections import Counter

import pytest

from orvane import Kestrum


def usable_strace():
    """strace, if it is installed and may trace here (containers can forbid ptrace)."""
    path = shutil.which("strace")
    if path is None:
        return None
    probe = subprocess.run([path, "-qq", "-o", os.devnull, "true"], capture_output=True,
                           check=False)
    return path if probe.returncode == 0 else None


STRACE = usable_strace()
pytestmark = pytest.mark.skipif(STRACE is None, reason="needs strace that may trace (Debian strace)")

WRITING_CALLS = ["openat", "unlink", "unlinkat", "rename", "renameat2",
                 "write", "pwrite64", "pwritev", "pwritev2", "ftruncate"]

WORKLOAD = """
import sys
from orvane import Kestrum
def ack(n):
    print(n, flush=True)
db = Kestrum(sys.argv[1]); ack(0)
docs = db.create_collection("docs", 2, "euclidean"); ack(1)
docs.insert([0, 0], "a"); ack(2)
docs.insert([3, 4], "b"); ack(3)
docs.insert([6, 8], "a"); ack(4)
docs.delete("b"); ack(5)
db.close(); ack(6)
docs.insert([1, 1], "c"); ack(7)
"""

# What a search for [0, 0] finds after each acknowledged call (None: no collection).
STATES = [None, {}, {"a": 0.0}, {"a": 0.0, "b": 5.0}, {"a": 10.0, "b": 5.0},
          {"a": 10.0}, {"a": 10.0}, {"a": 10.0, "c": pytest.approx(1.4142135)}]

STALE_LOG_MAKER = """
import os, signal, sys
from orvane import Kestrum
old = Kestrum(sys.argv[1]).create_collection("old", 2, "euclidean")
for i in range(5):
    old.insert([i, i], f"old{i}")
os.kill(os.getpid(), signal.SIGKILL)
"""


def strace(db_path, trace_file, *inject):
    argv = [STRACE, "-f", "-qq", "-o", trace_file, "-P", db_path, "-P", db_path + "-wal",
            "-e", "trace=" + ",".join(WRITING_CALLS), *inject,
            sys.executable, "-c", WORKLOAD, db_path]
    return subprocess.run(argv, capture_output=True, text=True, check=False)


def state_of(db_path):
    db = Kestrum(db_path)
    try:
        names = db.list_collections()
        assert set(names) <= {"docs"}, f"collections {names}: the stale log was replayed"
        if not names:
            return None
        return {h["id"]: h["score"] for h in db.get_collection("docs").search([0, 0], 10)}
    finally:
        del db
        gc.collect()


@pytest.fixture(scope="module")
def stale_log(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("stale") / "other.db")
    done = subprocess.run([sys.executable, "-c", STALE_LOG_MAKER, path], check=False)
    assert done.returncode == -signal.SIGKILL
    assert os.path.getsize(path + "-wal") > 32  # frames that must never reach a new file
    return path + "-wal"


def test_a_kill_at_any_write_keeps_every_returned_call(tmp_path, stale_log):
    db_path = str(tmp_path / "k.db")
    trace = str(tmp_path / "trace")
    shutil.copy(stale_log, db_path + "-wal")
    dry = strace(db_path, trace)
    assert dry.returncode == 0, dry.stderr
    assert dry.stdout.split() == [str(n) for n in range(8)]
    with open(trace, encoding="utf-8") as f:
        calls = Counter(line.split()[1].split("(")[0] for line in f if "(" in line)
    assert calls["pwritev"] + calls["pwrite64"] >= 8, calls  # the trace saw the writes

    points = 0
    for call, count in sorted(calls.items()):
        for n in range(1, count + 1):
            for suffix in ("", "-wal"):
                if os.path.exists(db_path + suffix):
                    os.remove(db_path + suffix)
            shutil.copy(stale_log, db_path + "-wal")
            run = strace(db_path, os.devnull, "-e", f"inject={call}:signal=KILL:when={n}")
            acked = [int(x) for x in run.stdout.split()]
            where = f"killed at {call} #{n} after {len(acked)} calls returned"
            assert acked == list(range(len(acked))), where
            assert run.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL), where
            try:
                state = state_of(db_path)
            except RuntimeError as e:
                pytest.fail(f"{where}: reopening failed: {e}")
            last = len(acked) - 1
            allowed = [STATES[i] for i in {max(last, 0), min(last + 1, 7)}]
            assert state in allowed, f"{where}: found {state}, expected one of {allowed}"
            points += 1
    assert points == sum(calls.values())
