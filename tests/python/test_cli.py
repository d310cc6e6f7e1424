"""inspect and verify on classic files, built byte by byte or written by
orvane: exact output, exit status, logs, and one rejected file per kind of
corruption (the checks of single records are in test_cli_records.py)."""

import json
import os
import random
import struct

import pytest

import file_builder as fb
from orvane import _cli as cli


def run(capsys, *argv):
    status = cli.main(list(argv))
    out = capsys.readouterr()
    return status, out.out, out.err


def test_inspect_text_and_json_read_without_writing(tmp_path, capsys):
    db = tmp_path / "v.db"
    # b and c live; a is hidden by its marker; d is deleted and inserted again;
    # e's second record replaces its first.
    fb.one_collection_file(db, [("a", 1, [1, 2, 3]), ("b", 2, [1, 2, 3]), ("a", None, None),
                                ("c", 3, [0, 0, 0]), ("d", 4, [1, 1, 1]), ("d", None, None),
                                ("d", 5, [2, 2, 2]), ("e", 6, [1, 2, 3]), ("e", 6, [3, 2, 1])])
    before = db.read_bytes()
    os.utime(db, (1, 1))
    assert run(capsys, "inspect", str(db)) == (0, (
        f"file: {db}\nsize: 16384 bytes, 4 pages\n"
        'magic: "Kestrum v1", version 1, page_size 4096\n'
        "next_page_id: 4, catalog_page_id: 3\n"
        "created_at: 1700000000 (2023-11-14 22:13:20 UTC)\nlog: none\n"
        "catalog page 3: 144 of 3056 bytes, 1 of 256 slots\ncollections: 1\n"
        '  "c": Cosine, dimension 3, flat, 4 vectors\n'  # 7 vector records of 29 bytes, 2 markers
        "    data page 1: 213 of 3056 bytes, 9 of 256 slots; "
        "room for 98 more vectors (1-byte ids)\n"
        "    metadata page 2: 0 of 3056 bytes, 0 of 256 slots; 0 documents\n"), "")
    status, out, _ = run(capsys, "inspect", "--json", str(db))
    page = {"present": True, "bytes_total": 3056, "slots_total": 256}
    assert (status, json.loads(out)) == (0, {
        "file": str(db), "size": 16384, "page_count": 4,
        "header": {"magic": "Kestrum v1", "version": 1, "page_size": 4096, "next_page_id": 4,
                   "catalog_page_id": 3, "created_at": 1700000000},
        "log": None, "skipped_catalog_records": [],
        "catalog": {"id": 3, "type": 4, "bytes_used": 144, "slots_used": 1, **page},
        "collections": [{
            "name": "c", "catalog_slot": 0, "dimension": 3, "distance": "Cosine",
            "description": "", "index_type": "flat", "index": "flat", "vectors": 4,
            "metadata_documents": 0, "room": {"vectors": 98, "id_bytes": 1},  # (3056 - 213) // 29
            "pages": {"data": {"id": 1, "type": 1, "bytes_used": 213, "slots_used": 9, **page},
                      "metadata": {"id": 2, "type": 3, "bytes_used": 0, "slots_used": 0, **page},
                      "edges": None}}]})
    assert run(capsys, "verify", str(db)) == (0, "ok: 1 collection, 4 vectors, 4 pages\n", "")
    assert db.read_bytes() == before and os.stat(db).st_mtime == 1
    assert sorted(os.listdir(tmp_path)) == ["v.db"]  # no log file appears


def test_inspect_full_page_leaves_no_room(tmp_path, capsys):
    db = tmp_path / "v.db"
    fb.one_collection_file(db, [(f"id{i:04d}", i + 1, [0.5] * 128) for i in range(5)], 128)
    assert ("    data page 1: 2670 of 3056 bytes, 5 of 256 slots; room for 0 more vectors "
            "(6-byte ids)\n") in run(capsys, "inspect", str(db))[1]


def test_pending_frames_of_whole_calls_are_counted_in(tmp_path, capsys):
    db, wal = tmp_path / "v.db", tmp_path / "v.db-wal"
    fb.one_collection_file(db)
    page1 = fb.page(1, fb.vector_record("z", 9, [0, 0, 1]))
    log = (fb.wal_header() + fb.wal_frame(1, page1, commit=False)
           + fb.wal_frame(0, db.read_bytes()[:4096])
           + fb.wal_frame(1, page1, commit=False) + b"torn")  # a call cut short: not applied
    wal.write_bytes(log)
    out = run(capsys, "inspect", str(db))[1]
    assert (f"log: {wal}, {len(log)} bytes, 2 pending frames of 1 call "
            "(applied at the next open; not shown below)\n") in out
    assert '  "c": Cosine, dimension 3, flat, 1 vector\n' in out  # the main file alone
    assert run(capsys, "verify", str(db)) == (
        0, "ok: 1 collection, 1 vector, 4 pages, 2 pending log frames included\n", "")
    # Frames that leave a hole: replay writes page 6 past the end, pages 4 and 5
    # become zero pages, and an all-zero page is a fresh page of any type.
    wal.write_bytes(fb.wal_header() + fb.wal_frame(0, fb.header_page(7, 3), commit=False)
                    + fb.wal_frame(6, fb.page(1), commit=False)
                    + fb.wal_frame(3, fb.page(4, fb.catalog_record("c", 3, data=5, metadata=2))))
    assert run(capsys, "verify", str(db)) == (0, (
        "pages 1, 4, 6: warning: not used by any collection\n"
        "ok: 1 collection, 0 vectors, 7 pages, 3 pending log frames included, 1 warning\n"), "")


def test_what_is_not_a_database_file_is_refused(tmp_path, capsys):
    png, fifo = tmp_path / "p.png", tmp_path / "fifo.db"
    png.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200))
    os.mkfifo(fifo)  # must be refused, not waited on
    assert run(capsys, "inspect", str(png)) == (
        1, "", f'orvane: {png}: not an orvane database (no "Kestrum v1" magic)\n')
    for command, path, why in [("inspect", tmp_path / "none.db", "No such file or directory"),
                               ("verify", tmp_path, "not a regular file"),
                               ("inspect", fifo, "not a regular file"),
                               ("verify", fifo, "not a regular file")]:
        assert run(capsys, command, str(path)) == (2, "", f"orvane: cannot read {path}: {why}\n")
    assert sorted(os.listdir(tmp_path)) == ["fifo.db", "p.png"]


UNUSED = "pages 1-2: warning: not used by any collection"
CORRUPTIONS = {  # (page, offset, bytes put there) or a change of the files; what verify prints
    "magic": ((0, 0, b"k"),
              ['header: magic is not "Kestrum v1" and six zero bytes: not an orvane database']),
    "version": ((0, 16, b"\2"), ["header: unsupported format version 2"]),
    "truncate": (lambda db: db.write_bytes(db.read_bytes()[:-100]), [
        "header: file length 16284 is not a multiple of 4096 (truncated?)",
        "header: catalog_page_id 3 is beyond the end of the file (3 pages)",
        "header: warning: next_page_id 4 is beyond the end of the file (3 pages)", UNUSED]),
    "entry_past_free_offset": ((1, 20, struct.pack("<HH", 1069, 40)),
                               ["page 1 slot 1: record 1069..1109 runs past free_offset 1099"]),
    "slot_count": ((3, 7, b"\1\1"), ["page 3: slot_count 257 exceeds 256", UNUSED]),
    "shared_page": ((3, 0, fb.page(4, *(fb.catalog_record(n, 3, "Cosine", 1, 2) for n in "cd"))),
                    [f'page 3 slot 1: collection "d": {f}_root_page {n} is also the {f}_root_page '
                     'of collection "c"' for f, n in (("data", 1), ("metadata", 2))]),
    "page_type": ((2, 0, b"\1"), ["page 2: page type 1, expected 3 (metadata)"]),
    "vector_length": ((1, 1053, b"\4"),
                      ["page 1 slot 0: vector record of 29 bytes, expected 33 for 4 components"]),
    "dimension": ((1, 0, fb.page(1, fb.vector_record("a", 1, [1, 2]))),
                  ["page 1 slot 0: vector of 2 components in a collection of dimension 3"]),
    "log_magic": (lambda db: (db.parent / "v.db-wal").write_bytes(fb.wal_header(0x377F0682)),
                  ["log: invalid magic 0x377F0682"]),
    "log_not_a_file": (lambda db: (db.parent / "v.db-wal").mkdir(),
                       ["log: cannot be read: not a regular file"]),
}


@pytest.mark.parametrize("name", sorted(CORRUPTIONS))
def test_verify_rejects_each_corruption(tmp_path, capsys, name):
    change, expected = CORRUPTIONS[name]
    db = tmp_path / "v.db"
    fb.one_collection_file(db, [("a", 1, [1, 2, 3]), ("bb", 2, [4, 5, 6])])
    if callable(change):
        change(db)
    else:
        raw, (page, offset, data) = bytearray(db.read_bytes()), change
        raw[page * 4096 + offset:page * 4096 + offset + len(data)] = data
        db.write_bytes(bytes(raw))
    errors = sum(1 for line in expected if ": warning: " not in line)
    summary = f"not sound: {errors} error{'s' * (errors != 1)}, {len(expected) - errors} warning"
    assert run(capsys, "verify", str(db)) == (
        1, "\n".join(expected + [summary + "s" * (len(expected) - errors != 1)]) + "\n", "")


def test_random_damage_never_breaks_the_tools(tmp_path, capsys):
    rng = random.Random(20240611)
    db = tmp_path / "d.db"
    fb.one_collection_file(db, [("a", 1, [1, 2, 3]), ("a", None, None), ("b", 2, [4, 5, 6])])
    raw = db.read_bytes()
    hot = [0, 5, 6, 7, 8, 16, 17, 18, 19, 20, 24, 32, 1040, 1044, 1048]  # header and directory
    statuses = set()
    for _ in range(300):
        data = bytearray(raw)
        for _ in range(rng.choice([1, 3, 12])):
            pos = rng.randrange(4) * 4096 + rng.choice(hot) if rng.random() < 0.6 else (
                rng.randrange(len(data)))
            data[pos] = rng.randrange(256)
        db.write_bytes(bytes(data[:rng.randrange(len(data))] if rng.random() < 0.1 else data))
        for argv in (["inspect", "--json"], ["verify"]):
            statuses.add((argv[0], run(capsys, *argv, str(db))[0]))
    assert statuses == {("inspect", 0), ("inspect", 1), ("verify", 0), ("verify", 1)}
