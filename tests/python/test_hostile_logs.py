"""Hostile input: logs of every odd size and damaged frames beside a sound
database. Each open fails with the exact text of its case or opens with the
frames that count, and only those, applied.
"""

import struct

import pytest

import file_builder as fb
from hostile_support import PNG, SHORT_LOG, found_ids, make_database, open_error, read, write
from hostile_support import valid_log_with_frame
from orvane import Kestrum


@pytest.fixture
def sound(tmp_path):
    path = str(tmp_path / "s.db")
    make_database(path)
    return path


def test_empty_log_gets_a_header(sound):
    write(sound + "-wal", b"")
    db = Kestrum(sound)
    log = read(sound + "-wal")
    assert len(log) == 32 and log[:8] == struct.pack("<II", 0x377F0683, 1)
    db.close()


@pytest.mark.parametrize("size", range(1, 32))
def test_log_shorter_than_its_header_fails_the_open(sound, size):
    db_bytes = read(sound)
    log = fb.wal_header()[:size]
    write(sound + "-wal", log)
    assert open_error(sound) == SHORT_LOG
    assert read(sound) == db_bytes
    assert read(sound + "-wal") == log


def test_header_only_log_is_kept_byte_for_byte(sound):
    log = fb.wal_header(salt1=7, salt2=9)
    write(sound + "-wal", log)
    db = Kestrum(sound)
    assert read(sound + "-wal") == log
    assert sorted(h["id"] for h in db.get_collection("docs").search([0.0, 1.0, 2.0])) == [
        "a", "b", "c"]
    db.close()


def test_header_sized_log_with_wrong_magic_fails_the_open(sound):
    log = PNG[:32]
    write(sound + "-wal", log)
    assert open_error(sound) == "Failed to open WAL: WAL corrupted: Invalid WAL magic: 0x474E5089"
    assert read(sound + "-wal") == log


@pytest.mark.parametrize("size", list(range(33, 61)) + [32 + 28 + fb.PAGE - 1])
def test_log_without_a_whole_frame_is_cut_to_its_header(sound, size):
    db_bytes = read(sound)
    log = (fb.wal_header() + fb.wal_frame(1, fb.SlottedPage(1).bytes()))[:size]
    write(sound + "-wal", log)
    assert found_ids(sound) == ["a", "b", "c"]
    assert read(sound) == db_bytes


@pytest.mark.parametrize("size", [33, 59, 60, 100, 5000])
def test_log_with_wrong_magic_is_deleted_and_replaced(sound, size):
    log = (PNG * 200)[:size]
    write(sound + "-wal", log)
    db = Kestrum(sound)
    new_log = read(sound + "-wal")
    assert len(new_log) == 32 and new_log[:4] == struct.pack("<I", 0x377F0683)
    db.close()


def test_log_with_unsupported_version_is_deleted(sound):
    write(sound + "-wal", fb.wal_header(version=2) + bytes(100))
    db = Kestrum(sound)
    assert read(sound + "-wal")[4:8] == struct.pack("<I", 1)
    db.close()


def one_vector_page(ext="w"):
    return fb.SlottedPage(1).append(fb.vector_record(ext, 500, [0.0, 1.0, 2.0])).bytes()


@pytest.mark.parametrize("case", ["checksum1", "checksum2", "image", "page_id", "torn"])
def test_damaged_frame_is_not_applied(sound, case):
    db_bytes = read(sound)
    log = bytearray(valid_log_with_frame(1, one_vector_page()))
    if case == "checksum1":
        log[32 + 20] ^= 1
    elif case == "checksum2":
        log[32 + 24] ^= 1
    elif case == "image":
        log[32 + 28 + 2000] ^= 1
    elif case == "page_id":
        log[32] = 2
    elif case == "torn":
        del log[-1]
    write(sound + "-wal", bytes(log))
    assert found_ids(sound) == ["a", "b", "c"]
    assert read(sound) == db_bytes


def test_whole_frame_is_replayed(sound):
    write(sound + "-wal", valid_log_with_frame(1, one_vector_page()))
    assert found_ids(sound) == ["w"]


def test_frame_without_commit_is_not_replayed(sound):
    db_bytes = read(sound)
    write(sound + "-wal", valid_log_with_frame(1, one_vector_page(), commit=False))
    assert found_ids(sound) == ["a", "b", "c"]
    assert read(sound) == db_bytes


@pytest.mark.parametrize("page_id", [0, 2**32 - 1])
def test_frame_for_a_foreign_header_or_a_wild_page_is_not_applied(sound, page_id):
    db_bytes = read(sound)
    write(sound + "-wal", valid_log_with_frame(page_id, one_vector_page()))
    assert found_ids(sound) == ["a", "b", "c"]
    assert read(sound) == db_bytes
