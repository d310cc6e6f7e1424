"""Kill -9 harness: acknowledged calls must survive a killed process.

Runs chains of child processes (crash_child.py) on one database file each:
every child reopens the file the one before it left, checks it against the
model, makes random calls and is killed with SIGKILL at a random moment (or
during its open); the parent checks every outcome reported against the
model. A chain ends with `python -m orvane verify` and a child that only
checks. Format 1 is the classic API, format 2 (`v2`) orvane.connect.

    python3 tests/crash/crash_harness.py [v2] [--runs N] [--seed N] [--ops N] [--chain N]

Prints "runs=N kills=N acked_ops=N lost=N corrupt=N"; PYTHONPATH must reach orvane.
"""

import argparse
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import crash_model  # noqa: E402

LINE_TIMEOUT = 120.0  # seconds without a line before a child counts as hung
LONG_OPS = 1500  # past the 1000 frames at which a classic call checkpoints the log
SUMMARY = ("runs", "kills", "acked_ops", "lost", "corrupt")


class Chain:
    """One database file, the model of what it holds and the call in flight."""

    def __init__(self, path, fmt):
        self.path, self.model, self.pending = path, crash_model.Model(paged=fmt == 1), None
        self.broken, self.wal = False, None  # the log's size after the last call


class Harness:
    def __init__(self, fmt, seed, ops=None, lie=None, log=print):
        self.fmt, self.seed, self.rng, self.lie, self.log = fmt, seed, random.Random(seed), lie, log
        self.ops = ops or (40 if fmt == 1 else 12)  # most calls per child
        self.kill_delay = 0.0003 if fmt == 1 else 0.05  # most seconds from a call to its kill
        self.stats, self.failures = Counter(), []
        self.startup = 0.15  # running estimate of a child's time to its check

    def run(self, kills, workdir, chain_length=None):
        chain_length = chain_length or (10 if self.fmt == 1 else 30)
        length = chain_length  # a long first chain: format 2's big collection passes 50,000 rows
        while self.stats["kills"] < kills and len(self.failures) < 10:
            self.run_chain(workdir, min(length, kills - self.stats["kills"]))
            length = self.rng.randint(1, chain_length)
        return self.stats

    def run_chain(self, workdir, kills):
        self.stats["chains"] += 1
        chain = Chain(os.path.join(workdir, "crash.db"), self.fmt)
        stale, wal = os.path.join(workdir, "stale-wal"), chain.path + "-wal"
        for path in (chain.path, wal):
            if os.path.exists(path):
                os.remove(path)
        if os.path.exists(stale) and self.rng.random() < 0.5:
            shutil.copy(stale, wal)  # a log left by another database must not reach this one
        for run in range(kills):
            if run == 0 and self.fmt == 1 and self.rng.random() < 0.15:
                self.stats["long_runs"] += 1  # calls checkpoint the log, no close()
                self.run_child(chain, LONG_OPS, "wait", workdir, long=True)
            else:
                end = self.rng.choices(["wait", "close", "release"], [6, 2, 1])[0]
                self.run_child(chain, self.rng.randint(1, self.ops), end, workdir)
            if chain.broken:
                return
        if os.path.exists(wal):
            shutil.copy(wal, stale)
        self.verify_file(chain)  # as the kill left it, log included
        self.run_child(chain, 0, "release", workdir, may_kill=False)
        self.verify_file(chain)  # closed: everything in the file itself

    def run_child(self, chain, ops, end, workdir, may_kill=True, long=False):
        """Runs one child to its kill (or its end), feeding its lines to the chain."""
        self.stats["runs"] += 1
        state = Path(workdir) / "model.json"
        state.write_text(json.dumps({"colls": chain.model.colls, "pending": chain.pending}))
        argv = [sys.executable, str(HERE / "crash_child.py"), "--format", str(self.fmt),
                "--db", chain.path, "--model", str(state), "--seed", str(self.rng.getrandbits(63)),
                "--ops", str(ops), "--end", end, "--long", str(int(long))]
        proc = subprocess.Popen(argv + (["--lie", self.lie] if self.lie else []),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        started, plan = time.monotonic(), self.rng.random() if may_kill else 1.0
        kill_at = self.rng.randint(1, ops) if ops and may_kill and plan >= 0.1 else None
        delay = self.rng.choice([0.0, self.rng.uniform(0, self.kill_delay)])
        deadline = started + self.rng.uniform(0, 1.3 * self.startup) if plan < 0.1 else None
        buf, calls, killed = b"", 0, False
        while not killed:
            wait = LINE_TIMEOUT if deadline is None else max(0.0, deadline - time.monotonic())
            if not select.select([proc.stdout], [], [], wait)[0]:
                if deadline is None:
                    self.fail(chain, [], [f"child silent for {LINE_TIMEOUT:.0f} s (hung)"])
                killed = True
            elif not (chunk := os.read(proc.stdout.fileno(), 1 << 16)):
                break  # the child ended on its own
            else:
                *lines, buf = (buf + chunk).split(b"\n")
                for line in lines:
                    calls += self.feed(chain, line)
                    if line.startswith(b"S "):
                        self.startup = 0.8 * self.startup + 0.2 * (time.monotonic() - started)
                killed = b"D" in lines or (kill_at is not None and calls >= kill_at)
                time.sleep(delay if killed and b"D" not in lines else 0)
        if killed:
            proc.kill()
            for line in (buf + proc.stdout.read()).split(b"\n")[:-1]:  # these still count
                self.feed(chain, line)
        proc.stdout.close()
        proc.stdin.close()
        code = proc.wait()
        self.stats["in_flight"] += chain.pending is not None
        if killed and code == -signal.SIGKILL:
            self.stats["kills"] += 1
        elif code != 0:  # a child that ended before the signal must have ended well
            self.fail(chain, [], [f"child exited with status {code}"])

    def feed(self, chain, line):
        """Takes one line of a child in; True for the start of a call."""
        tag, _, payload = line.decode().partition(" ")
        data = json.loads(payload) if payload else None
        if chain.broken or tag == "D":
            return tag == "P"
        if tag == "E":
            self.fail(chain, [], ["open or check failed: " + data])
        elif tag == "S" and (data[0] or data[1]):
            self.fail(chain, data[0], data[1])
        elif tag == "S":
            self.stats.update(checked=1, applied_in_flight=data[2])
            if data[2]:
                chain.model.apply(chain.pending)
            chain.pending = None
        elif tag == "P":
            chain.pending = data
        else:
            self.acknowledge(chain, *data)
        return tag == "P"

    def acknowledge(self, chain, outcome, wal):
        op, chain.pending, kind = chain.pending, None, chain.pending["op"]
        if outcome not in (allowed := chain.model.outcomes(op)):
            brief = {k: f"{len(v)} ids" if k == "ids" and len(v) > 3 else v for k, v in op.items()}
            self.fail(chain, [], [f"{brief} ended with {outcome!r}, expected one of {allowed}"])
            return
        if outcome == "ok":
            chain.model.apply(op)
        self.stats.update(acked_ops=1, refused=outcome != "ok", closes=kind == "close",
                          live_reopens=kind == "reopen",
                          full_deletes=kind == "delete" and outcome == crash_model.PAGE_FULL,
                          checkpoints=chain.wal is not None and wal < chain.wal)
        chain.wal = None if kind == "close" else wal
        for coll in chain.model.colls.values():
            self.stats["largest"] = max(self.stats["largest"], len(coll["ids"]))
            if coll["dim"] >= 1536:
                self.stats["widest"] = max(self.stats["widest"], len(coll["ids"]))

    def fail(self, chain, lost, corrupt):
        if not chain.broken:
            chain.broken = True
            self.stats.update(lost=len(lost), corrupt=len(corrupt) or (0 if lost else 1))
            message = f"seed={self.seed} chain={self.stats['chains']}: " + "; ".join(
                (lost + corrupt)[:8])
            self.failures.append(message)
            self.log("FAIL " + message)

    def verify_file(self, chain):
        """The read-only checker must find the file sound."""
        if chain.broken or not os.path.exists(chain.path):  # killed before it was made
            return
        done = subprocess.run([sys.executable, "-m", "orvane", "verify", chain.path],
                              capture_output=True, text=True, check=False)
        if done.returncode != 0:
            text = " / ".join((done.stdout + done.stderr).strip().splitlines()[:6])
            self.fail(chain, [], [f"verify exited with {done.returncode}: {text}"])


def main(argv):
    fmt = 2 if argv[:1] == ["v2"] else 1
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--runs", type=int, default=2000, help="kills to perform")
    p.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    p.add_argument("--ops", type=int, default=None, help="most calls per child")
    p.add_argument("--chain", type=int, default=None, help="most kills per database file")
    args = p.parse_args(argv[fmt - 1:])
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="orvane-crash-") as workdir:
        stats = Harness(fmt, args.seed, args.ops).run(args.runs, workdir, args.chain)
    details = " ".join(f"{k}={v}" for k, v in sorted(stats.items()) if k not in SUMMARY)
    print(f"seed={args.seed} {details} seconds={time.monotonic() - started:.1f}")
    print(" ".join(f"{k}={stats[k]}" for k in SUMMARY))
    return 0 if stats["lost"] == stats["corrupt"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
