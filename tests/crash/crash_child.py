"""Child of the kill -9 harness: opens the database, checks it against the
model the parent wrote, makes random calls (format 1 through Kestrum, one
row each; format 2 through orvane.connect, batches of up to 5,000 rows) and
reports on stdout, one line per os.write (atomic on a pipe, so a kill never
leaves half a line):
  S <json>  after an open, crash_model.check's findings (format 2 reopens
            after each close())
  P <json>  a call is about to be made (the call in flight if nothing follows)
  A <json>  it returned: [outcome ("ok" or the error's text), the log's size]
  D         every call is done; the child waits to be killed
  E <json>  the open or the check failed
"""

import gc
import json
import math
import os
import random
import sys

import crash_model
import orvane

NAMES = [f"c{i}" for i in range(20)] + ["", "na\u00efve", "\u540d\u524d", "with space"]
ID_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789_-\u00e9\u4e2d"
# Format 2 starts with one collection that grows past the log's checkpoint
# threshold and one of wide vectors: (dim, metric, index, most rows).
FIXED = {"big": (8, "euclidean", "flat", 80_000), "wide": (1536, "dot", "flat", 3000)}


def emit(tag, payload=None):
    os.write(1, (tag if payload is None else f"{tag} {json.dumps(payload)}").encode() + b"\n")


class Child:
    def __init__(self, args):
        self.path, self.lie, self.long = args["--db"], args.get("--lie"), args["--long"] == "1"
        self.rng = random.Random(int(args["--seed"]))
        with open(args["--model"], encoding="utf-8") as f:
            state = json.load(f)
        self.model = crash_model.Model(state["colls"], self.paged)
        self.db, self.handles, self.old, self.focus = None, {}, [], None
        self.open(state["pending"])

    def open(self, pending):
        try:
            self.connect()
            found = crash_model.check(orvane.connect(self.path), self.model, pending, self.rng)
        except Exception as e:  # reported, never hidden
            emit("E", f"{type(e).__name__}: {e}")
            sys.exit(3)
        if found[2]:
            self.model.apply(pending)
        emit("S", found)

    def run(self, ops):
        for _ in range(ops):
            emit("P", op := self.choose())
            try:
                self.perform(op)
                outcome = "ok"
            except (RuntimeError, orvane.Error) as e:  # the parent compares it with the model's
                outcome = str(e)
            except Exception as e:
                outcome = f"{type(e).__name__}: {e}"
            if outcome == "ok":
                self.model.apply(op)
            wal = self.path + "-wal"
            emit("A", [outcome, os.path.getsize(wal) if os.path.exists(wal) else 0])
            if op["op"] == "close" and not self.paged:
                self.open(None)

    def op(self, kind, name, ids):
        return {"op": kind, "c": name, "ids": ids, "v": self.rng.randrange(1, 1 << 31)}

    def made(self, op):
        """The rows an add or upsert writes and their version. A liar skips
        those of new rows, or writes replacements with another version."""
        ids, v, coll = op["ids"], op["v"], self.model.colls[op["c"]]
        if self.lie == "lost" and (self.paged or op["c"] == "big") and not coll["ids"].keys() & ids:
            return [], v
        v += self.lie == "corrupt" and op["op"] == "upsert" and bool(coll["ids"].keys() & ids)
        return crash_model.vectors(ids, [v] * len(ids), coll["dim"]), v


class Classic(Child):
    paged = True

    def connect(self):
        self.db, self.handles = orvane.Kestrum(self.path), {}

    def handle(self, name):
        # After a reopen the objects of earlier opens stay usable: use them now and then.
        older = [handles[name] for _, handles in self.old if name in handles]
        if older and self.rng.random() < 0.3:
            return self.rng.choice(older)
        return self.handles.setdefault(name, self.db.get_collection(name))

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
        if r < 0.09:  # long children never close: calls checkpoint the log
            return {"op": "reopen" if r < 0.07 or self.long else "close"}
        if self.focus not in colls and not self.long:  # mostly the fullest: its page fills up
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
        if kind == "create":
            metric = None if op["metric"] == "cosine" else op["metric"]  # the default
            self.handles[name] = self.db.create_collection(name, op["dim"], metric)
        elif kind == "close":
            self.rng.choice([self.db] + [db for db, _ in self.old]).close()
        elif kind == "reopen":  # the old objects stay alive while the new one works
            self.old.append((self.db, self.handles))
            self.connect()
        elif kind == "delete":
            self.handle(name).delete(op["ids"][0])
        else:
            for row in self.made(op)[0]:
                if (got := self.handle(name).insert(row.tolist(), op["ids"][0])) != op["ids"][0]:
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
        elif kind in ("drop", "close"):
            db.delete_collection(name) if kind == "drop" else db.close()
        elif kind == "delete":
            db.get_collection(name).delete(ids=op["ids"])
        elif len((made := self.made(op))[0]):
            getattr(db.get_collection(name), kind)(made[0], ids=op["ids"],
                                                   metadata=[{"v": made[1]}] * len(op["ids"]))


def main(argv):
    args = dict(zip(argv[::2], argv[1::2]))
    child = (Classic if args["--format"] == "1" else FormatTwo)(args)
    child.run(int(args["--ops"]))
    if args["--end"] == "close":
        child.db.close()
    if args["--end"] == "release":
        child.db = child.handles = child.old = None
        gc.collect()
        return
    emit("D")
    sys.stdin.read()  # the parent kills us here at the latest


if __name__ == "__main__":
    main(sys.argv[1:])
