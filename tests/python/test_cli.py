"""inspect and verify on classic files, built byte by byte or written by
orvane: exact output, exit status, logs, and one rejected file per kind of
corruption (the checks of single records are in test_cli_records.py)."""

import json
import os
import struct
import subprocess
import sys

import pytest

import file_builder as fb

from orvane import Kestrum
from orvane import _cli as cli

FRAME = 28 + 4096


def run(capsys, *argv):
    status = cli.main(list(argv))
    out = capsys.readouterr()
    return status, out.out, out.err


def test_inspect_text_counts_replayed_vectors(tmp_path, capsys):
    db = tmp_path / "v.db"
    # b and c live; a is hidden by its marker; d is deleted and inserted again.
    fb.one_collection_file(db, [("a", 1, [1, 2, 3]), ("b", 2, [1, 2, 3]), ("a", None, None),
                                ("c", 3, [0, 0, 0]), ("d", 4, [1, 1, 1]), ("d", None, None),
                                ("d", 5, [2, 2, 2])])
    status, out, err = run(capsys, "inspect", str(db))
    assert (status, err) == (0, "")
    assert out == (
        f"file: {db}\n"
        "size: 16384 bytes, 4 pages\n"
        'magic: "Kestrum v1", version 1, page_size 4096\n'
        "next_page_id: 4, catalog_page_id: 3\n"
        "created_at: 1700000000 (2023-11-14 22:13:20 UTC)\n"
        "log: none\n"
        "catalog page 3: 144 of 3056 bytes, 1 of 256 slots\n"
        "collections: 1\n"
        '  "c": Cosine, dimension 3, flat, 3 vectors\n'
        # 5 vector records of 29 bytes + 2 markers of 5 bytes
        "    data page 1: 155 of 3056 bytes, 7 of 256 slots; room for 100 more vectors (1-byte ids)\n"
        "    metadata page 2: 0 of 3056 bytes, 0 of 256 slots; 0 documents\n"
    )


def test_inspect_json_has_stable_keys(tmp_path, capsys):
    db = tmp_path / "v.db"
    fb.one_collection_file(db, [("x1", 7, [1, 2, 3]), ("x1", 7, [3, 2, 1])])
    status, out, _ = run(capsys, "inspect", "--json", str(db))
    assert status == 0
    page = {"present": True, "bytes_total": 3056, "slots_total": 256}
    assert json.loads(out) == {
        "file": str(db), "size": 16384, "page_count": 4,
        "header": {"magic": "Kestrum v1", "version": 1, "page_size": 4096, "next_page_id": 4,
                   "catalog_page_id": 3, "created_at": 1700000000},
        "log": None,
        "catalog": {"id": 3, "type": 4, "bytes_used": 144, "slots_used": 1, **page},
        "skipped_catalog_records": [],
        "collections": [{
            "name": "c", "catalog_slot": 0, "dimension": 3, "distance": "Cosine",
            "description": "", "index_type": "flat", "index": "flat",
            "vectors": 1,  # the second record replaces the first
            "metadata_documents": 0,
            "pages": {"data": {"id": 1, "type": 1, "bytes_used": 60, "slots_used": 2, **page},
                      "metadata": {"id": 2, "type": 3, "bytes_used": 0, "slots_used": 0, **page},
                      "edges": None},
            "room": {"vectors": 99, "id_bytes": 2},  # (3056 - 60) // 30
        }],
    }


def test_inspect_full_page_leaves_no_room(tmp_path, capsys):
    db = tmp_path / "v.db"
    vectors = [(f"id{i:04d}", i + 1, [0.5] * 128) for i in range(5)]  # 5 x 534 bytes
    fb.one_collection_file(db, vectors, dimension=128)
    _, out, _ = run(capsys, "inspect", str(db))
    assert ("    data page 1: 2670 of 3056 bytes, 5 of 256 slots; room for 0 more vectors "
            "(6-byte ids)\n") in out


def test_inspect_and_verify_never_write(tmp_path, capsys):
    db = tmp_path / "v.db"
    fb.one_collection_file(db, [("a", 1, [1, 2, 3]), ("a", None, None), ("a", 2, [1, 2, 3])])
    before = db.read_bytes()
    os.utime(db, (1, 1))
    assert run(capsys, "verify", str(db)) == (0, "ok: 1 collection, 1 vector, 4 pages\n", "")
    for argv in (["inspect", str(db)], ["inspect", "--json", str(db)]):
        assert run(capsys, *argv)[0] == 0
    assert db.read_bytes() == before
    assert os.stat(db).st_mtime == 1
    assert sorted(os.listdir(tmp_path)) == ["v.db"]  # no log file appears


def test_inspect_counts_pending_frames_of_whole_calls(tmp_path, capsys):
    db = tmp_path / "v.db"
    fb.one_collection_file(db)
    page1 = fb.SlottedPage(1).append(fb.vector_record("z", 9, [0, 0, 1])).bytes()
    log = (fb.wal_header() + fb.wal_frame(1, page1, commit=False) + fb.wal_frame(0, db.read_bytes()[:4096])
           + fb.wal_frame(1, page1, commit=False)  # a call cut short: not applied
           + b"torn")
    (tmp_path / "v.db-wal").write_bytes(log)
    _, out, _ = run(capsys, "inspect", str(db))
    assert (f"log: {tmp_path}/v.db-wal, {len(log)} bytes, 2 pending frames of 1 call "
            "(applied at the next open; not shown below)\n") in out
    assert '  "c": Cosine, dimension 3, flat, 1 vector\n' in out  # the main file alone
    status, out, _ = run(capsys, "verify", str(db))
    assert (status, out) == (0, "ok: 1 collection, 1 vector, 4 pages, 2 pending log frames included\n")


def test_inspect_refuses_what_is_not_a_database(tmp_path, capsys):
    png = tmp_path / "p.png"
    png.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200))
    assert run(capsys, "inspect", str(png)) == (
        1, "", f'orvane: {png}: not an orvane database (no "Kestrum v1" magic)\n')
    assert run(capsys, "inspect", str(tmp_path / "none.db")) == (
        2, "", f"orvane: cannot read {tmp_path}/none.db: No such file or directory\n")
    assert run(capsys, "verify", str(tmp_path)) == (
        2, "", f"orvane: cannot read {tmp_path}: not a regular file\n")
    fifo = tmp_path / "fifo.db"
    os.mkfifo(fifo)  # must be refused, not waited on
    for command in ("inspect", "verify"):
        assert run(capsys, command, str(fifo)) == (
            2, "", f"orvane: cannot read {fifo}: not a regular file\n")
    assert sorted(os.listdir(tmp_path)) == ["fifo.db", "p.png"]


def patch(page, offset, data):
    """A change of the file: `data` written at `offset` of page `page`."""
    def change(db):
        raw = bytearray(db.read_bytes())
        raw[page * 4096 + offset:page * 4096 + offset + len(data)] = data
        db.write_bytes(bytes(raw))
    return change


def write_log(data):
    return lambda db: (db.parent / "v.db-wal").write_bytes(data)


SHARED = fb.SlottedPage(4).append(fb.catalog_record("c", 3, data=1, metadata=2)).append(
    fb.catalog_record("d", 3, data=1, metadata=2)).bytes()
UNUSED = "pages 1-2: warning: not used by any collection"
CORRUPTIONS = {
    "magic": (patch(0, 0, b"k"),
              ['header: magic is not "Kestrum v1" and six zero bytes: not an orvane database']),
    "version": (patch(0, 16, struct.pack("<I", 2)), ["header: unsupported format version 2"]),
    "truncate": (lambda db: db.write_bytes(db.read_bytes()[:-100]), [
        "header: file length 16284 is not a multiple of 4096 (truncated?)",
        "header: catalog_page_id 3 is beyond the end of the file (3 pages)",
        "header: warning: next_page_id 4 is beyond the end of the file (3 pages)", UNUSED]),
    "entry_past_free_offset": (patch(1, 16 + 4, struct.pack("<HH", 1069, 40)),
                               ["page 1 slot 1: record 1069..1109 runs past free_offset 1099"]),
    "slot_count": (patch(3, 7, struct.pack("<H", 257)),
                   ["page 3: slot_count 257 exceeds 256", UNUSED]),
    "catalog_record": (patch(3, 1040, b"["), [  # '{' -> '[': the record no longer parses
        "page 3 slot 0: catalog record does not decode: not JSON (expecting ',' delimiter)",
        UNUSED]),
    "shared_page": (patch(3, 0, SHARED), [
        'page 3 slot 1: collection "d": data_root_page 1 is also the data_root_page of collection "c"',
        'page 3 slot 1: collection "d": metadata_root_page 2 is also the metadata_root_page of '
        'collection "c"']),
    "page_type": (patch(2, 0, b"\x01"), ["page 2: page type 1, expected 3 (metadata)"]),
    "vector_length": (patch(1, 1040 + 4 + 1 + 8, struct.pack("<I", 4)),
                      ["page 1 slot 0: vector record of 29 bytes, expected 33 for 4 components"]),
    "dimension": (patch(1, 0, fb.SlottedPage(1).append(fb.vector_record("a", 1, [1, 2])).bytes()),
                  ["page 1 slot 0: vector of 2 components in a collection of dimension 3"]),
    "log_magic": (write_log(fb.wal_header(magic=0x377F0682)), ["log: invalid magic 0x377F0682"]),
    "log_not_a_file": (lambda db: (db.parent / "v.db-wal").mkdir(),
                       ["log: cannot be read: not a regular file"]),
}


@pytest.mark.parametrize("name", sorted(CORRUPTIONS))
def test_verify_rejects_each_corruption(tmp_path, capsys, name):
    corrupt, expected = CORRUPTIONS[name]
    db = tmp_path / "v.db"
    fb.one_collection_file(db, [("a", 1, [1, 2, 3]), ("bb", 2, [4, 5, 6])])
    assert run(capsys, "verify", str(db))[0] == 0
    corrupt(db)
    status, out, err = run(capsys, "verify", str(db))
    lines = out.splitlines()
    errors = sum(1 for line in expected if ": warning: " not in line)
    warnings = len(expected) - errors
    assert (status, err) == (1, "")
    assert lines[:-1] == expected
    assert lines[-1] == (f"not sound: {errors} error{'s' * (errors != 1)}, "
                         f"{warnings} warning{'s' * (warnings != 1)}")


def test_python_m_orvane_exit_status(tmp_path):
    db = tmp_path / "v.db"
    fb.one_collection_file(db)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

    def main(*args):
        return subprocess.run([sys.executable, "-m", "orvane", *args], capture_output=True,
                              text=True, env=env, check=False)

    ok = main("verify", str(db))
    assert (ok.returncode, ok.stdout) == (0, "ok: 1 collection, 1 vector, 4 pages\n")
    CORRUPTIONS["slot_count"][0](db)
    assert main("verify", str(db)).returncode == 1
    usage = main("verify")
    assert usage.returncode == 2
    assert "the following arguments are required: FILE" in usage.stderr
    assert main("frobnicate", str(db)).returncode == 2


def test_log_frames_that_leave_a_hole(tmp_path, capsys):
    db = tmp_path / "v.db"
    fb.one_collection_file(db)
    cat = fb.SlottedPage(4).append(fb.catalog_record("c", 3, data=5, metadata=2))
    log = (fb.wal_header() + fb.wal_frame(0, fb.header_page(7, 3), commit=False)
           + fb.wal_frame(6, fb.SlottedPage(1).bytes(), commit=False)
           + fb.wal_frame(3, cat.bytes()))
    (tmp_path / "v.db-wal").write_bytes(log)
    # Replay writes page 6 past the end: pages 4 and 5 become zero pages, and
    # an all-zero page is a fresh page of any type.
    assert run(capsys, "verify", str(db)) == (0, (
        "pages 1, 4, 6: warning: not used by any collection\n"
        "ok: 1 collection, 0 vectors, 7 pages, 3 pending log frames included, 1 warning\n"), "")


def test_random_damage_never_breaks_the_tools(tmp_path, capsys):
    import random

    rng = random.Random(20240611)
    good = tmp_path / "good.db"
    fb.one_collection_file(good, [("a", 1, [1, 2, 3]), ("a", None, None), ("b", 2, [4, 5, 6])])
    raw = good.read_bytes()
    hot = [0, 5, 6, 7, 8, 16, 17, 18, 19, 20, 24, 32, 1040, 1044, 1048]  # header and directory bytes
    db = tmp_path / "d.db"
    statuses = set()
    for _ in range(300):
        data = bytearray(raw)
        for _ in range(rng.choice([1, 3, 12])):
            page = rng.randrange(4) * 4096
            pos = page + rng.choice(hot) if rng.random() < 0.6 else rng.randrange(len(data))
            data[pos] = rng.randrange(256)
        if rng.random() < 0.1:
            data = data[:rng.randrange(len(data))]
        db.write_bytes(bytes(data))
        for argv in (["inspect", "--json", str(db)], ["verify", str(db)]):
            status, _, _ = run(capsys, *argv)
            statuses.add((argv[0], status))
    assert statuses == {("inspect", 0), ("inspect", 1), ("verify", 0), ("verify", 1)}


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

    status, text, _ = run(capsys, "inspect", str(path))
    assert status == 0
    assert f"log: {wal}, {len(wal_before)} bytes, {frames} pending frames of " in text
    # the log holds every call, so the next open would see all three vectors
    assert run(capsys, "verify", str(path)) == (
        0, f"ok: 1 collection, 3 vectors, 4 pages, {frames} pending log frames included\n", "")
    assert (path.read_bytes(), wal.read_bytes()) == (main_before, wal_before)

    db.close()
    assert not wal.exists()
    assert run(capsys, "verify", str(path)) == (0, "ok: 1 collection, 3 vectors, 4 pages\n", "")
    assert not wal.exists()


def test_hnsw_snapshot_written_by_orvane(tmp_path, capsys):
    path = tmp_path / "h.db"
    fb.hnsw_collection_file(path, [], vectors=())
    db = Kestrum(str(path))
    h = db.get_collection("h")
    for i in range(10):
        h.insert([float(i % 4), float(i // 4)], f"n{i}")
    db.close()
    assert run(capsys, "verify", str(path)) == (0, "ok: 1 collection, 10 vectors, 5 pages\n", "")
    status, out, _ = run(capsys, "inspect", "--json", str(path))
    edges = json.loads(out)["collections"][0]["pages"]["edges"]
    assert (edges["slots_used"], edges["snapshot"]["nodes"]) == (11, 10)

    db = Kestrum(str(path))
    db.get_collection("h").delete("n4")  # a deletion does not rewrite the snapshot
    db.close()
    assert run(capsys, "verify", str(path)) == (0, (
        "page 3: warning: 1 snapshot node without a live vector (deleted since)\n"
        "ok: 1 collection, 9 vectors, 5 pages, 1 warning\n"), "")
