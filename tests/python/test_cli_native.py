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
