"""orvane.connect(): round trips, exact search, filters, atomicity, sharing, threads, errors."""

import json
import random
import subprocess
import sys
import threading

import numpy as np
import pytest

import orvane
from orvane import Kestrum


@pytest.fixture
def api(db_path):
    with orvane.connect(db_path) as database:
        try:
            database.create_collection("probe", 1, index="flat")
            database.delete_collection("probe")
        except orvane.Error as e:
            if str(e) != "not available yet":
                raise
            pytest.skip("the engine's batch API has not landed")
        yield database


def rows(n, dim, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)


@pytest.mark.parametrize("kind", ["float32", "float64", "lists"])
def test_round_trip(api, kind):
    data = rows(20, 8)
    given = {"float32": data, "float64": data.astype(np.float64), "lists": data.tolist()}[kind]
    col = api.create_collection("c", 8, "euclidean", index="flat")
    meta = [{"i": i, "name": f"n{i}"} if i % 2 else None for i in range(20)]
    ids = col.add(given[:10], metadata=meta[:10])
    assert len(set(ids)) == 10
    ids += col.add(given[10:], ids=[f"x{i}" for i in range(10)], metadata=meta[10:])
    assert len(col) == 20 and col.dimension == 8 and col.metric == "euclidean"
    got = col.get(ids)
    assert got.ids == ids and got.metadata == meta
    np.testing.assert_array_equal(got.vectors, data)
    col.upsert(given[:1], ids=["x3"], metadata=[{"new": True}])
    again = col.get(["x3"])
    np.testing.assert_array_equal(again.vectors[0], data[0])
    assert again.metadata == [{"new": True}] and len(col) == 20
    assert col.delete(["x3", "absent"]) == 1 and len(col) == 19
    hit = col.search(given[5], k=1, include_metadata=True)[0]
    assert (hit.id, hit.score, hit.metadata) == (ids[5], 0.0, meta[5])


def exact(data, queries, metric):
    if metric == "euclidean":
        return np.sqrt(((queries[:, None, :] - data[None, :, :]) ** 2).sum(-1))
    if metric == "dot":
        return -(queries @ data.T)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    return 1 - (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ unit.T


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_flat_search_is_exact(api, metric):
    data, queries = rows(500, 16, 1), rows(40, 16, 2)
    col = api.create_collection("c", 16, metric, index="flat")
    ids = col.add(data)
    result = col.search(queries, k=7, threads=2)
    truth = exact(data.astype(np.float64), queries.astype(np.float64), metric)
    order = np.argsort(truth, axis=1, kind="stable")[:, :7]
    assert result.ids.tolist() == [[ids[j] for j in row] for row in order]
    np.testing.assert_allclose(result.scores, np.take_along_axis(truth, order, 1), atol=1e-4)
    single = col.search(queries[3].tolist(), k=7)
    assert single.ids == result.ids[3].tolist()


def random_filter(rng, depth=0):
    key = rng.choice(["color", "size", "flag", "missing"])
    value = {"color": lambda: rng.choice(["red", "green", "blue"]),
             "size": lambda: rng.randint(0, 9), "flag": lambda: rng.random() < 0.5,
             "missing": lambda: 1}[key]
    op = rng.choice(["eq", "$eq", "$ne", "$in", "$nin", "$lt", "$lte", "$gt", "$gte", "$and",
                     "$or"] if depth < 2 else ["eq", "$in", "$gt"])
    if op in ("$and", "$or"):
        return {op: [random_filter(rng, depth + 1) for _ in range(rng.randint(1, 3))]}
    if op in ("$lt", "$lte", "$gt", "$gte"):
        return {"size": {op: rng.randint(0, 9) + rng.choice([0, 0.5])}}
    if op in ("$in", "$nin"):
        return {key: {op: [value() for _ in range(rng.randint(0, 3))]}}
    return {key: value()} if op == "eq" else {key: {op: value()}}


def same(a, b):  # JSON equality: a boolean is not a number
    return isinstance(a, bool) == isinstance(b, bool) and a == b


def passes(meta, f):
    for key, cond in f.items():
        if key in ("$and", "$or"):
            results = [passes(meta, g) for g in cond]
            if not (all(results) if key == "$and" else any(results)):
                return False
            continue
        cond = cond if isinstance(cond, dict) else {"$eq": cond}
        for op, c in cond.items():
            has, v = key in meta, meta.get(key)
            number = has and isinstance(v, (int, float)) and not isinstance(v, bool)
            ok = {"$eq": lambda: has and same(v, c), "$ne": lambda: not (has and same(v, c)),
                  "$in": lambda: has and any(same(v, x) for x in c),
                  "$nin": lambda: not (has and any(same(v, x) for x in c)),
                  "$lt": lambda: number and v < c, "$lte": lambda: number and v <= c,
                  "$gt": lambda: number and v > c, "$gte": lambda: number and v >= c}[op]()
            if not ok:
                return False
    return True


@pytest.mark.parametrize("index", ["flat", "hnsw"])
def test_filters_match_python_evaluation(api, index):
    rng = random.Random(5)
    n = 300
    meta = [{"color": rng.choice(["red", "green", "blue"]), "size": rng.randint(0, 9),
             "flag": rng.random() < 0.5} for _ in range(n)]
    for m in meta[::7]:
        del m["size"]
    col = api.create_collection("c", 4, "euclidean", index=index)
    ids = col.add(rows(n, 4, 3), metadata=meta)
    for _ in range(60):
        f = random_filter(rng)
        expected = {i for i, m in zip(ids, meta) if passes(m, f)}
        got = col.search(np.zeros(4, dtype=np.float32), k=n, filter=f, ef=n)
        assert set(got.ids) == expected, f


def test_calls_are_all_or_nothing(api):
    col = api.create_collection("c", 3, "euclidean", index="flat")
    col.add([[0, 0, 0]], ids=["a"])
    failing = [
        lambda: col.add([[1, 1, 1], [2, 2, 2]], ids=["b", "a"]),
        lambda: col.add([[1, 1, 1], [2, 2, 2]], ids=["b", "b"]),
        lambda: col.upsert([[1, 1, 1], [2, 2]], ids=["b", "a"]),
        lambda: col.add([[1, 1, 1], [2, 2, 2]], ids=["b", "c"], metadata=[{}, {"x": float("nan")}]),
        lambda: col.delete(["a"], filter={"x": {"$bad": 1}}),
    ]
    for call in failing:
        with pytest.raises(ValueError):
            call()
        assert len(col) == 1
        np.testing.assert_array_equal(col.get(["a"]).vectors, [[0, 0, 0]])


def test_both_apis_share_one_database(tmp_path, api):  # api: only to know the engine is ready
    path = str(tmp_path / "classic.db")
    classic = Kestrum(path)
    classic.create_collection("old", 3, "euclidean").insert([1.0, 2.0, 3.0], id="v")
    with orvane.connect(path) as api:
        assert api.list_collections() == ["old"]
        assert api.get_collection("old").get(["v"]).vectors.tolist() == [[1.0, 2.0, 3.0]]
        api.create_collection("new", 2, metric="euclidean", index="flat")
        assert sorted(classic.list_collections()) == ["new", "old"]
        new = classic.get_collection("new")
        for i in range(3):
            new.insert([float(i), 0.0], id=f"n{i}")
        found = api.get_collection("new").search([[2.0, 0.0], [0.0, 0.0]], k=2)
        assert [list(r.ids) for r in found] == [["n2", "n1"], ["n0", "n1"]]
        with pytest.raises(orvane.Error, match="convert"):
            api.get_collection("new").add([[1.0, 1.0]])


def test_searches_never_see_half_an_add(api):
    col = api.create_collection("c", 8, "euclidean", index="flat")
    batch, batches, errors = 50, 40, []
    data = rows(batch * batches, 8, 4)

    def writer():
        for b in range(batches):
            col.add(data[b * batch:(b + 1) * batch], metadata=[{"b": b}] * batch)

    def reader():
        try:
            while writing.is_alive():
                found = col.search(data[:16], k=batch, filter={"b": {"$in": [0, 1, 2, 3]}})
                assert set(found.counts.tolist()) <= {0, batch}
                assert len(col) % batch == 0
                hits = col.search(data[0], k=batch, filter={"b": 1})
                assert len(hits) in (0, batch)
        except Exception as e:  # noqa: BLE001  (reported by the main thread)
            errors.append(e)

    writing = threading.Thread(target=writer)
    readers = [threading.Thread(target=reader) for _ in range(3)]
    writing.start()
    for r in readers:
        r.start()
    for t in [writing, *readers]:
        t.join()
    assert errors == [] and len(col) == batch * batches


def test_errors_are_typed(api):
    col = api.create_collection("c", 3, index="flat")
    col.add([[1, 0, 0]], ids=["a"])
    cases = [
        (lambda: api.get_collection("nope"), orvane.CollectionNotFoundError, KeyError),
        (lambda: col.get(["a", "zz"]), orvane.IdNotFoundError, KeyError),
        (lambda: api.create_collection("c", 3), orvane.CollectionExistsError, ValueError),
        (lambda: col.add([[1, 2]]), orvane.DimensionError, ValueError),
        (lambda: col.search([1, 2, 3, 4]), orvane.DimensionError, ValueError),
        (lambda: col.search([1, 2, 3], filter={"k": [1]}), orvane.FilterError, ValueError),
        (lambda: col.add([[1, 2, 3]], ids=["a"]), orvane.InvalidArgumentError, ValueError),
    ]
    for call, cls, builtin in cases:
        with pytest.raises(cls) as info:
            call()
        assert isinstance(info.value, (orvane.Error, builtin)) and str(info.value)
    api.close()
    with pytest.raises(orvane.DatabaseClosedError):
        len(col)


def test_export_writes_vectors_and_json_lines(api, db_path, tmp_path):
    col = api.create_collection("c", 4, index="flat")
    data = rows(30, 4, 6)
    ids = col.add(data, metadata=[{"i": i} for i in range(30)], progress=True)
    api.close()
    out = tmp_path / "out"
    subprocess.run([sys.executable, "-m", "orvane", "export", db_path, "c", str(out)], check=True)
    lines = [json.loads(line) for line in (out / "records.jsonl").read_text().splitlines()]
    vectors = np.load(out / "vectors.npy")
    by_id = dict(zip(ids, range(30)))
    assert sorted(line["id"] for line in lines) == sorted(ids)
    for line, vector in zip(lines, vectors):
        i = by_id[line["id"]]
        assert line["metadata"] == {"i": i}
        np.testing.assert_array_equal(vector, data[i])
