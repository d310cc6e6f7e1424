"""The kill -9 harness's model of a database, and the check of a file
against it. A model maps each collection to its shape, {id: version} and, on
classic pages, how much of its vector data page the records so far have
used, so that "Vector data page full" is predicted exactly. A row's vector
(and in format 2 its metadata {"v": version}) derives from its id and
version, so the check recomputes them instead of storing them.
"""

import zlib

import numpy as np

PAGE_BYTES, PAGE_SLOTS = 3056, 256  # a 4096-byte page less its header and slot directory
PAGE_FULL = "Vector data page full"
CATALOG_FULL = "Catalog page full \u2014 cannot persist collection"


def vectors(ids, versions, dim):
    """float32 rows of odd multiples of 1/512 in (-1, 1): never zero, and the
    products and sums of up to 8 of them are exact."""
    x = np.array([zlib.crc32(i.encode()) for i in ids], np.uint64) << np.uint64(32)
    x ^= np.asarray(versions, np.uint64)
    with np.errstate(over="ignore"):
        x = x[:, None] * np.uint64(4099) + np.arange(dim, dtype=np.uint64) + np.uint64(1)
        for shift, mul in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
            x = (x ^ (x >> np.uint64(shift))) * np.uint64(mul)
    return (((x >> np.uint64(55)).astype(np.float32) - 255.5) / 256).astype(np.float32)


class Model:
    """name -> {"dim", "metric", "index", "ids": {id: version}, "used", "slots"}."""

    def __init__(self, colls=None, paged=False):
        self.colls, self.paged = colls or {}, paged

    def copy(self):
        return Model({n: {**c, "ids": dict(c["ids"])} for n, c in self.colls.items()}, self.paged)

    def records(self, op, coll):
        """The lengths of the records `op` appends to a classic page."""
        if not self.paged:
            return []
        if op["op"] == "upsert":
            return [16 + len(i.encode()) + 4 * coll["dim"] for i in op["ids"]]
        return [4 + len(i.encode()) for i in op["ids"] if i in coll["ids"]]

    def outcomes(self, op):
        """The outcomes `op` may end with: "ok" or an error's text."""
        kind, name = op["op"], op.get("c")
        coll = self.colls.get(name)
        if kind == "create" and coll:
            return {"Collection already exists: " + name}
        if kind in ("create", "close", "reopen", "drop"):
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
        """Applies `op` as having ended with "ok"."""
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


def scores(metric, query, rows):
    """Distances of `rows` to `query` as the engine computes them."""
    q, v = np.asarray(query, np.float64), np.asarray(rows, np.float64)
    if metric == "euclidean":
        return np.sqrt(((v - q) ** 2).sum(axis=1)).astype(np.float32)
    if metric == "dot":
        return (-(v @ q)).astype(np.float32)
    norms = np.sqrt((v * v).sum(axis=1)) * np.sqrt((q * q).sum())
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(norms == 0, 1, 1 - (v @ q) / norms).astype(np.float32)


def read(db, corrupt):
    """name -> (shape, ids, rows, metadata); ids listed twice, or not
    counted or found, go to `corrupt`."""
    engine, seen = db._engine(), {}
    for name in db.list_collections():
        col, listed = db.get_collection(name), engine.list_ids(name)
        # A classic collection of dimension 0 lists an id once per record
        # that re-inserted it (a fault of its own, apart from crashes).
        found, rows, meta = engine.get(name, list(dict.fromkeys(listed)), True)
        if len(col) != len(found) or (col.dimension and len(listed) != len(found)):
            corrupt.append(f"{name!r}: {len(col)} rows counted, {len(listed)} listed, "
                           f"{len(found)} found")
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
    """One search on each collection: on an exact one the k nearest rows by
    brute force; on an HNSW one, as wide as the collection, only stored
    rows, each once (a graph may leave a few rows unreached)."""
    for name, ((dim, metric, index), ids, rows, _) in seen.items():
        query = vectors([str(rng.random())], [0], dim)[0]
        if not (k := len(ids) if index == "hnsw" else min(10, len(ids))):
            continue
        hits = db.get_collection(name).search(query, k=k, ef=k if index == "hnsw" else None)
        got, want = [str(i) for i in hits.ids], dict(zip(ids, scores(metric, query, rows)))
        best = np.sort(list(want.values()))[:k]
        tol = 1e-5 * (1 + np.abs(best).max())
        if len(set(got)) != len(got) or not set(got) <= want.keys():
            corrupt.append(f"{name!r}: a search names a row twice or one not stored")
        elif index != "hnsw" and not (len(got) == k and np.allclose(
                [want[i] for i in got], hits.scores, atol=tol) and np.allclose(
                best, hits.scores, atol=tol)):
            corrupt.append(f"{name!r}: search gave {got} {list(hits.scores)}, brute force "
                           f"{list(best)}")


def check(db, model, pending, rng):
    """[lost, corrupt, applied]: the database against `model` without and
    with the call in flight `pending` (`applied` says which it holds)."""
    candidates = [model]
    if pending and pending["op"] not in ("close", "reopen") and "ok" in model.outcomes(pending):
        candidates.append(model.copy())
        candidates[1].apply(pending)
    corrupt = []
    seen = read(db, corrupt)
    search(db, seen, rng, corrupt)
    for applied, candidate in enumerate(candidates):
        if compare(candidate, seen) == ([], []) and not corrupt:
            return [[], [], bool(applied)]
    lost, wrong = compare(model, seen)
    return [lost, corrupt + wrong, False]
