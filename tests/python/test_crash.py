"""Killed processes keep every acknowledged call, on classic and format-2
files (short forms of the kill -9 harnesses in tests/crash; `--runs 2000` is
the long form), and each harness notices a lost or a changed row.
"""

import os
import random
import struct
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "crash"))

import crash_harness  # noqa: E402

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"


def quiet(line):
    pass


def run_without_kill(harness, chain, ops, workdir):
    harness.run_child(chain, ops, "release", workdir, may_kill=False)


def test_killed_processes_keep_every_acknowledged_call(tmp_path):
    kills = 30 if SANITIZED else 200
    seed = random.randrange(1 << 32)
    stats = crash_harness.Harness(seed, 30, log=quiet).run(kills, str(tmp_path))
    report = f"seed={seed} {stats.summary()} {stats.details()} {stats.failures[:3]}"
    print(report)
    assert stats.lost == 0 and stats.corrupt == 0, report
    # The checks really ran: most reopens were compared with the model, and
    # many calls were acknowledged before the kills.
    assert stats.kills == kills and stats.checked >= stats.kills // 2, report
    assert stats.acked_ops >= 3 * stats.kills, report
    if not SANITIZED:
        assert stats.in_flight > 0 and stats.closes > 0 and stats.full_deletes > 0, report
        assert stats.live_reopens > 0, report


def test_killed_processes_keep_every_acknowledged_batch(tmp_path):
    kills = 20 if SANITIZED else 200
    seed = random.randrange(1 << 32)
    stats = crash_harness.Harness2(seed, 12, log=quiet).run(kills, str(tmp_path), 30)
    report = f"seed={seed} {stats.summary()} {stats.details()} {stats.failures[:3]}"
    print(report)
    assert stats.lost == 0 and stats.corrupt == 0, report
    assert stats.kills == kills and stats.checked >= stats.kills // 2, report
    if not SANITIZED:  # the long first chain reaches every case
        assert stats.largest >= 50_000 and stats.widest >= 1000, report
        assert stats.checkpoints > 0 and stats.in_flight > 0 and stats.applied_in_flight > 0, report
        assert stats.closes > 0 and stats.refused > 0, report


def test_harness_reports_an_acknowledged_insert_that_was_never_made(tmp_path):
    harness = crash_harness.Harness(7, 30, lie=True, log=quiet)
    chain = crash_harness.Chain(str(tmp_path / "lie.db"))
    run_without_kill(harness, chain, 10, str(tmp_path))
    run_without_kill(harness, chain, 0, str(tmp_path))
    assert harness.stats.lost >= 1, harness.stats.failures
    assert "missing" in harness.stats.failures[0]


def test_harness_reports_a_changed_vector(tmp_path):
    harness = crash_harness.Harness(11, 30, log=quiet)
    chain = crash_harness.Chain(str(tmp_path / "flip.db"))
    run_without_kill(harness, chain, 20, str(tmp_path))
    assert harness.stats.failures == [] and len(chain.candidates) == 1

    # Released normally, so every record is in the database file itself:
    # change one component of one stored vector there.
    model = chain.candidates[0]
    name, coll = next((n, c) for n, c in sorted(model.colls.items()) if c.vectors and c.dim)
    vector = next(iter(coll.vectors.values()))
    data = Path(chain.path).read_bytes()
    at = data.rindex(struct.pack(f"<{coll.dim}f", *vector))  # the latest record of that vector
    changed = struct.pack("<f", vector[0] + 0.25 if vector[0] < 0.5 else vector[0] - 0.25)
    Path(chain.path).write_bytes(data[:at] + changed + data[at + 4:])

    run_without_kill(harness, chain, 0, str(tmp_path))
    assert harness.stats.corrupt >= 1 and harness.stats.lost == 0, harness.stats.failures
    assert "vector changed" in harness.stats.failures[0] and repr(name) in harness.stats.failures[0]


@pytest.mark.parametrize("lie", ["lost", "corrupt"])
def test_format_2_harness_reports_a_child_that_lies(tmp_path, lie):
    # "lost": an add acknowledged but never made; "corrupt": an upsert made
    # with another version than the one reported.
    harness = crash_harness.Harness2(5, 12, lie=lie, log=quiet)
    chain = crash_harness.Chain2(str(tmp_path / "lie.db"))
    for ops in (40, 0):
        run_without_kill(harness, chain, ops, str(tmp_path))
    assert getattr(harness.stats, lie) >= 1, harness.stats.failures
