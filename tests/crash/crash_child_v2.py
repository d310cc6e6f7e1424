"""Child of the format-2 kill -9 harness: opens the file through
orvane.connect(), checks it against the model the parent wrote (with or
without the call that was in flight), then makes random batch calls.

Lines, one per os.write, as in crash_child: S <findings> after each open
(the first, and each after a close()), P <call>, A [<outcome>, <log bytes>],
D when done, E <text> when an open or a check raised.

    python3 crash_child_v2.py --db PATH --model JSON --seed N --ops N
                              --end wait|close|release [--lie lost|corrupt]
"""

import json
import math
import os
import random
import sys

import orvane

from crash_model_v2 import Model, check, vectors

HNSW = {"m": 8, "ef_construction": 32}
MAX_ROWS = 5000
# Collections the first calls create: one that grows past the checkpoint
# threshold of the log, one of wide vectors. Others get a random shape.
FIXED = {"big": (8, "euclidean", "flat"), "wide": (1536, "dot", "flat")}
CAPS = {"big": 80_000, "wide": 3000}


def emit(tag, payload):
    os.write(1, f"{tag} {json.dumps(payload)}\n".encode())


def cap(name, coll):
    if name in CAPS:
        return CAPS[name]
    floats = 2_000_000 if coll["index"] == "flat" else 150_000
    return min(MAX_ROWS if coll["index"] == "flat" else 1500, floats // coll["dim"])


class Child:
    def __init__(self, args):
        self.path, self.lie = args["--db"], args.get("--lie")
        self.rng = random.Random(int(args["--seed"]))
        with open(args["--model"], encoding="utf-8") as f:
            state = json.load(f)
        self.model, self.db = Model.from_json(state["model"]), None
        self.open(state["pending"])

    def open(self, pending):
        try:
            self.db = orvane.connect(self.path, synchronous=self.rng.choice(["off", "normal", "full"]))
            lost, corrupt, applied, unreached = check(self.db, self.model, pending, self.rng)
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
            getattr(col, kind)(vectors(op["ids"], [v] * n, col.dimension),
                               ids=[str(i) for i in op["ids"]], metadata=[{"v": v}] * n)

    def run(self, ops):
        for _ in range(ops):
            op = self.choose()
            emit("P", op)
            try:
                self.perform(op)
                outcome = "ok"
            except Exception as e:  # the parent compares it with the model's outcome
                outcome = str(e) if isinstance(e, orvane.Error) else f"{type(e).__name__}: {e}"
            if outcome == "ok":
                self.model.apply(op)
            wal = self.path + "-wal"
            emit("A", [outcome, os.path.getsize(wal) if os.path.exists(wal) else 0])
            if op["op"] == "close":
                self.open(None)


def main(argv):
    args = dict(zip(argv[::2], argv[1::2]))
    child = Child(args)
    child.run(int(args["--ops"]))
    if args["--end"] == "close":
        child.db.close()
    if args["--end"] != "release":
        os.write(1, b"D\n")
        sys.stdin.read()  # the parent kills us here at the latest


if __name__ == "__main__":
    main(sys.argv[1:])
