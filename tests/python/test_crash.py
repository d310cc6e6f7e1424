"""Short runs of the kill -9 harness in tests/crash, and its own fault detection."""

import os
import random
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "crash"))

import crash_harness  # noqa: E402

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"
KILLS, SEED = (os.environ.get(f"ORVANE_CRASH_{k}") for k in ("KILLS", "SEED"))  # longer runs


# Besides its checks, what a run must have reached.
@pytest.mark.parametrize("fmt, reached", [(1, "in_flight closes full_deletes"),
                                          (2, "in_flight closes refused checkpoints "
                                              "applied_in_flight")])
def test_killed_processes_keep_every_acknowledged_call(tmp_path, fmt, reached):
    kills = int(KILLS or ((30 if fmt == 1 else 10) if SANITIZED else (200 if fmt == 1 else 100)))
    harness = crash_harness.Harness(fmt, int(SEED or random.randrange(1 << 32)))
    stats = harness.run(kills, str(tmp_path))
    report = f"seed={harness.seed} {dict(stats)} {harness.failures[:3]}"
    assert stats["lost"] == stats["corrupt"] == 0, report
    assert stats["kills"] == kills and stats["checked"] >= kills // 2, report
    if not SANITIZED:
        assert all(stats[k] > 0 for k in reached.split()), report
        assert fmt == 1 or (stats["largest"] >= 50_000 and stats["widest"] >= 1000), report


@pytest.mark.skipif(SANITIZED, reason="checks the harness's own Python")
@pytest.mark.parametrize("fmt, fault", [(1, "lost"), (1, "corrupt"), (2, "lost"), (2, "corrupt")])
def test_harness_reports_a_missing_or_changed_row(tmp_path, fmt, fault):
    harness = crash_harness.Harness(fmt, 5)
    chain = crash_harness.Chain(str(tmp_path / "f.db"), fmt)
    harness.run_child(chain, 30, "release", str(tmp_path), may_kill=False)
    held = next(c["ids"] for c in chain.model.colls.values() if c["ids"])
    # the model holds a row never written, or other versions of the rows
    held.update({"9999999": 1} if fault == "lost" else {i: v + 1 for i, v in held.items()})
    harness.run_child(chain, 0, "release", str(tmp_path), may_kill=False)
    assert harness.stats[fault] >= 1, harness.failures
