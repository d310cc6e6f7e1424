"""The crash harness's model of a database and the check of a file against it."""

import zlib

import numpy as np

PAGE_BYTES, PAGE_SLOTS = 3056, 256  # a 4096-byte page less its header and slot directory
PAGE_FULL = "Vector data page full"
CATALOG_FULL = "Catalog page full \u2014 cannot persist collection"


def vectors(ids, versions, dim):
    """Rows of (id, version): odd multiples of 1/512 in (-1, 1), exact bit for bit."""
    x = np.array([zlib.crc32(i.encode()) for i in ids], np.uint64) << np.uint64(32)
    x ^= np.asarray(versions, np.uint64)
    with np.errstate(over="ignore"):
        x = x[:, None] * np.uint64(4099) + np.arange(dim, dtype=np.uint64) + np.uint64(1)
        for shift, mul in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
            x = (x ^ (x >> np.uint64(shift))) * np.uint64(mul)
    return (((x >> np.uint64(55)).astype(np.float32) - 255.5) / 256).astype(np.float32)


class Model:
    """name -> {dim, metric, index, ids: {id: version}, used, slots}; used, slots: page fill."""

    def __init__(self, colls=None, paged=False):
        self.colls, self.paged = colls or {}, paged

    def records(self, op, coll):  # lengths of the records `op` appends to a classic page
        if op["op"] == "upsert":
            return [16 + len(i.encode()) + 4 * coll["dim"] for i in op["ids"] if self.paged]
        return [4 + len(i.encode()) for i in op["ids"] if i in coll["ids"] and self.paged]

    def outcomes(self, op):
        kind, name, coll = op["op"], op.get("c"), self.colls.get(op.get("c"))
        if kind == "create" and coll:
            return {"Collection already exists: " + name}
        if kind in ("create", "close", "drop"):
            return {"ok", CATALOG_FULL} if kind == "create" and self.paged else {"ok"}
        if coll is None:
            return {"Collection not found: " + name}
        if kind == "add" and (taken := [i for i in op["ids"] if i in coll["ids"]]):
            return {"Invalid configuration: id exists: " + taken[0]}
        lengths = self.records(op, coll)
        if coll["slots"] + len(lengths) > PAGE_SLOTS or coll["used"] + sum(lengths) > PAGE_BYTES:
            return {PAGE_FULL}
        return {"ok"}

    def apply(self, op):
        kind, name = op["op"], op.get("c")
        if kind == "create":
            self.colls[name] = {"dim": op["dim"], "metric": op["metric"], "index": op["index"],
                                "ids": {}, "used": 0, "slots": 0}
        elif kind == "drop":
            del self.colls[name]
        elif kind in ("add", "upsert", "delete"):
            coll, lengths = self.colls[name], self.records(op, self.colls[name])
            coll["used"], coll["slots"] = coll["used"] + sum(lengths), coll["slots"] + len(lengths)
            for i in op["ids"]:
                if kind == "delete":
                    coll["ids"].pop(i, None)
                else:
                    coll["ids"][i] = op["v"]


def read(db, corrupt):
    """name -> (shape, ids, rows, metadata); miscounted ids go to `corrupt`."""
    engine, seen = db._engine(), {}
    for name in db.list_collections():
        col, listed = db.get_collection(name), engine.list_ids(name)
        found, rows, meta = engine.get(name, listed, True)
        if len(col) != len(found) or len(listed) != len(found):
            corrupt.append(f"{name!r}: {len(col)} counted, {len(listed)} listed, {len(found)} in")
        rows = rows.reshape(len(found), col.dimension)  # (0, 0) when empty
        seen[name] = ((col.dimension, col.metric, col.index), list(found), rows, list(meta))
    return seen


def compare(model, seen):
    """(lost, corrupt): what `read` saw against `model`."""
    lost, corrupt = [], []
    for name in sorted(set(model.colls) | set(seen)):
        coll, got = model.colls.get(name), seen.get(name)
        if coll is None or got is None:
            (corrupt if coll is None else lost).append(f"collection {name!r} missing or unexpected")
            continue
        (shape, ids, rows, meta), want = got, coll["ids"]
        if shape != (coll["dim"], coll["metric"], coll["index"]):
            corrupt.append(f"{name!r}: shape {shape}")
        if missing := sorted(set(want) - set(ids)):
            lost.append(f"{name!r}: {len(missing)} ids missing, first {missing[:3]}")
        versions = np.array([want.get(i, -1) for i in ids], np.int64)
        bad = (versions < 0) | (rows != vectors(ids, np.maximum(versions, 0), shape[0])).any(axis=1)
        if not model.paged:
            bad |= np.array([m != f'{{"v":{v}}}' for m, v in zip(meta, versions)], bool)
        if wrong := [i for i, b in zip(ids, bad) if b]:
            corrupt.append(f"{name!r}: {len(wrong)} rows changed or unexpected, first {wrong[:3]}")
    return lost, corrupt


def search(db, seen, rng, corrupt):
    """A search of k=all finds stored rows once each, nearest first; all of them on flat."""
    for name, ((dim, _, index), ids, _, _) in seen.items():
        if ids:
            query, ef = vectors([str(rng.random())], [0], dim)[0], len(ids) * (index == "hnsw")
            hits = db.get_collection(name).search(query, k=len(ids), ef=ef or None)
            got = [str(i) for i in hits.ids]
            if (len(set(got)) != len(got) or not set(got) <= set(ids) or index != "hnsw"
                    and len(got) != len(ids) or np.any(np.diff(hits.scores) < 0)):
                corrupt.append(f"{name!r}: a search of all {len(ids)} rows found {got[:20]}")


def check(db, model, pending, rng):
    """[lost, corrupt, applied]: `db` against `model` without and with the call `pending`."""
    candidates = [model, Model({n: {**c, "ids": dict(c["ids"])} for n, c in model.colls.items()},
                               model.paged)]
    if pending and pending["op"] != "close" and "ok" in model.outcomes(pending):
        candidates[1].apply(pending)
    seen = read(db, corrupt := [])
    search(db, seen, rng, corrupt)
    for applied, candidate in enumerate(candidates):
        if compare(candidate, seen) == ([], []) and not corrupt:
            return [[], [], bool(applied)]
    lost, wrong = compare(model, seen)
    return [lost, corrupt + wrong, False]
