"""Child side of the kill -9 harnesses: opens a database, reports what it
finds, then makes random mutating calls and reports each one on stdout.

    python3 crash_harness.py child --format 1|2 --db PATH --seed N --ops N
        --end wait|close|release [--lie ...] (format 1: --probes JSON
        --reopen-live 0|1 --spread 0|1; format 2: --model JSON)

Protocol, one line per os.write (short lines are written atomically to a pipe,
so a kill never leaves a half line that could be mistaken for a whole one):
  S <json>   after an open. Format 1 (Kestrum): per collection its dimension,
             its count and the results of searching with each probe vector.
             Format 2 (orvane.connect): the findings of checking the file
             against the model the parent wrote (with or without the call in
             flight); a format-2 child reports again after each close().
  P <json>   a call is about to be made (the call in flight if nothing follows)
  A <json>   the call returned: "ok" or the text of the error it raised
             (format 2: [that, the log's size in bytes])
  D          every call is done; the child then waits to be killed
  E <json>   the open (or the check) itself failed
"""

import gc
import json
import math
import os
import random
import sys

import orvane
from orvane import Kestrum


def emit(tag, payload=None):
    line = tag if payload is None else tag + " " + json.dumps(payload)
    os.write(1, (line + "\n").encode())


def model():
    import crash_model  # numpy: format 1 children start faster without it
    return crash_model


class Child:
    engine_error = RuntimeError  # errors reported by their text alone
    db = handles = old = None

    def run(self, ops):
        for _ in range(ops):
            op = self.choose()
            emit("P", op)
            try:
                self.perform(op)
                outcome = "ok"
            except Exception as e:  # the parent compares it with the model's outcome
                outcome = str(e) if isinstance(e, self.engine_error) else f"{type(e).__name__}: {e}"
            self.returned(op, outcome)

    def release(self):
        self.db = self.handles = self.old = None
        gc.collect()


# Format 1 ---------------------------------------------------------------------

NAMES = [f"c{i}" for i in range(24)] + ["", "na\u00efve", "\u540d\u524d", "with space"]
ID_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789_-\u00e9\u4e2d"
SHORT_ID_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789"
METRICS = ["dot", "euclidean", None]
MAX_COLLECTIONS = 24
PAGE_FULL = "Vector data page full"


def snapshot(db, probe_vectors):
    collections = {}
    for name in db.list_collections():
        handle = db.get_collection(name)
        count, dim = len(handle), handle.dimension
        results = []
        for query in probe_vectors.get(name) or [[0.5] * dim]:
            if len(query) != dim:
                continue  # the dimension check reports it
            hits = handle.search(query, count + 1)  # one more: extra hits show
            results.append([query, [[h["id"] for h in hits], [h["score"] for h in hits]]])
        collections[name] = {"dim": dim, "len": count, "probes": results}
    return {"collections": collections}


class ClassicChild(Child):
    def __init__(self, args):
        self.path = args["--db"]
        self.rng = random.Random(int(args["--seed"]))
        self.reopen_live = args.get("--reopen-live") == "1"
        self.lie = args.get("--lie") == "1"
        self.spread = args.get("--spread") == "1"  # no focus collection, no close()
        self.view = {}  # name -> (dim, set of ids): what this process believes
        self.handles = {}
        self.old = []  # databases and handles kept alive across a reopen
        self.full = set()  # collections whose vector data page refused an insert
        with open(args["--probes"], encoding="utf-8") as f:
            self.open(json.load(f))
        # Mostly the fullest collection, so that pages fill up and the calls
        # that no longer fit are made too.
        names = sorted(self.view, key=lambda n: (-len(self.view[n][1]), n))
        self.focus = None
        if names and not self.spread:
            self.focus = names[0] if self.rng.random() < 0.7 else self.rng.choice(names)
        self.filling = not self.spread and self.rng.random() < 0.25  # fill the focus's page

    def open(self, probe_vectors):
        try:
            self.db = Kestrum(self.path)
            snap = snapshot(self.db, probe_vectors)
        except Exception as e:  # reported, never hidden
            emit("E", f"{type(e).__name__}: {e}")
            sys.exit(3)
        emit("S", snap)
        for name, seen in snap["collections"].items():
            ids = set()
            for _, (hit_ids, _) in seen["probes"]:
                ids.update(hit_ids)
            self.view[name] = (seen["dim"], ids)

    def handle(self, name):
        # After a reopen, the objects of the earlier open stay usable and see
        # the same collections: use them now and then.
        older = [handles[name] for _, handles in self.old if name in handles]
        if older and self.rng.random() < 0.3:
            return self.rng.choice(older)
        if name not in self.handles:
            self.handles[name] = self.db.get_collection(name)
        return self.handles[name]

    def new_id(self, dim):
        if dim <= 1:  # short ids and tiny records: the page runs out of slots first
            return "".join(self.rng.choices(SHORT_ID_CHARS, k=self.rng.randint(1, 2)))
        return "".join(self.rng.choices(ID_CHARS, k=self.rng.randint(1, 24)))

    def vector(self, dim):
        return [self.rng.randint(-256, 256) / 256 for _ in range(dim)]

    def choose(self):
        rng, focus = self.rng, self.focus
        r = rng.random()
        names = sorted(self.view)
        if not names or (r < 0.05 and len(names) < MAX_COLLECTIONS):
            free = [n for n in NAMES if n not in self.view]
            dim = rng.choice([0, 1]) if rng.random() < 0.08 else rng.randint(2, 8)
            return {"op": "create", "c": rng.choice(free), "dim": dim,
                    "metric": rng.choice(METRICS)}
        if r < 0.06:
            name = rng.choice(names)
            return {"op": "create", "c": name, "dim": self.view[name][0], "metric": None}
        if r < 0.08 and not self.spread:
            return {"op": "close"}
        if r < 0.09 and self.reopen_live:
            return {"op": "reopen"}
        if self.filling and focus in self.view:
            return self.fill(focus)
        name = focus if focus in self.view and rng.random() < 0.75 else rng.choice(names)
        dim, ids = self.view[name]
        if name in self.full and ids and rng.random() < 0.5:
            return {"op": "delete", "c": name, "id": rng.choice(sorted(ids))}
        if r < 0.55 or (not ids and r < 0.95):
            return {"op": "insert", "c": name, "id": self.new_id(dim), "v": self.vector(dim)}
        if r < 0.75:
            ident = rng.choice(sorted(ids))
            return {"op": "insert", "c": name, "id": ident, "v": self.vector(dim)}
        if r < 0.95:
            return {"op": "delete", "c": name, "id": rng.choice(sorted(ids))}
        return {"op": "delete", "c": name, "id": "absent-" + self.new_id(dim)}

    def fill(self, name):
        """Fills one page fast, then keeps deleting from it (refused once full).
        Tiny records (dimension 0 or 1) alternate with markers so that the
        page runs out of slots before it runs out of bytes."""
        dim, ids = self.view[name]
        delete_share = 0.5 if dim <= 1 else (0.7 if name in self.full else 0.05)
        if ids and self.rng.random() < delete_share:
            return {"op": "delete", "c": name, "id": self.rng.choice(sorted(ids))}
        ident = self.new_id(dim) if dim <= 1 else self.new_id(dim) + "-" + "x" * 24
        return {"op": "insert", "c": name, "id": ident, "v": self.vector(dim)}

    def perform(self, op):
        kind = op["op"]
        if kind == "create":
            self.handles[op["c"]] = self.db.create_collection(op["c"], op["dim"], op["metric"])
            self.view[op["c"]] = (op["dim"], set())
        elif kind == "insert":
            if self.lie and op["id"] not in self.view[op["c"]][1]:
                self.lie = False
                return  # acknowledged without being made: the parent must notice
            returned = self.handle(op["c"]).insert(op["v"], op["id"])
            if returned != op["id"]:
                raise AssertionError(f"insert returned {returned!r}")
            self.view[op["c"]][1].add(op["id"])
        elif kind == "delete":
            self.handle(op["c"]).delete(op["id"])
            self.view[op["c"]][1].discard(op["id"])
        elif kind == "close":
            self.rng.choice([self.db] + [db for db, _ in self.old]).close()
        elif kind == "reopen":
            # The old objects stay alive while the new one works.
            self.old.append((self.db, dict(self.handles)))
            self.db = Kestrum(self.path)
            self.handles = {}

    def returned(self, op, outcome):
        emit("A", outcome)
        if outcome == PAGE_FULL and op["op"] == "insert":
            self.full.add(op["c"])
        if op["op"] == "create" and outcome == "ok" and self.focus is None and not self.spread:
            self.focus = op["c"]


# Format 2 ---------------------------------------------------------------------

HNSW = {"m": 8, "ef_construction": 32}
MAX_ROWS = 5000
# Collections the first calls create: one that grows past the checkpoint
# threshold of the log, one of wide vectors. Others get a random shape.
FIXED = {"big": (8, "euclidean", "flat"), "wide": (1536, "dot", "flat")}
CAPS = {"big": 80_000, "wide": 3000}


def cap(name, coll):
    if name in CAPS:
        return CAPS[name]
    floats = 2_000_000 if coll["index"] == "flat" else 150_000
    return min(MAX_ROWS if coll["index"] == "flat" else 1500, floats // coll["dim"])


class FormatTwoChild(Child):
    engine_error = orvane.Error

    def __init__(self, args):
        self.path, self.lie = args["--db"], args.get("--lie")
        self.rng = random.Random(int(args["--seed"]))
        with open(args["--model"], encoding="utf-8") as f:
            state = json.load(f)
        self.model = model().Model2.from_json(state["model"])
        self.open(state["pending"])

    def open(self, pending):
        try:
            self.db = orvane.connect(self.path, synchronous=self.rng.choice(["off", "normal", "full"]))
            lost, corrupt, applied, unreached = model().check_file(self.db, self.model, pending,
                                                                 self.rng)
        except Exception as e:  # reported, never hidden
            emit("E", f"{type(e).__name__}: {e}")
            sys.exit(3)
        if applied:
            self.model.apply(pending)
        emit("S", {"lost": lost, "corrupt": corrupt, "applied": applied, "unreached": unreached})

    def choose(self):
        rng, colls = self.rng, self.model.colls
        r = rng.random()
        missing = [n for n in FIXED if n not in colls]
        if missing:
            dim, metric, index = FIXED[missing[0]]
            return {"op": "create", "c": missing[0], "dim": dim, "metric": metric, "index": index}
        if r < 0.04 and len(colls) < 8:
            return {"op": "create", "c": f"c{rng.randrange(8)}", "dim": rng.choice([1, 8, 128, 1536]),
                    "metric": rng.choice(["euclidean", "dot", "cosine"]),
                    "index": rng.choice(["flat", "hnsw"])}
        if r < 0.05 and set(colls) - {"big"}:
            return {"op": "drop", "c": rng.choice(sorted(set(colls) - {"big"}))}
        if r < 0.07:
            return {"op": "close"}
        name = rng.choices(["big", "wide", rng.choice(sorted(colls))], [45, 25, 30])[0]
        ids = colls[name]["ids"]
        fresh = max(ids, default=0) + 1
        n = int(math.exp(rng.uniform(0, math.log(MAX_ROWS))))
        room = cap(name, colls[name]) - len(ids)
        kind = rng.choices(["add", "upsert", "delete"], [55, 20, 25])[0]
        if kind == "delete" or room < 1:
            picked = rng.sample(sorted(ids), min(len(ids), n // (10 if name == "big" else 1)))
            return {"op": "delete", "c": name, "ids": picked + [fresh + 10**6]}
        n = min(room, rng.randint(2000, MAX_ROWS) if name == "big" and kind == "add" else n)
        new = list(range(fresh, fresh + n))
        if kind == "upsert":
            new = rng.sample(sorted(ids), min(len(ids), n // 2)) + new[n // 2:]
            rng.shuffle(new)
        elif ids and rng.random() < 0.05:  # one id taken: the whole call must be refused
            new.insert(rng.randrange(len(new) + 1), rng.choice(sorted(ids)))
        return {"op": kind, "c": name, "ids": new, "v": rng.randrange(1, 1 << 31)}

    def perform(self, op):
        kind, db = op["op"], self.db
        if kind == "create":
            db.create_collection(op["c"], op["dim"], metric=op["metric"], index=op["index"],
                                 **(HNSW if op["index"] == "hnsw" else {}))
        elif kind == "drop":
            db.delete_collection(op["c"])
        elif kind == "close":
            db.close()
        elif kind == "delete":
            db.get_collection(op["c"]).delete(ids=[str(i) for i in op["ids"]])
        else:
            lie = self.lie if op["c"] == "big" else None  # a collection never dropped
            if lie == "lost" and kind == "add":
                self.lie = None
                return  # acknowledged without being made: the parent must notice
            v = op["v"] + (lie == "corrupt" and kind == "upsert")
            self.lie = self.lie if v == op["v"] else None
            col = db.get_collection(op["c"])
            n = len(op["ids"])
            getattr(col, kind)(model().vectors(op["ids"], [v] * n, col.dimension),
                               ids=[str(i) for i in op["ids"]], metadata=[{"v": v}] * n)

    def returned(self, op, outcome):
        if outcome == "ok":
            self.model.apply(op)
        wal = self.path + "-wal"
        emit("A", [outcome, os.path.getsize(wal) if os.path.exists(wal) else 0])
        if op["op"] == "close":
            self.open(None)


def main(argv):
    args = dict(zip(argv[::2], argv[1::2]))
    child = (FormatTwoChild if args.get("--format") == "2" else ClassicChild)(args)
    child.run(int(args["--ops"]))
    if args["--end"] == "close":
        child.db.close()
    if args["--end"] == "release":
        child.release()
        return
    emit("D")
    sys.stdin.read()  # the parent kills us here at the latest
