"""Hostile input: files that are not databases, damaged databases, and Python
arguments that lie about themselves.

Each case ends with a clear RuntimeError or with a database that opens and
answers correctly; a file that is not ours is never changed, and no log is
created beside it.
"""

import os
import random
import resource
import struct
import subprocess
import sys

import pytest

import file_builder as fb
from hostile_support import PNG, WRONG_MAGIC, found_ids, make_database, open_error, read, write
from orvane import Kestrum

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"


# Files that are not databases ------------------------------------------------

FOREIGN = {
    "png": PNG,
    "random": random.Random(14).randbytes(5000),
    "random_whole_pages": random.Random(15).randbytes(3 * fb.PAGE),
    "zero_page": bytes(fb.PAGE),
    "text": b"hello\n",
    "magic_prefix": fb.MAGIC[:10],
}


@pytest.mark.parametrize("name", sorted(FOREIGN))
def test_foreign_file_is_refused_and_left_alone(tmp_path, name):
    path = str(tmp_path / name)
    write(path, FOREIGN[name])
    assert open_error(path) == WRONG_MAGIC
    assert read(path) == FOREIGN[name]
    assert os.listdir(tmp_path) == [name]  # no log created beside it


@pytest.mark.parametrize("name", ["png", "random_whole_pages"])
def test_log_beside_foreign_file_is_not_replayed(tmp_path, name):
    path = str(tmp_path / name)
    write(path, FOREIGN[name])
    # A valid log whose frames would overwrite pages 0 and 1.
    log = (fb.wal_header() + fb.wal_frame(0, fb.header_page(2), commit=False)
           + fb.wal_frame(1, fb.SlottedPage(1).bytes()))
    write(path + "-wal", log)
    assert open_error(path) == WRONG_MAGIC
    assert read(path) == FOREIGN[name]
    assert read(path + "-wal") == log


def test_empty_file_opens_as_new_database(tmp_path):
    path = str(tmp_path / "empty.db")
    write(path, b"")
    db = Kestrum(path)
    assert db.list_collections() == []
    assert read(path)[:16] == fb.MAGIC and len(read(path)) == fb.PAGE
    assert len(read(path + "-wal")) == 32
    db.create_collection("docs", 3, "euclidean").insert([0.0, 1.0, 2.0], id="x")
    db.close()
    del db
    assert found_ids(path) == ["x"]


def test_path_with_nul_is_refused(tmp_path):
    with pytest.raises(RuntimeError) as info:
        Kestrum(str(tmp_path / "a.db") + "\0b")
    assert str(info.value) == "Storage error: I/O error: path contains a NUL byte"
    assert os.listdir(tmp_path) == []  # nothing created under the name cut short


# Damaged databases -----------------------------------------------------------

@pytest.mark.parametrize("length, reason", [
    (10, "wrong magic bytes"),
    (16, "file length 16 is not a whole number of pages"),
    (100, "file length 100 is not a whole number of pages"),
    (fb.PAGE - 1, "file length 4095 is not a whole number of pages"),
    (2 * fb.PAGE, "catalog page 3 lies past the end of the file (8192 bytes)"),
    (3 * fb.PAGE + 17, "file length 12305 is not a whole number of pages"),
])
def test_truncated_database_is_refused_and_left_alone(tmp_path, length, reason):
    path = str(tmp_path / "t.db")
    make_database(path)
    cut = read(path)[:length]
    write(path, cut)
    assert open_error(path) == "Storage error: Invalid database file: " + reason
    assert read(path) == cut
    assert os.listdir(tmp_path) == ["t.db"]


def damaged(tmp_path, change):
    """A database whose bytes `change(bytearray)` edits in place."""
    path = str(tmp_path / "d.db")
    make_database(path)
    data = bytearray(read(path))
    change(data)
    write(path, bytes(data))
    return path


CATALOG = 3 * fb.PAGE
DATA = 1 * fb.PAGE


def entry(page_start, slot):
    return page_start + 16 + 4 * slot


def put(offset, value):
    return lambda d: d.__setitem__(slice(offset, offset + len(value)), value)


def catalog_naming(data_page):
    page = fb.SlottedPage(4).append(fb.catalog_record("docs", 3, "Euclidean", data=data_page,
                                                      metadata=2)).bytes()
    return put(CATALOG, page)


@pytest.mark.parametrize("change, reason", [
    (put(CATALOG, b"\x09"), "Invalid database file: catalog page 3 has page type 9"),
    (put(CATALOG, b"\x01"), "Invalid database file: catalog page 3 has page type 1"),
    (put(32, struct.pack("<Q", 4)),
     "Invalid database file: catalog page 4 lies past the end of the file (16384 bytes)"),
    (put(32, struct.pack("<Q", 2**64 - 1)), "Invalid database file: catalog page "
     "18446744073709551615 lies past the end of the file (16384 bytes)"),
    (put(DATA, b"\x03"), "Invalid database file: collection docs: data_root_page 1 has page type 3"),
    (put(20, struct.pack("<I", 8192)), "Invalid database file: page size 8192 is not 4096"),
    (put(16, struct.pack("<I", 2)), "Unsupported format version: 2"),
    (catalog_naming(99), "Invalid database file: collection docs: "
     "data_root_page 99 lies past the end of the file (16384 bytes)"),
])
def test_corrupted_header_or_page_type_is_refused_and_left_alone(tmp_path, change, reason):
    path = damaged(tmp_path, change)
    before = read(path)
    assert open_error(path) == "Storage error: " + reason
    assert read(path) == before
    assert not os.path.exists(path + "-wal")


def record(offset, value):
    """Changes the record of "b" (slot 1: L=1, "b", internal id, D=3) at `offset`."""
    def change(d):
        start = DATA + struct.unpack_from("<H", d, entry(DATA, 1))[0] + offset
        d[start:start + len(value)] = value
    return change


# What a damaged slot directory or record leaves readable.
@pytest.mark.parametrize("change, expected", [
    (put(CATALOG + 1040, b"x"), None),  # the catalog record no longer decodes
    (put(DATA + 7, struct.pack("<H", 65535)), []),  # more slots than a directory holds
    (put(entry(DATA, 0), struct.pack("<HH", 4090, 28)), ["b", "c"]),  # past the page end
    (put(entry(DATA, 0) + 2, b"\0\0"), ["b", "c"]),  # an empty record
    (put(DATA + 7, struct.pack("<H", 2)), ["a", "b"]),  # slot 2 no longer covered
    (record(0, struct.pack("<I", 0xFFFFFFFF)), ["a", "c"]),
    (record(0, struct.pack("<I", 2)), ["a", "c"]),
    (record(13, struct.pack("<I", 0xFFFFFFFF)), ["a", "c"]),
    (record(13, struct.pack("<I", 2)), ["a", "c"]),
    (record(4, b"\xff"), ["a", "c"]),  # an id that is not UTF-8
])
def test_damaged_directory_or_record_is_skipped(tmp_path, change, expected):
    path = damaged(tmp_path, change)
    if expected is None:
        assert Kestrum(path).list_collections() == []
    else:
        assert found_ids(path) == expected


@pytest.mark.parametrize("next_page_id", [2**31, 2**52, 2**64 - 1])
def test_damaged_next_page_id_grows_the_file_by_new_pages_only(tmp_path, next_page_id):
    path = damaged(tmp_path, lambda d: d.__setitem__(slice(24, 32),
                                                     struct.pack("<Q", next_page_id)))
    db = Kestrum(path)
    db.create_collection("more", 2).insert([1.0, 0.0], id="m")
    db.close()
    assert os.path.getsize(path) == 6 * fb.PAGE  # pages 4 and 5: the new data and metadata pages
    del db
    assert found_ids(path) == ["a", "b", "c"]


def test_free_offset_out_of_range_refuses_inserts(tmp_path):
    path = damaged(tmp_path, lambda d: d.__setitem__(slice(DATA + 5, DATA + 7),
                                                     struct.pack("<H", 5000)))
    db = Kestrum(path)
    docs = db.get_collection("docs")
    assert len(docs) == 3
    with pytest.raises(RuntimeError, match="^Vector data page full$"):
        docs.insert([1.0, 1.0, 1.0], id="new")
    assert len(docs) == 3
    db.close()


# Python arguments that lie ---------------------------------------------------

class LyingVector:
    """A sequence of three numbers whose length claims something else."""

    def __init__(self, claimed):
        self.claimed = claimed

    def __len__(self):
        if isinstance(self.claimed, Exception):
            raise self.claimed
        return self.claimed

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return float(i)

    def __iter__(self):
        return iter([0.0, 1.0, 2.0])


@pytest.mark.parametrize("claimed", [2**62, 2**31, 2**100, 0, ValueError("no length")],
                         ids=["2**62", "2**31", "2**100", "0", "raises"])
def test_lying_length_is_only_a_hint(db, claimed):
    docs = db.create_collection("docs", 3, "euclidean")
    assert docs.insert(LyingVector(claimed), id="liar") == "liar"
    hits = docs.search(LyingVector(claimed))
    assert hits == [{"id": "liar", "score": 0.0}]


@pytest.mark.skipif(SANITIZED, reason="an address-space limit breaks the sanitizer's shadow memory")
def test_lying_length_allocates_nothing_of_that_size(tmp_path):
    # Under a 1 GiB address-space limit, reserving room for the claimed
    # length would fail; only the three items may be stored.
    script = f"""
import resource, sys
sys.path[:0] = {sys.path!r}
from orvane import Kestrum
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
class Liar:
    def __len__(self): return 2**62
    def __getitem__(self, i):
        if i >= 3: raise IndexError(i)
        return 1.0
db = Kestrum({str(tmp_path / 'l.db')!r})
docs = db.create_collection("docs", 3)
print(docs.insert(Liar(), id="x"), len(docs.search(Liar())))
"""
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    assert soft == resource.RLIM_INFINITY or soft > 1 << 30
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=False)
    assert (out.returncode, out.stdout, out.stderr) == (0, "x 1\n", "")
