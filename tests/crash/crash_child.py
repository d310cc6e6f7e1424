"""Child side of the crash harness: opens a database, reports what it finds,
then performs random mutating calls and reports each one on stdout.

Protocol, one line per os.write (short lines are written atomically to a pipe,
so a kill never leaves a half line that could be mistaken for a whole one):
  S <json>   snapshot after the open: per collection its dimension, its count
             and the results of searching with each probe vector
  P <json>   a call is about to be made (the call in flight if nothing follows)
  A <json>   the call returned: "ok" or the text of the error it raised
  D          every call is done; the child then waits to be killed
  E <json>   the open itself failed
"""

import gc
import json
import os
import random
import sys

from orvane import Kestrum

NAMES = [f"c{i}" for i in range(24)] + ["", "na\u00efve", "\u540d\u524d", "with space"]
ID_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789_-\u00e9\u4e2d"
SHORT_ID_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789"
METRICS = ["dot", "euclidean", None]
MAX_COLLECTIONS = 24
PAGE_FULL = "Vector data page full"


def emit(tag, payload=None):
    line = tag if payload is None else tag + " " + json.dumps(payload)
    os.write(1, (line + "\n").encode())


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


class Child:
    def __init__(self, path, seed, ops, reopen_live, lie, spread):
        self.path = path
        self.rng = random.Random(seed)
        self.ops = ops
        self.reopen_live = reopen_live
        self.lie = lie
        self.spread = spread  # no focus collection, no close()
        self.db = None
        self.view = {}  # name -> (dim, set of ids): what this process believes
        self.handles = {}
        self.old = []  # databases and handles kept alive across a reopen
        self.full = set()  # collections whose vector data page refused an insert
        self.filling = False  # this run fills the focus collection's page

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

    def database(self):
        return self.rng.choice([self.db] + [db for db, _ in self.old])

    def new_id(self, dim):
        if dim <= 1:  # short ids and tiny records: the page runs out of slots first
            return "".join(self.rng.choices(SHORT_ID_CHARS, k=self.rng.randint(1, 2)))
        return "".join(self.rng.choices(ID_CHARS, k=self.rng.randint(1, 24)))

    def vector(self, dim):
        return [self.rng.randint(-256, 256) / 256 for _ in range(dim)]

    def choose(self, focus):
        rng = self.rng
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
            returned = self.handle(op["c"]).insert(op["v"], op["id"])
            if returned != op["id"]:
                raise AssertionError(f"insert returned {returned!r}")
            self.view[op["c"]][1].add(op["id"])
        elif kind == "delete":
            self.handle(op["c"]).delete(op["id"])
            self.view[op["c"]][1].discard(op["id"])
        elif kind == "close":
            self.database().close()
        elif kind == "reopen":
            # The old objects stay alive while the new one works.
            self.old.append((self.db, dict(self.handles)))
            self.db = Kestrum(self.path)
            self.handles = {}

    def run(self):
        # Mostly the fullest collection, so that pages fill up and the calls
        # that no longer fit are made too.
        names = sorted(self.view, key=lambda n: (-len(self.view[n][1]), n))
        focus = None
        if names and not self.spread:
            focus = names[0] if self.rng.random() < 0.7 else self.rng.choice(names)
        self.filling = not self.spread and self.rng.random() < 0.25
        lied = False
        for _ in range(self.ops):
            op = self.choose(focus)
            emit("P", op)
            new_insert = op["op"] == "insert" and op["id"] not in self.view[op["c"]][1]
            if self.lie and not lied and new_insert:
                lied = True  # acknowledged without being made: the parent must notice
                emit("A", "ok")
                continue
            try:
                self.perform(op)
                outcome = "ok"
            except RuntimeError as e:
                outcome = str(e)
            except Exception as e:  # anything else is a fault the parent reports
                outcome = f"{type(e).__name__}: {e}"
            emit("A", outcome)
            if outcome == PAGE_FULL and op["op"] == "insert":
                self.full.add(op["c"])
            if op["op"] == "create" and outcome == "ok" and focus is None and not self.spread:
                focus = op["c"]


def main(argv):
    args = dict(zip(argv[::2], argv[1::2]))
    with open(args["--probes"], encoding="utf-8") as f:
        probe_vectors = json.load(f)
    child = Child(args["--db"], int(args["--seed"]), int(args["--ops"]),
                  args.get("--reopen-live") == "1", args.get("--lie") == "1",
                  args.get("--spread") == "1")
    child.open(probe_vectors)
    child.run()
    end = args.get("--end", "wait")
    if end == "close":
        child.db.close()
    if end == "release":
        child.db = child.handles = child.old = None
        gc.collect()
        return
    emit("D")
    sys.stdin.read()  # the parent kills us here at the latest
