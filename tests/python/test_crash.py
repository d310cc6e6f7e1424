"""Killed processes keep every acknowledged call (short form of the kill -9
harness in tests/crash; `python3 tests/crash/crash_harness.py --runs 2000`
is the long form), and the harness itself notices a lost or a changed vector.
"""

import os
import random
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "crash"))

import crash_harness  # noqa: E402

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"
KILLS = 30 if SANITIZED else 200
OPS_PER_CHILD = 30


def test_killed_processes_keep_every_acknowledged_call(tmp_path):
    seed = random.randrange(1 << 32)
    harness = crash_harness.Harness(seed, OPS_PER_CHILD, log=lambda line: None)
    stats = harness.run(KILLS, str(tmp_path))
    report = f"seed={seed} {stats.summary()} {stats.details()} {stats.failures[:3]}"
    print(report)
    assert stats.lost == 0 and stats.corrupt == 0, report
    assert stats.kills == KILLS, report
    # The checks really ran: most reopens were compared with the model, and
    # many calls were acknowledged before the kills.
    assert stats.checked >= stats.kills // 2, report
    assert stats.acked_ops >= 3 * stats.kills, report
    if not SANITIZED:
        assert stats.in_flight > 0 and stats.closes > 0 and stats.full_deletes > 0, report
        assert stats.live_reopens > 0, report


def run_without_kill(harness, chain, ops, workdir):
    harness.run_child(chain, ops, "release", workdir, may_kill=False)


def test_harness_reports_an_acknowledged_insert_that_was_never_made(tmp_path):
    harness = crash_harness.Harness(7, OPS_PER_CHILD, lie=True, log=lambda line: None)
    chain = crash_harness.Chain(str(tmp_path / "lie.db"))
    run_without_kill(harness, chain, 10, str(tmp_path))
    run_without_kill(harness, chain, 0, str(tmp_path))
    assert harness.stats.lost >= 1, harness.stats.failures
    assert "missing" in harness.stats.failures[0]


def test_harness_reports_a_changed_vector(tmp_path):
    harness = crash_harness.Harness(11, OPS_PER_CHILD, log=lambda line: None)
    chain = crash_harness.Chain(str(tmp_path / "flip.db"))
    run_without_kill(harness, chain, 20, str(tmp_path))
    assert harness.stats.failures == [] and len(chain.candidates) == 1

    # Released normally, so every record is in the database file itself:
    # change one component of one stored vector there.
    model = chain.candidates[0]
    name, coll = next((n, c) for n, c in sorted(model.colls.items()) if c.vectors and c.dim)
    vector = next(iter(coll.vectors.values()))
    stored = struct.pack(f"<{coll.dim}f", *vector)
    data = Path(chain.path).read_bytes()
    assert data.count(stored) >= 1
    at = data.rindex(stored)  # the latest record of that vector
    changed = struct.pack("<f", vector[0] + 0.25 if vector[0] < 0.5 else vector[0] - 0.25)
    Path(chain.path).write_bytes(data[:at] + changed + data[at + 4:])

    run_without_kill(harness, chain, 0, str(tmp_path))
    assert harness.stats.corrupt >= 1 and harness.stats.lost == 0, harness.stats.failures
    assert "vector changed" in harness.stats.failures[0] and repr(name) in harness.stats.failures[0]

