"""convert: every kind of classic file copied into format 2 answers searches
as the original does and holds the same ids, vectors and metadata."""

import json
import os

import pytest

import file_builder as fb
import orvane
from orvane import Kestrum
from orvane._cli import main
from orvane._sources import Source

if not hasattr(orvane, "connect"):
    pytest.skip("convert writes through orvane.connect", allow_module_level=True)

QUERIES = ([0.0, 0.0, 0.0], [1.0, 2.0, 3.0], [-5.0, 0.5, 2.0])


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
    data = fb.SlottedPage(1)
    for i, ext in enumerate("abcd"):
        data.append(fb.vector_record(ext, i + 1, [float(i), 1.0, 2.0]))
    data.append(fb.marker("b"))
    meta = fb.SlottedPage(3).append(fb.metadata_record("a", b'{"k":[1,"x"]}'))
    meta.append(fb.metadata_record("c", b"7"))
    catalog = fb.SlottedPage(4).append(
        fb.catalog_record("g", 3, "Euclidean", data=1, metadata=2, index_type="hnsw"))
    fb.write_pages(path, [fb.header_page(4, 3), data.bytes(), meta.bytes(), catalog.bytes()])


def content(path):
    with Source(path) as s:
        return {c.name: (c.dimension, c.metric, c.index,
                         [row for batch in c.batches() for row in zip(*batch[::2])],
                         b"".join(batch[1] for batch in c.batches()))
                for c in s.collections}


def searches(path):
    db = Kestrum(path)
    # Equal scores in id order: a classic graph orders ties by its random levels.
    out = {name: [sorted(db.get_collection(name).search(q, top_k=100),
                         key=lambda h: (h["score"], h["id"])) for q in QUERIES]
           for name in sorted(db.list_collections())}
    db.close()
    return out


@pytest.mark.parametrize("make", [written_by_the_classic_api, hand_made_hnsw_with_metadata])
def test_converted_file_holds_and_finds_the_same(tmp_path, capsys, make):
    src, dst = str(tmp_path / "classic.db"), str(tmp_path / "v2.db")
    make(src)
    before = open(src, "rb").read()
    assert main(["convert", src, dst]) == 0
    assert open(src, "rb").read() == before
    assert open(dst, "rb").read(16) == b"orvane format 2\0"
    expected = content(src)
    for _d, _m, _i, rows, _v in expected.values():  # format 2 keeps JSON objects only
        rows[:] = [(i, m if m is None or isinstance(m, dict) else {"value": m}) for i, m in rows]
    assert content(dst) == expected
    assert searches(dst) == searches(src)
    assert main(["verify", dst]) == 0
    # An HNSW collection's graph went into its stream at close, whole and current.
    capsys.readouterr()
    assert main(["inspect", "--json", dst]) == 0
    for c in json.loads(capsys.readouterr().out)["collections"]:
        if c["index"] == "hnsw":
            assert c["snapshot"]["nodes"] == c["vectors"] and c["snapshot"]["stale"] == 0
            assert c["snapshot"]["missing"] == 0


def test_an_existing_destination_is_refused_and_left_alone(tmp_path, capsys):
    src, dst = str(tmp_path / "classic.db"), str(tmp_path / "taken")
    written_by_the_classic_api(src)
    with open(dst, "wb") as f:
        f.write(b"mine")
    capsys.readouterr()
    assert main(["convert", src, dst]) == 1
    refused = f"orvane: convert: {dst} exists; convert writes only a new file\n"
    assert capsys.readouterr().err == refused
    assert open(dst, "rb").read() == b"mine"
    assert not os.path.exists(dst + "-wal")
