"""Kill -9 harness for format-2 files (orvane.connect): crash_harness's
chains of killed children, with batch calls of up to 5,000 rows, collections
that grow past the log's checkpoint threshold, 1536-wide vectors, and
close() mid-run. Each child checks the file against the model (every row of
every acknowledged call, the call in flight whole or absent, exact searches
on Flat collections) and reports what it found. Prints
"runs=N kills=N acked_ops=N lost=N corrupt=N".

    python3 tests/crash/crash_harness_v2.py [--runs N] [--seed N] [--ops N] [--keep DIR]
"""

import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import crash_harness  # noqa: E402
from crash_model_v2 import Model  # noqa: E402


class Stats(crash_harness.Stats):
    def __init__(self):
        super().__init__()
        self.applied_in_flight = self.refused = self.checkpoints = self.largest = self.widest = 0
        self.unreached = 0  # HNSW rows a search as wide as the collection missed


class Chain:
    def __init__(self, path):
        self.path, self.model, self.pending, self.broken = path, Model(), None, False


def brief(op):
    return {k: (f"{len(v)} ids" if k == "ids" else v) for k, v in op.items()}


class Harness(crash_harness.Harness):
    kill_delay = 0.05

    def __init__(self, seed, ops, lie=None, keep=None, log=print):
        super().__init__(seed, ops, keep=keep, log=log)
        self.lie, self.stats = lie, Stats()

    def spawn(self, chain, ops, end, workdir, spread):
        state = Path(workdir) / "model.json"
        state.write_text(json.dumps({"model": chain.model.to_json(), "pending": chain.pending}))
        argv = [sys.executable, str(HERE / "crash_child_v2.py"), "--db", chain.path,
                "--model", str(state), "--seed", str(self.rng.getrandbits(63)),
                "--ops", str(ops), "--end", end] + (["--lie", self.lie] if self.lie else [])
        return subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def feed(self, chain, lines):
        wal, started = None, False
        for line in lines:
            if chain.broken:
                return
            tag, _, payload = line.decode().partition(" ")
            data = json.loads(payload) if payload else None
            if tag == "E":
                self.fail(chain, [], ["open or check failed: " + data])
            elif tag == "S":
                self.check(chain, data)
            elif tag == "P":
                chain.pending, started = data, True
            elif tag == "A":
                self.stats.checkpoints += wal is not None and data[1] < wal
                wal = None if chain.pending["op"] == "close" else data[1]
                self.acknowledge(chain, data[0])
        self.stats.in_flight += started and chain.pending is not None
        for coll in chain.model.colls.values():
            rows = len(coll["ids"])
            self.stats.largest = max(self.stats.largest, rows)
            self.stats.widest = max(self.stats.widest, rows if coll["dim"] >= 1536 else 0)

    def check(self, chain, found):
        if found["lost"] or found["corrupt"]:
            self.fail(chain, found["lost"], found["corrupt"])
            return
        self.stats.checked += 1
        self.stats.unreached += found["unreached"]
        if found["applied"]:
            self.stats.applied_in_flight += 1
            chain.model.apply(chain.pending)
        chain.pending = None

    def acknowledge(self, chain, outcome):
        op, chain.pending = chain.pending, None
        want = chain.model.outcome(op)
        if outcome != want:
            self.fail(chain, [], [f"{brief(op)} ended with {outcome!r}, expected {want!r}"])
            return
        self.stats.acked_ops += 1
        self.stats.refused += outcome != "ok"
        self.stats.closes += op["op"] == "close"
        if outcome == "ok":
            chain.model.apply(op)

    def run(self, runs, workdir, chain_length=30):
        # A long first chain: its big collection passes 50,000 rows.
        self.run_chain(workdir, min(runs, chain_length), None)
        return super().run(runs, workdir, chain_length)

    def run_chain(self, workdir, kills_wanted, stale_wal):
        self.stats.chains += 1
        chain = Chain(os.path.join(workdir, f"chain{self.stats.chains}.db"))
        for _ in range(kills_wanted):
            end = self.rng.choices(["wait", "close", "release"], [6, 2, 1])[0]
            self.run_child(chain, self.rng.randint(1, self.ops), end, workdir)
            if chain.broken:
                return None
        self.verify_file(chain)  # as the kill left it, log included
        self.run_child(chain, 0, "release", workdir, may_kill=False)  # checks only
        self.verify_file(chain)
        for suffix in ("", "-wal"):
            if os.path.exists(chain.path + suffix):
                os.remove(chain.path + suffix)
        return None


def main(argv):
    return crash_harness.cli(argv, lambda seed, a: Harness(seed, a.ops, keep=a.keep), 12, 30,
                             "orvane-crash-v2-", doc=__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
