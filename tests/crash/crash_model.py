"""In-memory model of a database for the crash harness.

A model holds, per collection, its dimension, metric, the vectors the caller
was told are stored, and how much of the collection's vector data page the
appended records have used, so it predicts exactly which calls fail with
"Vector data page full". After a kill the state on disk is one of several
candidate models (the call in flight may or may not have been kept);
``compare`` checks a snapshot reported by a reopened database against one.

Vectors are drawn from multiples of 1/256 in [-1, 1]: every product and sum
of at most 8 of them is exact in 32-bit floats, so Euclidean and dot-product
scores are known exactly whatever order the kernel sums in.
"""

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
    import numpy as np  # here: the child processes never score, and start faster without it

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


class Findings:
    """What a snapshot got wrong against one model."""

    def __init__(self):
        self.lost = []  # acknowledged state that is missing
        self.corrupt = []  # anything else that is wrong

    def ok(self):
        return not self.lost and not self.corrupt


def compare(model, snapshot):
    """Checks a snapshot (see crash_child.snapshot) against `model`."""
    f = Findings()
    got = snapshot["collections"]
    for name in sorted(set(model.colls) - set(got)):
        f.lost.append(f"collection {name!r} missing")
    for name in sorted(set(got) - set(model.colls)):
        f.corrupt.append(f"unexpected collection {name!r}")
    for name in sorted(set(got) & set(model.colls)):
        coll, seen = model.colls[name], got[name]
        if seen["dim"] != coll.dim:
            f.corrupt.append(f"{name!r}: dimension {seen['dim']}, expected {coll.dim}")
            continue
        ids = list(coll.vectors)
        rows = [coll.vectors[i] for i in ids]
        if seen["len"] != len(ids):
            f.corrupt.append(f"{name!r}: count {seen['len']}, expected {len(ids)}")
        for query, (hit_ids, hit_scores) in seen["probes"]:
            _compare_probe(f, name, coll, ids, rows, query, hit_ids, hit_scores)
    return f


def _compare_probe(f, name, coll, ids, rows, query, hit_ids, hit_scores):
    if len(set(hit_ids)) != len(hit_ids):
        f.corrupt.append(f"{name!r}: a search returned an id twice")
    if any(not b >= a for a, b in zip(hit_scores, hit_scores[1:])):
        f.corrupt.append(f"{name!r}: search results not in ascending order")
    got = dict(zip(hit_ids, hit_scores))
    for ident in sorted(set(ids) - set(got)):
        f.lost.append(f"{name!r}: id {ident!r} missing")
    for ident in sorted(set(got) - set(ids)):
        f.corrupt.append(f"{name!r}: unexpected id {ident!r}")
    if not rows:
        return
    want = expected_scores(coll.metric, query, rows)
    for ident, w in zip(ids, want):
        if ident in got and not _score_ok(coll.metric, got[ident], float(w)):
            f.corrupt.append(f"{name!r}: id {ident!r} scores {got[ident]!r} against "
                             f"{query}, expected {float(w)!r} (vector changed)")
            return  # one line per probe is enough to see what happened


def classify(candidates, snapshot):
    """(matching candidates, findings against the first candidate)."""
    matching = [m for m in candidates if compare(m, snapshot).ok()]
    return matching, compare(candidates[0], snapshot)


def describe(findings, limit=8):
    lines = findings.lost + findings.corrupt
    more = f" (+{len(lines) - limit} more)" if len(lines) > limit else ""
    return "; ".join(lines[:limit]) + more
