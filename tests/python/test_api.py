"""orvane.connect(): round trips, sharing, typed errors, export."""

import json
import subprocess
import sys

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


def test_both_apis_share_one_database(db_path):
    classic = Kestrum(db_path)
    classic.create_collection("old", 2, "euclidean").insert([1.0, 2.0], id="v")
    with orvane.connect(db_path) as api:
        assert api.get_collection("old").get(["v"]).vectors.tolist() == [[1.0, 2.0]]
        new = api.create_collection("new", 2, metric="euclidean", index="flat")
        classic.get_collection("new").insert([2.0, 0.0], id="n")
        assert new.search([0.0, 0.0], k=1)[0].id == "n"
        with pytest.raises(orvane.Error, match="convert"):
            new.add([[1.0, 1.0]])


def test_errors_are_typed(api, tmp_path):
    col = api.create_collection("c", 3, index="flat")
    col.add([[1, 0, 0]], ids=["a"])
    (tmp_path / "p.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200))
    for call, cls, builtin in [
            ('api.get_collection("nope")', "CollectionNotFoundError", KeyError),
            ('col.get(["a", "zz"])', "IdNotFoundError", KeyError),
            ('api.create_collection("c", 3)', "CollectionExistsError", ValueError),
            ("col.add([[1, 2]])", "DimensionError", ValueError),
            ('col.search([1, 2, 3], filter={"k": [1]})', "FilterError", ValueError),
            ('col.add([[1, 2, 3]], ids=["a"])', "InvalidArgumentError", ValueError),  # a is kept
            ('orvane.connect(tmp_path / "p.png")', "CorruptDatabaseError", OSError),
            ("api.close() or len(col)", "DatabaseClosedError", ValueError)]:
        with pytest.raises(getattr(orvane, cls)) as info:
            eval(call, {"api": api, "col": col, "orvane": orvane, "tmp_path": tmp_path})
        assert isinstance(info.value, orvane.Error) and isinstance(info.value, builtin), call


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
        assert line["metadata"] == {"i": ids.index(line["id"])}
        np.testing.assert_array_equal(vector, data[line["metadata"]["i"]])
