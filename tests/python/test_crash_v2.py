"""Killed processes keep every acknowledged batch call on format-2 files
(short form of tests/crash/crash_harness_v2.py; `--runs 2000` is the long
form), and the harness itself notices a lost or a changed row.
"""

import os
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "crash"))

import crash_harness_v2  # noqa: E402

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"
KILLS = 20 if SANITIZED else 200
OPS_PER_CHILD = 12
CHAIN = 30


def test_killed_processes_keep_every_acknowledged_batch(tmp_path):
    seed = random.randrange(1 << 32)
    harness = crash_harness_v2.Harness(seed, OPS_PER_CHILD, log=lambda line: None)
    stats = harness.run(KILLS, str(tmp_path), CHAIN)
    report = f"seed={seed} {stats.summary()} {stats.details()} {stats.failures[:3]}"
    print(report)
    assert stats.lost == 0 and stats.corrupt == 0, report
    assert stats.kills == KILLS and stats.checked >= stats.kills // 2, report
    if not SANITIZED:  # the long first chain reaches every case
        assert stats.largest >= 50_000 and stats.widest >= 1000, report
        assert stats.checkpoints > 0 and stats.in_flight > 0 and stats.applied_in_flight > 0, report
        assert stats.closes > 0 and stats.refused > 0, report


@pytest.mark.parametrize("lie", ["lost", "corrupt"])
def test_harness_reports_a_child_that_lies(tmp_path, lie):
    # "lost": an add acknowledged but never made; "corrupt": an upsert made
    # with another version than the one reported.
    harness = crash_harness_v2.Harness(5, OPS_PER_CHILD, lie=lie, log=lambda line: None)
    chain = crash_harness_v2.Chain(str(tmp_path / "lie.db"))
    for ops in (40, 0):
        harness.run_child(chain, ops, "release", str(tmp_path), may_kill=False)
    assert getattr(harness.stats, lie) >= 1, harness.stats.failures
