"""orvane.connect(): round trips, atomicity, sharing, threads, errors, export."""

import json
import math
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
    assert (len(col), col.dimension, col.metric) == (20, 8, "euclidean")
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
    batch = col.search(given[4:7], k=3, threads=2)  # one result per query row
    assert [list(r.ids)[0] for r in batch] == ids[4:7]
    assert batch.ids.shape == (3, 3) and batch.ids[1].tolist() == col.search(given[5], k=3).ids


def test_calls_are_all_or_nothing(api):
    col = api.create_collection("c", 3, "euclidean", index="flat")
    col.add([[0, 0, 0]], ids=["a"])
    for call in [lambda: col.add([[1, 1, 1], [2, 2, 2]], ids=["b", "a"]),
                 lambda: col.upsert([[1, 1, 1], [2, 2]], ids=["b", "a"]),
                 lambda: col.add([[1, 1, 1]] * 2, ids=["b", "c"], metadata=[{}, {"x": math.nan}]),
                 lambda: col.delete(["a"], filter={"x": {"$bad": 1}})]:
        with pytest.raises(ValueError):
            call()
        assert len(col) == 1
        np.testing.assert_array_equal(col.get(["a"]).vectors, [[0, 0, 0]])


def test_both_apis_share_one_database(db_path):
    classic = Kestrum(db_path)
    classic.create_collection("old", 3, "euclidean").insert([1.0, 2.0, 3.0], id="v")
    with orvane.connect(db_path) as api:
        assert api.list_collections() == ["old"]
        assert api.get_collection("old").get(["v"]).vectors.tolist() == [[1.0, 2.0, 3.0]]
        api.create_collection("new", 2, metric="euclidean", index="flat")
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

    def reader():
        try:
            while writing.is_alive():
                found = col.search(data[:16], k=batch, filter={"b": {"$in": [0, 1, 2, 3]}})
                assert set(found.counts.tolist()) <= {0, batch} and len(col) % batch == 0
        except Exception as e:  # noqa: BLE001  (reported by the main thread)
            errors.append(e)

    writing = threading.Thread(target=lambda: [
        col.add(data[b * batch:(b + 1) * batch], metadata=[{"b": b}] * batch)
        for b in range(batches)])
    readers = [threading.Thread(target=reader) for _ in range(3)]
    for t in [writing, *readers]:
        t.start()
    for t in [writing, *readers]:
        t.join()
    assert errors == [] and len(col) == batch * batches


def test_errors_are_typed(api, tmp_path):
    col = api.create_collection("c", 3, index="flat")
    col.add([[1, 0, 0]], ids=["a"])
    (tmp_path / "p.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200))
    cases = [
        (lambda: api.get_collection("nope"), orvane.CollectionNotFoundError, KeyError),
        (lambda: col.get(["a", "zz"]), orvane.IdNotFoundError, KeyError),
        (lambda: api.create_collection("c", 3), orvane.CollectionExistsError, ValueError),
        (lambda: col.add([[1, 2]]), orvane.DimensionError, ValueError),
        (lambda: col.search([1, 2, 3, 4]), orvane.DimensionError, ValueError),
        (lambda: col.search([1, 2, 3], filter={"k": [1]}), orvane.FilterError, ValueError),
        (lambda: col.add([[1, 2, 3]], ids=["a"]), orvane.InvalidArgumentError, ValueError),
        (lambda: orvane.connect(tmp_path / "p.png"), orvane.CorruptDatabaseError, OSError),
    ]
    for call, cls, builtin in cases:
        with pytest.raises(cls) as info:
            call()
        assert isinstance(info.value, orvane.Error) and isinstance(info.value, builtin)
        assert str(info.value)
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
    assert sorted(line["id"] for line in lines) == sorted(ids)
    for line, vector in zip(lines, np.load(out / "vectors.npy")):
        i = ids.index(line["id"])
        assert line["metadata"] == {"i": i}
        np.testing.assert_array_equal(vector, data[i])
