"""Model of a format-2 database for the kill -9 harness (crash_harness_v2).

Per collection the model keeps its shape and id -> version. Ids are decimal
integers; a row's vector and its metadata {"v": version} derive from
(id, version), so a check recomputes them instead of storing them. After a
kill the file holds the model with or without the call in flight, whole.
"""

import numpy as np

ID_EXISTS = "Invalid configuration: id exists: "
EXISTS = "Collection already exists: "
CHUNK_FLOATS = 1 << 21  # rows fetched and compared per get() call, in floats


def vectors(ids, versions, dim):
    """float32 rows of odd multiples of 1/512 in (-1, 1): exact, never zero."""
    x = (np.asarray(ids, np.uint64) << np.uint64(32)) ^ np.asarray(versions, np.uint64)
    with np.errstate(over="ignore"):
        x = x[:, None] * np.uint64(4099) + np.arange(dim, dtype=np.uint64) + np.uint64(1)
        for shift, mul in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
            x = (x ^ (x >> np.uint64(shift))) * np.uint64(mul)
    return (((x >> np.uint64(55)).astype(np.float32) - 255.5) / 256).astype(np.float32)


def version(meta):
    """The version in metadata {"v": N} as the engine returns it (0 if not that)."""
    head, _, tail = (meta or "").partition(":")
    return int(tail[:-1]) if head == '{"v"' and tail[:-1].isdigit() and tail[-1:] == "}" else 0


def distances(metric, rows, query):
    q, v = query.astype(np.float64), rows
    if metric == "euclidean":
        return np.sqrt(((v - q) ** 2).sum(axis=1))
    if metric == "dot":
        return -(v @ q)
    return 1 - (v @ q) / (np.linalg.norm(v, axis=1) * np.linalg.norm(q))


class Model:
    """name -> {"dim", "metric", "index", "ids": {id: version}}."""

    def __init__(self, colls=None):
        self.colls = colls or {}

    def to_json(self):
        return {n: {**c, "ids": [list(c["ids"]), list(c["ids"].values())]}
                for n, c in self.colls.items()}

    @staticmethod
    def from_json(data):
        return Model({n: {**c, "ids": dict(zip(*c["ids"]))} for n, c in data.items()})

    def copy(self):
        return Model({n: {**c, "ids": dict(c["ids"])} for n, c in self.colls.items()})

    def outcome(self, op):
        """"ok" or the error text `op` must end with."""
        coll = self.colls.get(op.get("c"))
        if op["op"] == "create" and coll is not None:
            return EXISTS + op["c"]
        if op["op"] == "add":
            taken = next((i for i in op["ids"] if i in coll["ids"]), None)
            return "ok" if taken is None else ID_EXISTS + str(taken)
        return "ok"

    def apply(self, op):
        """Applies `op` as acknowledged (or found applied) with outcome "ok"."""
        kind = op["op"]
        if kind == "create":
            self.colls[op["c"]] = {"dim": op["dim"], "metric": op["metric"],
                                   "index": op["index"], "ids": {}}
        elif kind == "drop":
            del self.colls[op["c"]]
        elif kind in ("add", "upsert"):
            self.colls[op["c"]]["ids"].update(dict.fromkeys(op["ids"], op["v"]))
        elif kind == "delete":
            ids = self.colls[op["c"]]["ids"]
            for i in op["ids"]:
                ids.pop(i, None)


def read(db, findings):
    """What the database holds: name -> (dim, metric, index, {id: version},
    Flat rows as [(ids, rows)]); rows whose vector or metadata is not what
    their version gives, and ids listed but not counted or found, go to
    `findings`."""
    engine, seen = db._engine(), {}
    for name in db.list_collections():
        col, listed = db.get_collection(name), engine.list_ids(name)
        if len(col) != len(set(listed)) or len(listed) != len(set(listed)):
            findings.append(f"{name!r}: {len(col)} rows counted, {len(listed)} ids listed")
        held, flat = {}, []
        step = max(1, CHUNK_FLOATS // max(1, col.dimension))
        for start in range(0, len(listed), step):
            found, rows, meta = engine.get(name, listed[start:start + step], True)
            if len(found) != len(listed[start:start + step]):
                findings.append(f"{name!r}: listed ids not found")
            if not found:
                continue
            keys = [int(i) for i in found]
            versions = [version(m) for m in meta]
            bad = np.flatnonzero((rows != vectors(keys, versions, col.dimension)).any(axis=1))
            findings.extend(f"{name!r}: id {keys[b]} vector or metadata changed" for b in bad[:3])
            held.update(zip(keys, versions))
            if col.index == "flat":
                flat.append((keys, rows))
        seen[name] = (col.dimension, col.metric, col.index, held, flat)
    return seen


def compare(model, seen):
    """(lost, corrupt) of what `read` saw against `model`."""
    lost, corrupt = [], []
    for name in sorted(set(model.colls) | set(seen)):
        coll, got = model.colls.get(name), seen.get(name)
        if got is None or coll is None:
            (lost if got is None else corrupt).append(f"collection {name!r} "
                                                      + ("missing" if got is None else "unexpected"))
            continue
        if got[:3] != (coll["dim"], coll["metric"], coll["index"]):
            corrupt.append(f"{name!r}: shape {got[:3]}")
        want, held = coll["ids"], got[3]
        missing = [i for i in want if i not in held]
        if missing:
            lost.append(f"{name!r}: {len(missing)} ids missing, first {sorted(missing)[:3]}")
        wrong = sorted(i for i in held if want.get(i) != held[i])
        if wrong:
            corrupt.append(f"{name!r}: {len(wrong)} ids of another version or unexpected, first "
                           + ", ".join(f"{i} (v {held[i]}, expected {want.get(i)})" for i in wrong[:3]))
    return lost, corrupt


def search_findings(db, seen, rng, findings):
    """A few searches on each Flat collection against a brute-force scan; on
    an HNSW collection a search as wide as the collection, which must name
    only stored rows, each once. Returns how many rows that search missed
    (a graph may leave a few rows without in-links; with one dimension under
    cosine or dot, every vector one of two directions, ties cut it more)."""
    unreached = 0
    for name, (dim, metric, index, held, flat) in seen.items():
        if index == "hnsw" and held:
            query = vectors([rng.randrange(1 << 32)], [0], dim)[0]
            got = [int(i) for i in db.get_collection(name).search(query, k=len(held),
                                                                  ef=len(held)).ids]
            if len(set(got)) != len(got) or not set(got) <= held.keys():
                findings.append(f"{name!r}: a search names a row twice or one not stored")
            unreached += (dim > 1 or metric == "euclidean") * (len(held) - len(set(got)))
        if not flat:
            continue
        keys = np.concatenate([np.asarray(k, np.int64) for k, _ in flat])
        rows = np.concatenate([r for _, r in flat]).astype(np.float64)
        order = {int(i): j for j, i in enumerate(keys)}
        for _ in range(3):
            query = vectors([rng.randrange(1 << 40)], [0], dim)[0]
            k = min(10, len(keys))
            hits = db.get_collection(name).search(query, k=k)
            want = distances(metric, rows, query)
            got = np.array([want[order[int(i)]] if int(i) in order else np.nan for i in hits.ids])
            best = np.sort(want)[:k]
            tol = 1e-4 * (1 + np.abs(best).max())
            if len(got) != k or not (np.allclose(got, hits.scores, atol=tol)
                                     and np.allclose(got, best, atol=tol)):
                findings.append(f"{name!r}: search gave {list(hits.ids)} {list(hits.scores)}, "
                                f"brute force {list(best)}")
                break
    return unreached


def check(db, model, pending, rng):
    """(lost, corrupt, applied, unreached): the database against `model`
    without and with the call in flight `pending`; `applied` says which one
    it holds; `unreached` counts HNSW rows no search reaches (see below)."""
    candidates = [model]
    if pending and pending["op"] != "close" and model.outcome(pending) == "ok":
        candidates.append(model.copy())
        candidates[1].apply(pending)
    corrupt = []
    seen = read(db, corrupt)
    unreached = search_findings(db, seen, rng, corrupt)
    for applied, cand in enumerate(candidates):
        lost, wrong = compare(cand, seen)
        if not lost and not wrong and not corrupt:
            return [], [], bool(applied), unreached
    lost, wrong = compare(model, seen)
    return lost, corrupt + wrong, None, unreached
