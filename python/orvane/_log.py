"""Read-only scan of the write-ahead log beside a database ("<db>-wal").

Header (32 bytes): u32 magic 0x377F0683, u32 version 1, u32 page_size,
u32 sequence, u32 salt1, u32 salt2, u32 header_crc (CRC-32 of bytes 0..23),
u32 reserved. Frame: u32 page_id, u64 frame_tag (bit 0 marks the last frame
of one call), 8 reserved bytes, u32 checksum1, u32 checksum2, then the
4096-byte page image; checksumN = CRC-32(page_id, saltN, 4 zero bytes, image).

The scan mirrors replay: frames are verified with the salts of the log's own
header, it stops at the first torn or mismatching frame, and only whole calls
(up to the last frame whose tag has bit 0 set) count as pending changes. Replay
also stops before a frame for page 0 that holds no database header, and before
a page id beyond the file's pages plus one page per frame.
"""

from __future__ import annotations

import os
import struct
import zlib
from dataclasses import dataclass, field

from ._database_file import open_regular
from ._format import MAGIC, PAGE_SIZE
from ._v2_format import V2_MAGIC

WAL_MAGIC = 0x377F0683
WAL_VERSION = 1
WAL_HEADER_SIZE = 32
FRAME_HEADER_SIZE = 28
FRAME_SIZE = FRAME_HEADER_SIZE + PAGE_SIZE
FRAME_TAG_COMMIT = 1


@dataclass
class LogScan:
    path: str
    size: int
    problems: list[str] = field(default_factory=list)  # header faults: replay refuses the log
    warnings: list[str] = field(default_factory=list)
    # verified frames: (page id, tag, image)
    frames: list[tuple[int, int, bytes]] = field(default_factory=list)


@dataclass(frozen=True)
class Pending:
    """The frames the next open applies, and why it would stop early."""

    frames: list[tuple[int, bytes]]  # (page id, image), whole calls only, in log order
    calls: int
    refused: str | None  # the frame replay refuses to apply, if any


def pending(scan: LogScan, db_size: int) -> Pending:
    limit = -(-db_size // PAGE_SIZE) + len(scan.frames)
    whole, calls, refused = 0, 0, None
    for i, (page_id, tag, image) in enumerate(scan.frames):
        if page_id == 0 and image[:16] not in (MAGIC, V2_MAGIC):
            refused = "a frame for page 0 holds no database header"
            break
        if page_id > limit:
            refused = f"a frame for page {page_id} lies far beyond the end of the file"
            break
        if tag & FRAME_TAG_COMMIT:
            whole, calls = i + 1, calls + 1
    return Pending([(p, img) for p, _t, img in scan.frames[:whole]], calls, refused)


def log_path_for(db_path: str) -> str:
    """The log path the engine derives: the resolved database path + "-wal"."""
    return os.path.realpath(db_path) + "-wal"


def frame_checksum(page_id: int, salt: int, image: bytes) -> int:
    return zlib.crc32(image, zlib.crc32(struct.pack("<II4x", page_id, salt)))


def scan_log(path: str) -> LogScan | None:
    """None when there is no log file. Reads at most the header and whole frames."""
    try:
        f = open_regular(path)
    except FileNotFoundError:
        return None
    except OSError as err:
        scan = LogScan(path, 0)
        scan.problems.append(f"cannot be read: {err.strerror or err}")
        return scan
    with f:
        return _scan(f, path, os.fstat(f.fileno()).st_size)


def _scan(f, path: str, size: int) -> LogScan:
    scan = LogScan(path, size)
    if size == 0:
        return scan  # the next open writes a fresh header into it
    head = f.read(WAL_HEADER_SIZE)
    if len(head) < WAL_HEADER_SIZE:
        scan.problems.append(
            f"{len(head)} bytes, shorter than the 32-byte log header (the database will not open)"
        )
        return scan
    magic, version, page_size, _seq, salt1, salt2, crc = struct.unpack_from("<7I", head)
    if magic != WAL_MAGIC:
        scan.problems.append(f"invalid magic 0x{magic:08X}")
        return scan
    if version != WAL_VERSION:
        scan.problems.append(f"unsupported version {version}")
        return scan
    if crc != zlib.crc32(head[:24]):
        scan.warnings.append("header checksum does not match")
    if page_size != PAGE_SIZE:
        scan.warnings.append(f"header page_size is {page_size}, not {PAGE_SIZE}")
    at = WAL_HEADER_SIZE
    while at + FRAME_SIZE <= size:
        frame = f.read(FRAME_SIZE)
        if len(frame) < FRAME_SIZE:
            break
        page_id, tag, sum1, sum2 = struct.unpack_from("<IQ8xII", frame)
        image = frame[FRAME_HEADER_SIZE:]
        if frame_checksum(page_id, salt1, image) != sum1:
            break
        if frame_checksum(page_id, salt2, image) != sum2:
            break
        scan.frames.append((page_id, tag, image))
        at += FRAME_SIZE
    return scan
