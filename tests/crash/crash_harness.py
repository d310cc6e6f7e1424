"""Kill -9 harness: acknowledged calls must survive a killed process.

    ORVANE_CRASH_KILLS=2000 [ORVANE_CRASH_SEED=N] pytest tests/python/test_crash.py

Children of a chain share one file: each reopens it, checks it against the model
("S" line), announces each random call ("P") and its outcome ("A"), and is killed at
random, also during its open. One os.write per line: a kill never leaves half a line.
"""

import gc
import json
import math
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import crash_model
import orvane

LINE_TIMEOUT = 120.0  # seconds without a line before a child counts as hung
NAMES = [f"c{i}" for i in range(20)] + ["", "na\u00efve", "\u540d\u524d", "with space"]
ID_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789_-\u00e9\u4e2d"
# Format 2's first collections, one past the log's checkpoint threshold: (dim, metric, index, rows)
FIXED = {"big": (8, "euclidean", "flat", 80_000), "wide": (1536, "dot", "flat", 3000)}


class Chain:
    def __init__(self, path, fmt):
        self.path, self.model, self.pending = path, crash_model.Model(paged=fmt == 1), None
        self.broken, self.wal = False, None  # the log's size after the last call


class Harness:
    def __init__(self, fmt, seed):
        self.fmt, self.seed, self.rng = fmt, seed, random.Random(seed)
        self.ops = 40 if fmt == 1 else 12  # most calls per child
        self.kill_delay = 0.0003 if fmt == 1 else 0.05  # most seconds from a call to its kill
        self.stats, self.failures, self.startup = Counter(), [], 0.15  # startup: time to a check

    def run(self, kills, workdir):
        # a long first chain: format 2's big collection passes 50,000 rows
        chain_length = length = 10 if self.fmt == 1 else 30
        while self.stats["kills"] < kills and len(self.failures) < 10:
            self.run_chain(workdir, min(length, kills - self.stats["kills"]))
            length = self.rng.randint(1, chain_length)
        return self.stats

    def run_chain(self, workdir, kills):
        self.stats["chains"] += 1
        chain = Chain(os.path.join(workdir, "crash.db"), self.fmt)
        stale, wal = os.path.join(workdir, "stale-wal"), chain.path + "-wal"
        for path in (chain.path, wal):
            Path(path).unlink(missing_ok=True)
        if os.path.exists(stale) and self.rng.random() < 0.5:
            shutil.copy(stale, wal)  # a log left by another database must not reach this one
        for _ in range(kills):
            end = self.rng.choices(["wait", "close", "release"], [6, 2, 1])[0]
            self.run_child(chain, self.rng.randint(1, self.ops), end, workdir)
            if chain.broken:
                return
        if os.path.exists(wal):
            shutil.copy(wal, stale)
        self.verify_file(chain)  # as the kill left it, log included
        self.run_child(chain, 0, "release", workdir, may_kill=False)
        self.verify_file(chain)  # closed: everything in the file itself

    def run_child(self, chain, ops, end, workdir, may_kill=True):
        self.stats["runs"] += 1
        state = Path(workdir) / "model.json"
        state.write_text(json.dumps({"colls": chain.model.colls, "pending": chain.pending}))
        argv = [sys.executable, __file__, "--format", str(self.fmt),
                "--db", chain.path, "--model", str(state), "--seed", str(self.rng.getrandbits(63)),
                "--ops", str(ops), "--end", end]
        with subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as proc:
            started, plan = time.monotonic(), self.rng.random() if may_kill else 1.0
            kill_at = self.rng.randint(1, ops) if ops and may_kill and plan >= 0.1 else None
            delay = self.rng.choice([0.0, self.rng.uniform(0, self.kill_delay)])
            deadline = started + self.rng.uniform(0, 1.3 * self.startup) if plan < 0.1 else None
            buf, calls, killed = b"", 0, False
            while not killed:
                wait = LINE_TIMEOUT if deadline is None else max(0.0, deadline - time.monotonic())
                if not select.select([proc.stdout], [], [], wait)[0]:
                    if deadline is None:
                        self.fail(chain, [], ["child hung"])
                    killed = True
                elif not (chunk := os.read(proc.stdout.fileno(), 1 << 16)):
                    break  # the child ended on its own
                else:
                    *lines, buf = (buf + chunk).split(b"\n")
                    calls += sum(self.feed(chain, line, started) for line in lines)
                    killed = b"D" in lines or (kill_at is not None and calls >= kill_at)
                    time.sleep(delay if killed and b"D" not in lines else 0)
            if killed:
                proc.kill()
                for line in (buf + proc.stdout.read()).split(b"\n")[:-1]:  # these still count
                    self.feed(chain, line)
        self.stats["in_flight"] += chain.pending is not None
        if killed and proc.returncode == -signal.SIGKILL:
            self.stats["kills"] += 1
        elif proc.returncode:  # a child that ended before the signal must have ended well
            self.fail(chain, [], [f"child exited with status {proc.returncode}"])

    def feed(self, chain, line, started=None):  # True for the start of a call
        tag, _, payload = line.decode().partition(" ")
        data = json.loads(payload) if payload else None
        if tag == "S" and started:
            self.startup = 0.8 * self.startup + 0.2 * (time.monotonic() - started)
        if chain.broken or tag == "D":
            return tag == "P"
        if tag == "S" and (data[0] or data[1]):
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
            self.fail(chain, [], [f"{kind} of {len(op.get('ids', []))} rows in {op.get('c')!r} "
                                  f"ended with {outcome!r}, expected one of {allowed}"])
            return
        if outcome == "ok":
            chain.model.apply(op)
        self.stats.update(acked_ops=1, refused=outcome != "ok", closes=kind == "close",
                          full_deletes=kind == "delete" and outcome == crash_model.PAGE_FULL,
                          checkpoints=chain.wal is not None and wal < chain.wal)
        chain.wal = None if kind == "close" else wal
        sizes = {name: len(coll["ids"]) for name, coll in chain.model.colls.items()}
        self.stats["largest"] = max(self.stats["largest"], *sizes.values(), 0)
        self.stats["widest"] = max(self.stats["widest"], sizes.get("wide", 0))

    def fail(self, chain, lost, corrupt):
        if not chain.broken:
            chain.broken = True
            self.stats.update(lost=len(lost), corrupt=len(corrupt) or (0 if lost else 1))
            self.failures.append(f"seed={self.seed} chain={self.stats['chains']}: "
                                 + "; ".join((lost + corrupt)[:8]))
            print("FAIL", self.failures[-1])

    def verify_file(self, chain):
        if not chain.broken and os.path.exists(chain.path):  # the read-only checker agrees
            done = subprocess.run([sys.executable, "-m", "orvane", "verify", chain.path],
                                  capture_output=True, text=True)
            if done.returncode:
                self.fail(chain, [], [f"verify: {(done.stdout + done.stderr)[-500:]}"])


# Child ----------------------------------------------------------------------

def emit(tag, payload=None):
    os.write(1, (tag if payload is None else f"{tag} {json.dumps(payload)}").encode() + b"\n")


class Child:
    def __init__(self, args):
        self.path, self.rng = args["--db"], random.Random(int(args["--seed"]))
        state = json.loads(Path(args["--model"]).read_text(encoding="utf-8"))
        self.model = crash_model.Model(state["colls"], self.paged)
        self.open(state["pending"])

    def open(self, pending):
        try:
            self.connect()
            found = crash_model.check(orvane.connect(self.path), self.model, pending, self.rng)
        except Exception as e:  # reported, never hidden
            found = [[], [f"open or check failed: {e!r}"], False]
        emit("S", found)
        if found[0] or found[1]:
            sys.exit(3)
        if found[2]:
            self.model.apply(pending)

    def run(self, ops):
        for _ in range(ops):
            emit("P", op := self.choose())
            try:
                outcome = (self.db.close() if op["op"] == "close" else self.perform(op)) or "ok"
            except Exception as e:  # the parent compares it with the model's
                outcome = str(e) if isinstance(e, (RuntimeError, orvane.Error)) else repr(e)
            if outcome == "ok":
                self.model.apply(op)
            wal = os.path.getsize(w) if os.path.exists(w := self.path + "-wal") else 0
            emit("A", [outcome, wal])
            if op["op"] == "close" and not self.paged:
                self.open(None)

    def op(self, kind, name, ids):
        return {"op": kind, "c": name, "ids": ids, "v": self.rng.randrange(1, 1 << 31)}

    def rows(self, op):
        return crash_model.vectors(op["ids"], [op["v"]] * len(op["ids"]),
                                   self.model.colls[op["c"]]["dim"])


class Classic(Child):
    paged, focus = True, None  # mostly one collection, whose page fills up

    def connect(self):
        self.db = orvane.Kestrum(self.path)

    def new_id(self, dim):  # tiny records get short ids
        chars, most = (ID_CHARS[:36], 2) if dim <= 1 else (ID_CHARS, 24)
        return "".join(self.rng.choices(chars, k=self.rng.randint(1, most)))

    def choose(self):
        rng, colls = self.rng, self.model.colls
        r, names = rng.random(), sorted(colls)
        if not colls or r < 0.06:
            name = rng.choice(NAMES)  # one that exists is refused
            dim = rng.choice([0, 1]) if rng.random() < 0.08 else rng.randint(2, 8)
            return {"op": "create", "c": name, "dim": colls[name]["dim"] if name in colls else dim,
                    "metric": rng.choice(["dot", "euclidean", "cosine"]), "index": "flat"}
        if r < 0.08:
            return {"op": "close"}
        if self.focus not in colls:
            self.focus = max(names, key=lambda n: colls[n]["used"] + rng.random() * 1500)
        name = self.focus if self.focus in colls and rng.random() < 0.75 else rng.choice(names)
        coll, ids = colls[name], sorted(colls[name]["ids"])
        if ids and coll["used"] > crash_model.PAGE_BYTES - 100 and r < 0.5:  # refused when full
            return self.op("delete", name, [rng.choice(ids)])
        if r < 0.55 or (not ids and r < 0.95):
            return self.op("upsert", name, [self.new_id(coll["dim"])])
        if r < 0.95:
            return self.op("upsert" if r < 0.75 else "delete", name, [rng.choice(ids)])
        return self.op("delete", name, ["absent-" + self.new_id(coll["dim"])])

    def perform(self, op):
        kind, name = op["op"], op.get("c")
        if kind == "create":  # cosine is the default
            self.db.create_collection(name, op["dim"], {"cosine": None}.get(m := op["metric"], m))
        elif kind == "delete":
            self.db.get_collection(name).delete(op["ids"][0])
        elif (got := self.db.get_collection(name).insert(self.rows(op)[0].tolist(),
                                                          op["ids"][0])) != op["ids"][0]:
            raise AssertionError(f"insert returned {got!r}")


class FormatTwo(Child):
    paged = False

    def connect(self):
        self.db = orvane.connect(self.path, synchronous=self.rng.choice(["off", "normal", "full"]))

    def choose(self):
        rng, colls = self.rng, self.model.colls
        r, fixed = rng.random(), [n for n in FIXED if n not in colls]
        if fixed or (r < 0.04 and len(colls) < 8):
            dim, metric, index, _ = FIXED[fixed[0]] if fixed else (
                rng.choice([1, 8, 128, 1536]), rng.choice(["euclidean", "dot", "cosine"]),
                rng.choice(["flat", "hnsw"]), 0)
            name = fixed[0] if fixed else f"c{rng.randrange(8)}"
            return {"op": "create", "c": name, "dim": dim, "metric": metric, "index": index}
        if r < 0.07:
            droppable = sorted(set(colls) - {"big"})
            return {"op": "drop", "c": rng.choice(droppable)} if r < 0.05 else {"op": "close"}
        name = rng.choices(["big", "wide", rng.choice(sorted(colls))], [45, 25, 30])[0]
        ids = sorted(colls[name]["ids"], key=int)
        fresh, n = int(ids[-1]) + 1 if ids else 1, int(math.exp(rng.uniform(0, math.log(5000))))
        cap = FIXED[name][3] if name in FIXED else min(1500, 150_000 // colls[name]["dim"])
        kind = rng.choices(["add", "upsert", "delete"], [55, 20, 25])[0]
        if kind == "delete" or cap <= len(ids):  # with one id that is not there
            picked = rng.sample(ids, min(len(ids), n // (10 if name == "big" else 1)))
            return self.op("delete", name, picked + [str(fresh + 10**6)])
        n = min(cap - len(ids), rng.randint(2000, 5000) if name == "big" and kind == "add" else n)
        new = [str(i) for i in range(fresh, fresh + n)]
        if kind == "upsert":
            new = rng.sample(ids, min(len(ids), n // 2)) + new[n // 2:]
            rng.shuffle(new)
        elif ids and rng.random() < 0.05:  # one id taken: the whole call must be refused
            new.insert(rng.randrange(len(new) + 1), rng.choice(ids))
        return self.op(kind, name, new)

    def perform(self, op):
        kind, name, db = op["op"], op.get("c"), self.db
        if kind == "create":
            hnsw = {"m": 8, "ef_construction": 32} if op["index"] == "hnsw" else {}
            db.create_collection(name, op["dim"], metric=op["metric"], index=op["index"], **hnsw)
        elif kind == "drop":
            db.delete_collection(name)
        elif kind == "delete":
            db.get_collection(name).delete(ids=op["ids"])
        else:
            getattr(db.get_collection(name), kind)(self.rows(op), ids=op["ids"],
                                                   metadata=[{"v": op["v"]}] * len(op["ids"]))


def child_main(argv):
    args = dict(zip(argv[::2], argv[1::2]))
    child = (Classic if args["--format"] == "1" else FormatTwo)(args)
    child.run(int(args["--ops"]))
    if args["--end"] == "close":
        child.db.close()
    if args["--end"] == "release":
        child.db = None
        gc.collect()
        return
    emit("D")
    sys.stdin.read()  # the parent kills us here at the latest


if __name__ == "__main__":  # a child; Harness starts it
    child_main(sys.argv[1:])
