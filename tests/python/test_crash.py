"""Killed processes keep every acknowledged call, on classic and format-2
files (short runs of the kill -9 harness in tests/crash; `--runs 2000` is the
long form), and the harness notices a lost or a changed row.
"""

import os
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "crash"))

import crash_harness  # noqa: E402

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"
# What a run must have reached besides its checks, per format.
REACHED = {1: ["in_flight", "closes", "full_deletes", "live_reopens"],
           2: ["in_flight", "closes", "refused", "checkpoints", "applied_in_flight"]}


@pytest.mark.parametrize("fmt", [1, 2])
def test_killed_processes_keep_every_acknowledged_call(tmp_path, fmt):
    kills = (30 if fmt == 1 else 20) if SANITIZED else 200
    harness = crash_harness.Harness(fmt, random.randrange(1 << 32), log=lambda line: None)
    stats = harness.run(kills, str(tmp_path))
    report = f"seed={harness.seed} {dict(stats)} {harness.failures[:3]}"
    print(report)
    assert stats["lost"] == stats["corrupt"] == 0, report
    # The checks really ran: most reopens were compared with the model.
    assert stats["kills"] == kills and stats["checked"] >= kills // 2, report
    assert stats["acked_ops"] >= 3 * kills or fmt == 2, report
    if not SANITIZED:
        assert all(stats[k] > 0 for k in REACHED[fmt]), report
        assert fmt == 1 or (stats["largest"] >= 50_000 and stats["widest"] >= 1000), report


@pytest.mark.parametrize("fmt", [1, 2])
@pytest.mark.parametrize("lie", ["lost", "corrupt"])
def test_harness_reports_a_child_that_lies(tmp_path, fmt, lie):
    # "lost": new rows acknowledged but never written; "corrupt": a
    # replacement written with another version than the one reported.
    harness = crash_harness.Harness(fmt, 5, lie=lie, log=lambda line: None)
    chain = crash_harness.Chain(str(tmp_path / "lie.db"), fmt)
    for ops in (40, 0):
        harness.run_child(chain, ops, "release", str(tmp_path), may_kill=False)
    assert harness.stats[lie] >= 1, harness.failures
