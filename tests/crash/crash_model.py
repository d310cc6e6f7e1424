"""Models of a database for the kill -9 harnesses.

Format 1 (crash_harness.Harness): a model holds, per collection, its dimension, metric, the vectors the caller
was told are stored, and how much of the collection's vector data page the
appended records have used, so it predicts exactly which calls fail with
"Vector data page full". After a kill the state on disk is one of several
candidate models (the call in flight may or may not have been kept);
``compare`` checks a snapshot reported by a reopened database against one.

Vectors are drawn from multiples of 1/256 in [-1, 1]: every product and sum
of at most 8 of them is exact in 32-bit floats, so Euclidean and dot-product
scores are known exactly whatever order the kernel sums in.

Format 2 (Harness2): per collection the model keeps its shape and id ->
version. Ids are decimal integers; a row's vector and its metadata
{"v": version} derive from (id, version), so a check recomputes them instead
of storing them. After a kill the file holds the model with or without the
call in flight, whole.
"""

import numpy as np

PAGE_RECORD_BYTES = 3056  # 4096-byte page minus its 1040-byte header and slot directory
PAGE_SLOTS = 256
PAGE_FULL = "Vector data page full"
CATALOG_FULL = "Catalog page full \u2014 cannot persist collection"
COSINE_TOLERANCE = 1e-6


def vector_record_length(ident, dim):
    return 16 + len(ident.encode()) + 4 * dim


def marker_length(ident):
    return 4 + len(ident.encode())


class Coll:
    __slots__ = ("dim", "metric", "vectors", "used", "slots")

    def __init__(self, dim, metric, vectors=None, used=0, slots=0):
        self.dim = dim
        self.metric = metric  # "dot", "euclidean" or None (cosine)
        self.vectors = dict(vectors or {})
        self.used = used
        self.slots = slots

    def copy(self):
        return Coll(self.dim, self.metric, self.vectors, self.used, self.slots)

    def fits(self, length):
        return self.slots < PAGE_SLOTS and self.used + length <= PAGE_RECORD_BYTES

    def append(self, length):
        self.used += length
        self.slots += 1


class Model:
    """Collections by name; ``apply`` returns the outcome it predicts."""

    def __init__(self, colls=None):
        self.colls = colls or {}

    def copy(self):
        return Model({name: c.copy() for name, c in self.colls.items()})

    def key(self):
        return tuple(sorted(
            (name, c.dim, c.metric, c.used, c.slots, tuple(sorted(c.vectors.items())))
            for name, c in self.colls.items()))

    def outcomes(self, op):
        """The outcomes this model allows for `op`: "ok" or an error text."""
        kind = op["op"]
        if kind == "create":
            if op["c"] in self.colls:
                return {"Collection already exists: " + op["c"]}
            return {"ok", CATALOG_FULL}  # the catalog's room is not modelled
        if kind in ("insert", "delete"):
            coll = self.colls.get(op["c"])
            if coll is None:
                return {"Collection not found: " + op["c"]}
            if kind == "insert":
                length = vector_record_length(op["id"], coll.dim)
            elif op["id"] in coll.vectors:
                length = marker_length(op["id"])
            else:
                return {"ok"}  # nothing goes to the vector data page
            return {"ok"} if coll.fits(length) else {PAGE_FULL}
        return {"ok"}  # close, reopen

    def apply(self, op, outcome):
        """Applies `op` as having ended with `outcome` (which must be allowed)."""
        if outcome != "ok":
            return
        kind = op["op"]
        if kind == "create":
            self.colls[op["c"]] = Coll(op["dim"], op["metric"])
        elif kind == "insert":
            coll = self.colls[op["c"]]
            coll.append(vector_record_length(op["id"], coll.dim))
            coll.vectors[op["id"]] = tuple(op["v"])
        elif kind == "delete":
            coll = self.colls[op["c"]]
            if op["id"] in coll.vectors:
                coll.append(marker_length(op["id"]))
                del coll.vectors[op["id"]]


def advance(candidates, op, outcome):
    """Candidates that allow `outcome` for an acknowledged `op`, with it applied."""
    kept = []
    for model in candidates:
        if outcome in model.outcomes(op):
            model = model.copy()
            model.apply(op, outcome)
            kept.append(model)
    return kept


def advance_in_flight(candidates, op):
    """Candidates after a call whose outcome is unknown: kept or not."""
    out, seen = [], set()
    for model in candidates:
        variants = [model]
        for outcome in model.outcomes(op):
            applied = model.copy()
            applied.apply(op, outcome)
            variants.append(applied)
        for variant in variants:
            key = variant.key()
            if key not in seen:
                seen.add(key)
                out.append(variant)
    return out


def probes(candidates):
    """Per collection name, the query vectors a snapshot must search with:
    every vector any candidate holds, and one fixed vector so that empty
    collections are searched too."""
    out = {}
    for model in candidates:
        for name, coll in model.colls.items():
            queries = out.setdefault(name, {})
            queries.setdefault(tuple([0.5] * coll.dim), None)
            for vector in coll.vectors.values():
                queries.setdefault(vector, None)
    return {name: [list(q) for q in queries] for name, queries in out.items()}


def expected_scores(metric, query, vectors):
    """32-bit scores of `query` against the rows of `vectors` (n x dim)."""
    q = np.asarray(query, dtype=np.float64)
    v = np.asarray(vectors, dtype=np.float64).reshape(len(vectors), len(query))
    if metric == "euclidean":
        return np.sqrt(((v - q) ** 2).sum(axis=1)).astype(np.float32)
    if metric == "dot":
        return (-(v @ q)).astype(np.float32)
    dot = (v @ q).astype(np.float32)
    nb = (v * v).sum(axis=1).astype(np.float32)
    na = np.float32((q * q).sum())
    with np.errstate(divide="ignore", invalid="ignore"):
        cos = np.float32(1) - dot / (np.sqrt(nb) * np.sqrt(na))
    return np.where((nb == 0) | (na == 0), np.float32(1), cos).astype(np.float32)


def _score_ok(metric, got, want):
    if metric is None:
        return abs(got - want) <= COSINE_TOLERANCE
    return got == want


def compare(model, snapshot):
    """(lost, corrupt): a snapshot (see crash_child.snapshot) against `model`."""
    f = ([], [])  # acknowledged state that is missing; anything else that is wrong
    got = snapshot["collections"]
    for name in sorted(set(model.colls) - set(got)):
        f[0].append(f"collection {name!r} missing")
    for name in sorted(set(got) - set(model.colls)):
        f[1].append(f"unexpected collection {name!r}")
    for name in sorted(set(got) & set(model.colls)):
        coll, seen = model.colls[name], got[name]
        if seen["dim"] != coll.dim:
            f[1].append(f"{name!r}: dimension {seen['dim']}, expected {coll.dim}")
            continue
        ids = list(coll.vectors)
        rows = [coll.vectors[i] for i in ids]
        if seen["len"] != len(ids):
            f[1].append(f"{name!r}: count {seen['len']}, expected {len(ids)}")
        for query, (hit_ids, hit_scores) in seen["probes"]:
            _compare_probe(f, name, coll, ids, rows, query, hit_ids, hit_scores)
    return f


def _compare_probe(f, name, coll, ids, rows, query, hit_ids, hit_scores):
    if len(set(hit_ids)) != len(hit_ids):
        f[1].append(f"{name!r}: a search returned an id twice")
    if any(not b >= a for a, b in zip(hit_scores, hit_scores[1:])):
        f[1].append(f"{name!r}: search results not in ascending order")
    got = dict(zip(hit_ids, hit_scores))
    for ident in sorted(set(ids) - set(got)):
        f[0].append(f"{name!r}: id {ident!r} missing")
    for ident in sorted(set(got) - set(ids)):
        f[1].append(f"{name!r}: unexpected id {ident!r}")
    if not rows:
        return
    want = expected_scores(coll.metric, query, rows)
    for ident, w in zip(ids, want):
        if ident in got and not _score_ok(coll.metric, got[ident], float(w)):
            f[1].append(f"{name!r}: id {ident!r} scores {got[ident]!r} against "
                             f"{query}, expected {float(w)!r} (vector changed)")
            return  # one line per probe is enough to see what happened


def classify(candidates, snapshot):
    """(matching candidates, findings against the first candidate)."""
    matching = [m for m in candidates if compare(m, snapshot) == ([], [])]
    return matching, compare(candidates[0], snapshot)


def describe(lost, corrupt, limit=8):
    lines = lost + corrupt
    more = f" (+{len(lines) - limit} more)" if len(lines) > limit else ""
    return "; ".join(lines[:limit]) + more


# Format 2 ---------------------------------------------------------------------

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


class Model2:
    """name -> {"dim", "metric", "index", "ids": {id: version}}."""

    def __init__(self, colls=None):
        self.colls = colls or {}

    def to_json(self):
        return {n: {**c, "ids": [list(c["ids"]), list(c["ids"].values())]}
                for n, c in self.colls.items()}

    @staticmethod
    def from_json(data):
        return Model2({n: {**c, "ids": dict(zip(*c["ids"]))} for n, c in data.items()})

    def copy(self):
        return Model2({n: {**c, "ids": dict(c["ids"])} for n, c in self.colls.items()})

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


def compare_seen(model, seen):
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
            want = expected_scores(metric, query, rows).astype(np.float64)
            got = np.array([want[order[int(i)]] if int(i) in order else np.nan for i in hits.ids])
            best = np.sort(want)[:k]
            tol = 1e-4 * (1 + np.abs(best).max())
            if len(got) != k or not (np.allclose(got, hits.scores, atol=tol)
                                     and np.allclose(got, best, atol=tol)):
                findings.append(f"{name!r}: search gave {list(hits.ids)} {list(hits.scores)}, "
                                f"brute force {list(best)}")
                break
    return unreached


def check_file(db, model, pending, rng):
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
        lost, wrong = compare_seen(cand, seen)
        if not lost and not wrong and not corrupt:
            return [], [], bool(applied), unreached
    lost, wrong = compare_seen(model, seen)
    return lost, corrupt + wrong, None, unreached
