"""Kill -9 harnesses: acknowledged calls must survive a killed process.

Parent mode (the default) runs chains of child processes on one database
file each. Every child reopens the file left by the child before it, reports
what it finds (checked against the model: every acknowledged call present,
at most the one call in flight missing or present, every search exact), then
makes random inserts, replacements, deletes (also on full pages, which must
fail and change nothing), creations and close() calls, reporting each on a
pipe, and is killed with SIGKILL at a random moment. A chain ends with a
child that only checks. Prints "runs=N kills=N acked_ops=N lost=N corrupt=N".

Format 2 (orvane.connect, `v2`): the same chains with batch calls of up to
5,000 rows, collections that grow past the log's checkpoint threshold,
1536-wide vectors, and close() mid-run. Each child checks the file against
the model (every row of every acknowledged call, the call in flight whole or
absent, exact searches on Flat collections) and reports what it found.

    python3 tests/crash/crash_harness.py [v2] [--runs N] [--seed N] [--ops N]
                                         [--no-reopen-live] [--keep DIR]
    python3 tests/crash/crash_harness.py child ...   (started by the parent)

PYTHONPATH must reach the orvane package; children inherit the environment.
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
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import crash_model  # noqa: E402

LINE_TIMEOUT = 120.0  # seconds without a line before a child counts as hung
# Some chains start with a long child: enough calls on the fresh file to pass
# the 1000 frames at which a call checkpoints the log, so kills also land in
# and after such a checkpoint.
LONG_OPS = 1500
FRAME_BYTES = 28 + 4096
MAX_FAILURES = 10  # failing chains after which a run stops (say, children that cannot start)


class Stats:
    SUMMARY = ("runs", "kills", "acked_ops", "lost", "corrupt")

    def __init__(self):
        self.runs = self.kills = self.acked_ops = self.lost = self.corrupt = 0
        self.chains = self.checked = self.in_flight = self.failed_calls = self.full_deletes = 0
        self.closes = self.long_runs = self.checkpointed = self.live_reopens = 0
        self.failures = []

    def summary(self):
        return " ".join(f"{k}={getattr(self, k)}" for k in self.SUMMARY)

    def details(self):
        return " ".join(f"{k}={v}" for k, v in vars(self).items()
                        if k not in self.SUMMARY and k != "failures")


class Chain:
    """One database file, the models its state may be in, the call in flight."""

    def __init__(self, path):
        self.path, self.candidates, self.pending, self.broken = path, [crash_model.Model()], None, False


class Harness:
    kill_delay = 0.0003  # most seconds between a call's start line and the kill
    stale_logs = True  # a chain may start beside the log the chain before it left
    long_share = 0.15
    chain = Chain
    def __init__(self, seed, ops, reopen_live=True, keep=None, lie=False, log=print):
        self.rng = random.Random(seed)
        self.seed = seed
        self.ops = ops
        self.reopen_live = reopen_live
        self.keep = keep
        self.lie = lie
        self.log = log
        self.stats = Stats()
        self.startup = 0.15  # running estimate of a child's time to its snapshot
        self.child_ok = 0  # calls of the current child that succeeded

    # -- one child ---------------------------------------------------------

    def spawn(self, chain, ops, end, workdir, spread):
        argv = [sys.executable, str(HERE / "crash_harness.py"), "child", "--db", chain.path,
                "--seed", str(self.rng.getrandbits(63)), "--ops", str(ops), "--end", end]
        return subprocess.Popen(argv + self.child_args(chain, workdir, spread),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def child_args(self, chain, workdir, spread):
        probes = Path(workdir) / "probes.json"
        probes.write_text(json.dumps(crash_model.probes(chain.candidates)), encoding="utf-8")
        return ["--probes", str(probes), "--reopen-live", "1" if self.reopen_live else "0",
                "--lie", "1" if self.lie else "0", "--spread", "1" if spread else "0"]

    def run_child(self, chain, ops, end, workdir, may_kill=True, spread=False):
        """Runs one child to its kill (or its end); feeds its lines to the chain."""
        self.stats.runs += 1
        self.child_ok = 0
        proc = self.spawn(chain, ops, end, workdir, spread)
        started = time.monotonic()
        plan = self.rng.random() if may_kill else 1.0
        kill_at_line = self.rng.randint(1, ops) if ops and may_kill else None
        kill_delay = 0.0 if self.rng.random() < 0.5 else self.rng.uniform(0, self.kill_delay)
        deadline = started + self.rng.uniform(0, 1.3 * self.startup) if plan < 0.1 else None
        buf, lines, pending_count, killed = b"", [], 0, False
        fd = proc.stdout.fileno()
        while True:
            timeout = LINE_TIMEOUT if deadline is None else max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                if deadline is None:
                    self.fail(chain, [], [f"child silent for {LINE_TIMEOUT:.0f} s (hung)"])
                killed = self.kill(proc)
                break
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break  # the child ended on its own
            buf += chunk
            *complete, buf = buf.split(b"\n")
            for line in complete:
                lines.append(line)
                if line.startswith(b"S "):
                    elapsed = time.monotonic() - started
                    self.startup = 0.8 * self.startup + 0.2 * elapsed
                pending_count += line.startswith(b"P ")
            if any(line == b"D" for line in complete) or (
                    kill_at_line is not None and plan >= 0.1 and pending_count >= kill_at_line):
                if kill_delay and not complete[-1:] == [b"D"]:
                    time.sleep(kill_delay)
                killed = self.kill(proc)
                break
        if killed:  # whatever reached the pipe before the kill still counts
            rest = proc.stdout.read()
            buf += rest
            *complete, buf = buf.split(b"\n")
            lines.extend(complete)
        proc.stdout.close()
        proc.stdin.close()
        code = proc.wait()
        self.feed(chain, lines)
        if killed and code == -signal.SIGKILL:
            self.stats.kills += 1
        elif code != 0:  # a child that ended before the signal must have ended well
            self.fail(chain, [], [f"child exited with status {code}"])

    @staticmethod
    def kill(proc):
        proc.send_signal(signal.SIGKILL)
        return True

    # -- the model ---------------------------------------------------------

    def feed(self, chain, lines):
        started = False
        for line in lines:
            if chain.broken:
                return
            tag, _, payload = line.decode().partition(" ")
            data = json.loads(payload) if payload else None
            if tag == "S":
                self.check(chain, data)
            elif tag == "E":
                self.fail(chain, [], ["open or check failed: " + data])
            elif tag == "P":
                chain.pending, started = data, True
            elif tag == "A":
                self.acknowledge(chain, data)
        self.stats.in_flight += started and chain.pending is not None
        self.fed(chain)

    def fed(self, chain):
        if chain.pending is not None:
            chain.candidates = crash_model.advance_in_flight(chain.candidates, chain.pending)
            chain.pending = None

    def acknowledge(self, chain, outcome):
        op, chain.pending = chain.pending, None
        self.stats.acked_ops += 1
        kept = crash_model.advance(chain.candidates, op, outcome)
        if not kept:
            allowed = sorted(set().union(*(m.outcomes(op) for m in chain.candidates)))
            self.fail(chain, [], [f"{op['op']} on {op.get('c')!r} ended with {outcome!r}, "
                                  f"expected one of {allowed}"])
            return
        chain.candidates = kept
        self.stats.failed_calls += outcome != "ok"
        self.stats.full_deletes += op["op"] == "delete" and outcome == crash_model.PAGE_FULL
        self.stats.closes += op["op"] == "close"
        self.stats.live_reopens += op["op"] == "reopen" and outcome == "ok"
        self.child_ok += outcome == "ok" and op["op"] != "close"

    def check(self, chain, snap):
        matching, (lost, corrupt) = crash_model.classify(chain.candidates, snap)
        if matching:
            self.stats.checked += 1
            chain.candidates = matching
        else:
            self.fail(chain, lost, corrupt)

    def fail(self, chain, lost, corrupt):
        if chain.broken:
            return
        chain.broken = True
        self.stats.lost += len(lost)
        self.stats.corrupt += len(corrupt) or (0 if lost else 1)
        message = f"seed={self.seed} chain={self.stats.chains}: {crash_model.describe(lost, corrupt)}"
        self.stats.failures.append(message)
        self.log("FAIL " + message)
        if self.keep:
            dest = Path(self.keep) / f"chain{self.stats.chains}"
            dest.mkdir(parents=True, exist_ok=True)
            for suffix in ("", "-wal"):
                if os.path.exists(chain.path + suffix):
                    shutil.copy(chain.path + suffix, dest)

    # -- chains ------------------------------------------------------------

    def run_chain(self, workdir, kills_wanted, stale_wal):
        self.stats.chains += 1
        chain = self.chain(os.path.join(workdir, "crash.db"))
        for suffix in ("", "-wal"):
            if os.path.exists(chain.path + suffix):
                os.remove(chain.path + suffix)
        if stale_wal and self.rng.random() < 0.5:
            # A log left by an earlier database must not reach this new one.
            shutil.copy(stale_wal, chain.path + "-wal")
        for run in range(kills_wanted):
            if run == 0 and self.rng.random() < self.long_share:
                self.run_long_child(chain, workdir)
            else:
                end = self.rng.choices(["wait", "close", "release"], [6, 2, 1])[0]
                self.run_child(chain, self.rng.randint(1, self.ops), end, workdir)
            if chain.broken:
                return None
        stale = os.path.join(workdir, "stale-wal")
        if self.stale_logs and os.path.exists(chain.path + "-wal"):
            shutil.copy(chain.path + "-wal", stale)
        self.verify_file(chain)  # as the kill left it, log included
        self.run_child(chain, 0, "release", workdir, may_kill=False)  # checks only
        self.verify_file(chain)  # closed: everything in the file itself
        return stale if os.path.exists(stale) else None

    def run_long_child(self, chain, workdir):
        """Calls spread over every collection and no close(): the log only
        shrinks when a call checkpoints it."""
        self.stats.long_runs += 1
        self.run_child(chain, LONG_OPS, "wait", workdir, spread=True)
        wal = chain.path + "-wal"
        if os.path.exists(wal) and os.path.getsize(wal) < 32 + FRAME_BYTES * self.child_ok:
            self.stats.checkpointed += 1

    def verify_file(self, chain):
        """The read-only checker must find the file sound."""
        if chain.broken or not os.path.exists(chain.path):  # killed before it was made
            return
        done = subprocess.run([sys.executable, "-m", "orvane", "verify", chain.path],
                              capture_output=True, text=True, check=False)
        if done.returncode != 0:
            text = " / ".join((done.stdout + done.stderr).strip().splitlines()[:6])
            self.fail(chain, [], [f"verify exited with {done.returncode}: {text}"])

    def run(self, runs, workdir, chain_length=10):
        stale = None
        while self.stats.kills < runs and len(self.stats.failures) < MAX_FAILURES:
            kills_wanted = min(self.rng.randint(1, chain_length), runs - self.stats.kills)
            stale = self.run_chain(workdir, kills_wanted, stale)
        return self.stats


class Stats2(Stats):
    def __init__(self):
        super().__init__()
        self.applied_in_flight = self.refused = self.checkpoints = self.largest = self.widest = 0
        self.unreached = 0  # HNSW rows a search as wide as the collection missed


class Chain2:
    def __init__(self, path):
        self.path, self.model, self.pending, self.broken = path, crash_model.Model2(), None, False
        self.wal = None  # the log's size after the last call, to see checkpoints


def brief(op):
    return {k: (f"{len(v)} ids" if k == "ids" else v) for k, v in op.items()}


class Harness2(Harness):
    kill_delay = 0.05
    stale_logs = False
    long_share = 0.0
    chain = Chain2

    def __init__(self, seed, ops, lie=None, keep=None, log=print):
        super().__init__(seed, ops, keep=keep, log=log)
        self.lie, self.stats = lie, Stats2()

    def child_args(self, chain, workdir, spread):
        state = Path(workdir) / "model.json"
        state.write_text(json.dumps({"model": chain.model.to_json(), "pending": chain.pending}))
        return ["--format", "2", "--model", str(state)] + (["--lie", self.lie] if self.lie else [])

    def fed(self, chain):
        chain.wal = None
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

    def acknowledge(self, chain, data):
        op, chain.pending, (outcome, wal) = chain.pending, None, data
        self.stats.checkpoints += chain.wal is not None and wal < chain.wal
        chain.wal = None if op["op"] == "close" else wal
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


def cli(argv, make, ops, chain, prefix, reopen_live_flag=False):
    """The command line of a harness: `make(seed, args)` builds it."""
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--runs", type=int, default=2000, help="kills to perform")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--ops", type=int, default=ops, help="most calls per child")
    p.add_argument("--chain", type=int, default=chain, help="most kills per database file")
    p.add_argument("--keep", default=None, help="copy the files of failing chains here")
    if reopen_live_flag:
        p.add_argument("--no-reopen-live", dest="reopen_live", action="store_false",
                       help="never open the database again while old handles are alive")
    args = p.parse_args(argv)
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    harness = make(seed, args)
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix=prefix) as workdir:
        stats = harness.run(args.runs, workdir, args.chain)
    print(f"seed={seed} {stats.details()} seconds={time.monotonic() - started:.1f}")
    print(stats.summary())
    return 0 if stats.lost == 0 and stats.corrupt == 0 else 1


def main(argv):
    if argv[:1] == ["child"]:
        import crash_child
        crash_child.main(argv[1:])
        return 0
    if argv[:1] == ["v2"]:
        return cli(argv[1:], lambda seed, a: Harness2(seed, a.ops, keep=a.keep), 12, 30,
                   "orvane-crash-v2-")
    return cli(argv, lambda seed, a: Harness(seed, a.ops, reopen_live=a.reopen_live, keep=a.keep),
               40, 10, "orvane-crash-", reopen_live_flag=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
