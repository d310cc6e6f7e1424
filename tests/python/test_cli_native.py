"""inspect and verify on files written by orvane itself."""

import json
import struct

import pytest

import file_builder as fb

cli = pytest.importorskip("orvane._cli")
Kestrum = pytest.importorskip("orvane").Kestrum

FRAME = 28 + 4096


def run(capsys, *argv):
    status = cli.main(list(argv))
    return status, capsys.readouterr().out


def inspect_json(capsys, path):
    status, out = run(capsys, "inspect", "--json", str(path))
    assert status == 0
    return json.loads(out)


def vector_bytes(ext, dim):
    return 16 + len(ext.encode()) + 4 * dim


def test_counts_and_page_fill_of_a_real_file(tmp_path, capsys):
    path = tmp_path / "r.db"
    db = Kestrum(str(path))
    a = db.create_collection("a", 3, "euclidean")
    b = db.create_collection("b", 8, "dot")
    for i in range(10):
        a.insert([float(i), 0.0, 0.0], f"v{i}")
    a.delete("v3")
    a.delete("v5")
    a.insert([3.0, 3.0, 3.0], "v3")  # deleted, then inserted again: live
    a.insert([0.0, 0.0, 7.0], "v0")  # replaced: still one vector
    generated = [b.insert([1.0] * 8) for _ in range(4)]
    assert (len(a), len(b)) == (9, 4)
    db.close()

    r = inspect_json(capsys, path)
    assert r["header"] | {"created_at": 0} == {
        "magic": "Kestrum v1", "version": 1, "page_size": 4096, "next_page_id": 6,
        "catalog_page_id": 3, "created_at": 0}
    assert (r["size"], r["page_count"], r["log"]) == (6 * 4096, 6, None)
    catalog_bytes = (len(fb.catalog_record("a", 3, "Euclidean", data=1, metadata=2))
                     + len(fb.catalog_record("b", 8, "DotProduct", data=4, metadata=5)))
    assert (r["catalog"]["bytes_used"], r["catalog"]["slots_used"]) == (catalog_bytes, 2)
    got = {c["name"]: c for c in r["collections"]}
    assert (got["a"]["vectors"], got["b"]["vectors"]) == (9, 4)
    assert (got["a"]["distance"], got["b"]["distance"]) == ("Euclidean", "DotProduct")
    data_a = got["a"]["pages"]["data"]
    # 12 vector records of 30 bytes and 2 markers of 6 bytes
    assert (data_a["id"], data_a["bytes_used"], data_a["slots_used"]) == (1, 372, 14)
    meta_a = got["a"]["pages"]["metadata"]
    assert (meta_a["id"], meta_a["bytes_used"], meta_a["slots_used"]) == (2, 12, 2)
    data_b = got["b"]["pages"]["data"]
    used_b = sum(vector_bytes(g, 8) for g in generated)
    assert (data_b["id"], data_b["bytes_used"], data_b["slots_used"]) == (4, used_b, 4)
    room = (3056 - used_b) // vector_bytes(generated[-1], 8)
    assert got["b"]["room"] == {"vectors": room, "id_bytes": len(generated[-1])}
    assert run(capsys, "verify", str(path)) == (0, "ok: 2 collections, 13 vectors, 6 pages\n")

    status, text = run(capsys, "inspect", str(path))
    assert status == 0
    assert ('  "a": Euclidean, dimension 3, flat, 9 vectors\n'
            "    data page 1: 372 of 3056 bytes, 14 of 256 slots; room for 89 more vectors "
            "(2-byte ids)\n"
            "    metadata page 2: 12 of 3056 bytes, 2 of 256 slots; 0 documents\n") in text


def test_full_page_shows_no_room(tmp_path, capsys):
    path = tmp_path / "full.db"
    db = Kestrum(str(path))
    c = db.create_collection("big", 128)
    for i in range(5):
        c.insert([0.25] * 128, f"id{i:04d}")
    with pytest.raises(RuntimeError, match="^Vector data page full$"):
        c.insert([0.25] * 128, "id0005")
    db.close()
    status, text = run(capsys, "inspect", str(path))
    assert status == 0
    assert ('  "big": Cosine, dimension 128, flat, 5 vectors\n'
            "    data page 1: 2670 of 3056 bytes, 5 of 256 slots; room for 0 more vectors "
            "(6-byte ids)\n") in text


def test_open_database_read_through_its_log(tmp_path, capsys):
    path = tmp_path / "live.db"
    db = Kestrum(str(path))
    c = db.create_collection("c", 2)
    for i in range(3):
        c.insert([1.0, float(i)], f"k{i}")
    wal = tmp_path / "live.db-wal"
    main_before, wal_before = path.read_bytes(), wal.read_bytes()
    frames = (len(wal_before) - 32) // FRAME
    assert frames > 0 and len(wal_before) == 32 + frames * FRAME

    status, text = run(capsys, "inspect", str(path))
    assert status == 0
    assert f"log: {wal}, {len(wal_before)} bytes, {frames} pending frames of " in text
    # the log holds every call, so the next open would see all three vectors
    assert run(capsys, "verify", str(path)) == (
        0, f"ok: 1 collection, 3 vectors, 4 pages, {frames} pending log frames included\n")
    assert (path.read_bytes(), wal.read_bytes()) == (main_before, wal_before)

    db.close()
    assert not wal.exists()
    assert run(capsys, "verify", str(path)) == (0, "ok: 1 collection, 3 vectors, 4 pages\n")
    assert not wal.exists()


def hnsw_database(path):
    """A catalog record naming an edge page, as only a stored configuration can."""
    cat = fb.SlottedPage(4).append(
        fb.catalog_record("h", 2, "Euclidean", data=1, metadata=2, edges=3, index_type="hnsw"))
    fb.write_pages(path, [fb.header_page(5, 4), fb.SlottedPage(1).bytes(),
                          fb.SlottedPage(3).bytes(), fb.SlottedPage(2).bytes(), cat.bytes()])


def test_hnsw_snapshot_written_by_orvane(tmp_path, capsys):
    path = tmp_path / "h.db"
    hnsw_database(path)
    db = Kestrum(str(path))
    h = db.get_collection("h")
    for i in range(10):
        h.insert([float(i % 4), float(i // 4)], f"n{i}")
    db.close()
    assert run(capsys, "verify", str(path)) == (0, "ok: 1 collection, 10 vectors, 5 pages\n")
    edges = inspect_json(capsys, path)["collections"][0]["pages"]["edges"]
    assert (edges["slots_used"], edges["snapshot"]["nodes"]) == (11, 10)

    db = Kestrum(str(path))
    db.get_collection("h").delete("n4")  # a deletion does not rewrite the snapshot
    db.close()
    assert run(capsys, "verify", str(path)) == (0, (
        "page 3: warning: 1 snapshot node without a live vector (deleted since)\n"
        "ok: 1 collection, 9 vectors, 5 pages, 1 warning\n"))


def _flip_type(path, page, value):
    raw = bytearray(path.read_bytes())
    raw[page * 4096] = value
    path.write_bytes(bytes(raw))


@pytest.mark.parametrize("corrupt, finding", [
    (lambda p: _flip_type(p, 1, 3), "page 1: page type 3, expected 1 (data)"),
    (lambda p: p.write_bytes(p.read_bytes()[:-1]),
     "header: file length 16383 is not a multiple of 4096 (truncated?)"),
    (lambda p: p.write_bytes(b"X" + p.read_bytes()[1:]),
     'header: magic is not "Kestrum v1" and six zero bytes: not an orvane database'),
    (lambda p: p.write_bytes(p.read_bytes()[:16] + struct.pack("<I", 9) + p.read_bytes()[20:]),
     "header: unsupported format version 9"),
])
def test_files_the_engine_refuses_do_not_verify(tmp_path, capsys, corrupt, finding):
    path = tmp_path / "bad.db"
    db = Kestrum(str(path))
    db.create_collection("c", 2).insert([1.0, 2.0], "x")
    db.close()
    del db  # while it lives, an open of the same file shares it and reads nothing
    corrupt(path)
    before = path.read_bytes()
    status, out = run(capsys, "verify", str(path))
    assert (status, out.splitlines()[0]) == (1, finding)
    with pytest.raises(RuntimeError, match="^Storage error: (Invalid database file|Unsupported format version): "):
        Kestrum(str(path))
    assert path.read_bytes() == before
