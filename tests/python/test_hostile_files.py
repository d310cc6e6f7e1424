"""Classic files as Kestrum opens them: foreign, cut or damaged files and odd
logs beside a sound one. Each open fails with its exact text and changes
nothing (no log appears), or opens and finds exactly the ids listed."""

import os
import random
import struct

import pytest

import file_builder as fb
from orvane import Kestrum

WRONG_MAGIC = "Storage error: Invalid database file: wrong magic bytes"
INVALID = "Storage error: Invalid database file: "
SHORT_LOG = "Failed to open WAL: I/O error: failed to fill whole buffer"
PNG = b"\x89PNG\r\n\x1a\n" + bytes(200)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


@pytest.fixture(scope="module")
def sound(tmp_path_factory):
    """A closed database: collection docs (Euclidean, dimension 3) on pages 1
    (vectors), 2 (metadata) and 3 (catalog); vector i of a, b, c is [i, 1, 2]."""
    path = str(tmp_path_factory.mktemp("sound") / "s.db")
    db = Kestrum(path)
    docs = db.create_collection("docs", 3, "euclidean")
    for i, ext in enumerate("abc"):
        docs.insert([float(i), 1.0, 2.0], id=ext)
    db.close()
    del docs, db
    assert len(read(path)) == 4 * fb.PAGE and not os.path.exists(path + "-wal")
    return read(path)


def found_ids(path):
    """The ids docs holds (None without collections); opens and closes."""
    db = Kestrum(path)
    hits = db.get_collection("docs").search([0, 1, 2], 100) if db.list_collections() else None
    db.close()
    return None if hits is None else sorted(h["id"] for h in hits)


def put(offset, value):
    def change(data):
        data[offset:offset + len(value)] = value
    return change


def cut(length):
    return lambda data: data.__delitem__(slice(length, None))


def whole(new):
    return lambda data: data.__setitem__(slice(None), new)


def vector_page():
    return fb.SlottedPage(1).append(fb.vector_record("w", 500, [0.0, 1.0, 2.0])).bytes()


def edge_page_past_the_end(index_type):
    """docs holding a, its catalog record naming edge page 99 of a 4-page file."""
    data = fb.SlottedPage(1).append(fb.vector_record("a", 1, [0.0, 1.0, 2.0]))
    cat = fb.SlottedPage(4).append(fb.catalog_record("docs", 3, data=1, metadata=2, edges=99,
                                                     index_type=index_type))
    return fb.header_page(4, 3) + data.bytes() + fb.SlottedPage(3).bytes() + cat.bytes()


STALE = fb.wal_header() + fb.wal_frame(0, fb.header_page(2), commit=False) + fb.wal_frame(
    1, vector_page())
CATALOG = 3 * fb.PAGE
# (change of the sound file, log beside it, error text or the ids found; None: none)
CASES = {
    "png": (whole(PNG), None, WRONG_MAGIC),
    "zero page": (whole(bytes(fb.PAGE)), None, WRONG_MAGIC),
    "random pages, log beside": (whole(random.Random(15).randbytes(3 * fb.PAGE)), STALE,
                                 WRONG_MAGIC),
    "cut to 10": (cut(10), None, WRONG_MAGIC),
    "cut to 100": (cut(100), None, INVALID + "file length 100 is not a whole number of pages"),
    "cut to 2 pages": (cut(2 * fb.PAGE), None,
                       INVALID + "catalog page 3 lies past the end of the file (8192 bytes)"),
    "cut inside a page": (cut(3 * fb.PAGE + 17), None,
                          INVALID + "file length 12305 is not a whole number of pages"),
    "catalog page past the end": (put(32, struct.pack("<Q", 2**64 - 1)), None, INVALID
                                  + "catalog page 18446744073709551615 lies past the end of the "
                                  "file (16384 bytes)"),
    "page size": (put(20, struct.pack("<I", 8192)), None, INVALID + "page size 8192 is not 4096"),
    "version": (put(16, struct.pack("<I", 2)), None, "Storage error: Unsupported format version: 2"),
    "catalog record": (put(CATALOG + 1040, b"x"), None, None),  # no longer decodes
    "slot count": (put(fb.PAGE + 7, struct.pack("<H", 65535)), None, []),
    "edge page past the end, flat": (whole(edge_page_past_the_end("flat")), None, ["a"]),
    "edge page past the end, graph": (whole(edge_page_past_the_end("hnsw")), None,
                                      "I/O error: failed to fill whole buffer"),
    "empty log": (None, b"", ["a", "b", "c"]),
    "log shorter than a header": (None, fb.wal_header()[:1], SHORT_LOG),
    "log one byte short": (None, fb.wal_header()[:31], SHORT_LOG),
    "header-only log": (None, fb.wal_header(), ["a", "b", "c"]),
    "header-sized log of another kind": (
        None, PNG[:32], "Failed to open WAL: WAL corrupted: Invalid WAL magic: 0x474E5089"),
    "log without a whole frame": (None, (fb.wal_header() + fb.wal_frame(1, vector_page()))[:100],
                                  ["a", "b", "c"]),
    "longer log of another kind": (None, (PNG * 30)[:5000], ["a", "b", "c"]),
    "log of another version": (None, fb.wal_header(version=2) + bytes(100), ["a", "b", "c"]),
    "whole frame": (None, fb.wal_header() + fb.wal_frame(1, vector_page()), ["w"]),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_hostile_file_or_log(tmp_path, sound, case):
    change, log, expected = CASES[case]
    path, wal = str(tmp_path / "h.db"), str(tmp_path / "h.db-wal")
    data = bytearray(sound)
    if change is not None:
        change(data)
    write(path, bytes(data))
    if log is not None:
        write(wal, log)
    if isinstance(expected, str):
        with pytest.raises(RuntimeError) as info:
            Kestrum(path)
        assert str(info.value) == expected
        assert read(path) == data and sorted(os.listdir(tmp_path)) == sorted(
            ["h.db"] + ["h.db-wal"] * (log is not None))
        assert log is None or read(wal) == log
        return
    db = Kestrum(path)
    if log is not None and expected == ["a", "b", "c"]:  # a sound header is kept, else replaced
        new_log = read(wal)
        assert new_log == log if len(log) == 32 else new_log == fb.wal_header()[:8] + new_log[8:]
        assert len(new_log) == 32
    db.close()
    del db
    assert found_ids(path) == expected
    if expected == ["a", "b", "c"]:  # nothing was applied
        assert read(path) == data and not os.path.exists(wal)


def test_damaged_next_page_id_grows_the_file_by_new_pages_only(tmp_path, sound):
    path = str(tmp_path / "n.db")
    write(path, sound[:24] + struct.pack("<Q", 2**64 - 1) + sound[32:])
    db = Kestrum(path)
    db.create_collection("more", 2).insert([1.0, 0.0], id="m")
    db.close()
    assert os.path.getsize(path) == 6 * fb.PAGE  # pages 4 and 5: the new data and metadata pages
    del db
    assert found_ids(path) == ["a", "b", "c"]


def markers(path):
    """Ids of the deletion markers on data page 1, in slot order."""
    page = read(path)[fb.PAGE:2 * fb.PAGE]
    out = []
    for slot in range(struct.unpack_from("<H", page, 7)[0]):
        offset, length = struct.unpack_from("<HH", page, 16 + 4 * slot)
        if length >= 4 and length == 4 + struct.unpack_from("<I", page, offset)[0]:
            out.append(page[offset + 4:offset + length].decode())
    return out


@pytest.mark.parametrize("replayed", [False, True])
def test_deleting_an_id_known_without_a_vector_writes_its_marker(db_path, replayed):
    if replayed:  # a record of the wrong length registers the id only
        fb.one_collection_file(db_path, vectors=(("a", 1, [1.0, 2.0]),))
        db = Kestrum(db_path)
    else:  # a failed insert registers it
        db = Kestrum(db_path)
        with pytest.raises(RuntimeError, match="^Dimension mismatch"):
            db.create_collection("c", 3).insert([1.0], "a")
    docs = db.get_collection("c")
    assert len(docs) == 0
    docs.delete("a")
    db.close()
    assert markers(db_path) == ["a"]


@pytest.mark.parametrize("at_close", [False, True])
def test_a_directory_at_the_log_path_is_reported(db_path, wal_path, at_close):
    Kestrum(db_path).create_collection("c", 3).insert([1.0, 2.0, 3.0], "a")
    db = Kestrum(db_path) if at_close else None
    if at_close:
        os.remove(wal_path)
    os.mkdir(wal_path)
    with pytest.raises(RuntimeError) as info:
        db.close() if at_close else Kestrum(db_path)
    assert str(info.value) == ("WAL cleanup failed" if at_close else "Failed to open WAL") + (
        ": I/O error: Is a directory (os error 21)")
    assert os.path.isdir(wal_path)
