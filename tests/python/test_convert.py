"""convert and the reader behind it: every kind of classic file copied into
format 2 answers searches as the original does and holds the same ids,
vectors and metadata; and for each hand-built data page (and left-over log),
the vectors an open finds, in the order equal scores come back, are the ones
convert reads, and verify counts as many."""

import json
import math
import os
import re
import struct

import pytest

import file_builder as fb
from orvane import Kestrum
from orvane import _cli as cli
from orvane import _sources as sources

V, M = fb.vector_record, fb.marker


def written_by_the_classic_api(path):
    db = Kestrum(path)
    docs = db.create_collection("docs", 3, "euclidean")
    for i in range(40):
        docs.insert([float(i % 7), float(i % 3), 1.0], f"v{i}")
    docs.delete("v3")
    docs.insert([9.0, 9.0, 9.0], "v5")
    db.create_collection("cos", 3).insert([1.0, 0.0, 0.0])
    db.create_collection("empty", 3, "dot")
    db.close()


def hand_made_hnsw_with_metadata(path):
    data = fb.page(1, *(V(e, i + 1, [float(i), 1.0, 2.0]) for i, e in enumerate("abcd")), M("b"))
    meta = fb.page(3, fb.metadata_record("a", b'{"k":[1,"x"]}'), fb.metadata_record("c", b"7"))
    catalog = fb.page(4, fb.catalog_record("g", 3, "Euclidean", 1, 2, index_type="hnsw"))
    fb.write_pages(path, [fb.header_page(4, 3), data, meta, catalog])


def content(path):
    with sources.Source(path) as s:
        return {c.name: (c.dimension, c.metric, c.index,
                         [row for batch in c.batches() for row in zip(*batch[::2])],
                         b"".join(batch[1] for batch in c.batches()))
                for c in s.collections}


def searches(path):
    db = Kestrum(path)
    # Equal scores in id order: a classic graph orders ties by its random levels.
    out = {name: [sorted(db.get_collection(name).search(q, top_k=100),
                         key=lambda h: (h["score"], h["id"])) for q in ([0.0] * 3, [1.0, 2.0, 3.0])]
           for name in sorted(db.list_collections())}
    db.close()
    return out


@pytest.mark.parametrize("make", [written_by_the_classic_api, hand_made_hnsw_with_metadata])
def test_converted_file_holds_and_finds_the_same(tmp_path, capsys, make):
    src, dst = str(tmp_path / "classic.db"), str(tmp_path / "v2.db")
    make(src)
    before = open(src, "rb").read()
    assert cli.main(["convert", src, dst]) == 0
    assert open(src, "rb").read() == before
    converted = open(dst, "rb").read()
    assert converted[:16] == b"orvane format 2\0"
    expected = content(src)
    for _d, _m, _i, rows, _v in expected.values():  # format 2 keeps JSON objects only
        rows[:] = [(i, m if m is None or isinstance(m, dict) else {"value": m}) for i, m in rows]
    assert content(dst) == expected
    assert searches(dst) == searches(src)
    capsys.readouterr()  # convert's progress
    assert cli.main(["verify", dst]) == 0
    # An existing destination is refused and left alone.
    assert cli.main(["convert", src, dst]) == 1
    assert capsys.readouterr().err == (
        f"orvane: convert: {dst} exists; convert writes only a new file\n")
    assert open(dst, "rb").read() == converted and not os.path.exists(dst + "-wal")


BASE = [V("a", 1, [1, 1]), V("b", 2, [2, 2])]
CASES = {  # data page 1, and the calls of a log beside it (records, commit)
    # A marker hides only the records before it; the latest record of an id wins.
    "markers": [V("x", 5, [1, 1]), V("y", 6, [2, 2]), M("x"), V("x", 7, [3, 3]),
                V("z", 8, [1, 2, 3]), b"\1\0\0\0\xff" + V("b", 20, [9.0, 9.0])[5:],
                V("t", 21, [9, 9])[:-1], b"", V("y", 6, [4, 4]), M("gone"), V("w", 9, [5, 5]),
                M("w")],
    # One internal id names one vector: the later record takes it.
    "shared internal id": [V("p", 9, [1, 0]), V("q", 9, [0, 1])],
    "taken internal id, taker deleted": [V("p", 9, [1, 0]), V("q", 9, [0, 1]), M("q")],
    # Equal scores come back in the order the surviving records stand.
    "ties": [V("a", 1, [1, 1]), V("b", 2, [1, 1]), V("c", 3, [1, 1]), M("b"), V("d", 4, [1, 1]),
             M("a"), V("a", 5, [1, 1]), V("c", 3, [1, 1])],
    "whole call": (BASE, [(BASE + [V("c", 3, [1, 1])], True)]),
    "call without its commit": (BASE, [(BASE + [V("c", 3, [1, 1])], False)]),
    "torn second call": (BASE, [(BASE + [M("a")], True), (BASE + [V("e", 4, [0, 1])], False)]),
}


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


@pytest.mark.parametrize("case", list(CASES))
def test_engine_and_tools_replay_alike(tmp_path, capsys, case):
    records, calls = CASES[case] if isinstance(CASES[case], tuple) else (CASES[case], [])
    path = str(tmp_path / "r.db")
    cat = fb.page(4, fb.catalog_record("c", 2, "Euclidean", data=1, metadata=2))
    fb.write_pages(path, [fb.header_page(4, 3), fb.page(1, *records), fb.page(3), cat])
    if calls:
        with open(path + "-wal", "wb") as f:
            f.write(fb.wal_header() + b"".join(fb.wal_frame(1, fb.page(1, *r), c)
                                               for r, c in calls))
    # What convert reads (before the open replays the log): (id, score for [0, 0]).
    with sources.Source(path) as s:
        rows = [(ext, f32(math.hypot(*struct.unpack("<2f", data[8 * i:8 * i + 8]))))
                for ids, data, _ in s.collections[0].batches() for i, ext in enumerate(ids)]
    if calls:  # verify counts the log's whole calls in
        assert cli.main(["verify", path]) == 0
        count = int(re.match(r"ok: 1 collection, (\d+) vectors?", capsys.readouterr().out)[1])
    else:  # inspect reads the page alone, damaged records too
        assert cli.main(["inspect", "--json", path]) == 0
        count = json.loads(capsys.readouterr().out)["collections"][0]["vectors"]
    assert count == len(rows)
    hits = Kestrum(path).get_collection("c").search([0.0, 0.0], 100)
    assert [(h["id"], h["score"]) for h in hits] == sorted(rows, key=lambda r: r[1])
