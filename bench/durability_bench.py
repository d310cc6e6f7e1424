"""The cost of durability: per-call time of orvane's mutating calls next to
Python's own sqlite3 doing the same work the way a user would.

Every orvane call returns only after the pages it changed are in the
write-ahead log, so it survives a killed process. sqlite3 is set up to give
the same promise: autocommit (one transaction per statement),
journal_mode=WAL, synchronous=NORMAL, one `INSERT OR REPLACE` of the vector
as a 32-bit float BLOB per call, one `DELETE` per call. Both start from a
Python list of floats, so sqlite3's timing includes packing the BLOB.

Rows, for dimension 8 and 128:
  insert (new id)      a new id into a collection / table
  insert (replace)     an existing id with a new vector
  delete               an existing id

A collection keeps its records on one 4096-byte page (3056 bytes of records,
every replacement and every deletion marker appends one), so a page holds
few calls: at dimension 128 five vectors of 534 bytes. Whenever the next
timed call would not fit, a fresh collection is created (a fresh database
file once its catalog is full) and filled as the row needs, all outside the
timed region. sqlite3 works on one table per dimension, which grows as it
would for a user; its deletes and replacements hit rows inserted beforehand,
also untimed. Each call is timed alone; orvane and sqlite3 alternate in small
batches so that load on the machine hits both alike. Reported: the median
(and the mean, which includes the occasional checkpoint of either log) per
call, and the ratio orvane / sqlite3 of the medians (below 1: orvane faster).

Durability levels (power loss): a durable insert (new id, dimension 128)
at orvane's `normal` next to sqlite3 WAL + synchronous=NORMAL, and at `full`
next to WAL + synchronous=FULL. Format 2 goes through the Python API a user
calls, `orvane.connect(path, synchronous=...)` and one `add` per call into a
Flat collection (sqlite3 has no vector index either). `Kestrum` always runs
at `normal`, so the classic rows reach the levels through
bench/durability_shim.cc (built with the benchmarks, found beside the orvane
package's build folder or at ORVANE_DURABILITY_SHIM), called with ctypes;
the list is packed into a float32 array inside the timed call, as sqlite3's
BLOB is (a ctypes array built element by element would cost 9 us on its
own, which no user pays). Each row keeps appending to one file, so both
logs reach the steady state in which they are reused from their start.

close(): a format-2 database of 100,000 x 128 float32 in a Flat collection,
added in calls of 10,000, closed at `normal` (barriers: the log and the
database file are synchronised before the log is deleted) and at `off`
(none); the medians of alternating runs, each on a fresh file, after
os.sync() so that neither waits for the other's writeback.

The machine's load average is printed before and after.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/durability_bench.py [--calls N]
"""

import argparse
import array
import ctypes
import gc
import os
import random
import sqlite3
import statistics
import tempfile
import time
from pathlib import Path

import orvane
from orvane import Kestrum

PAGE_ROOM = 3056
RECORD_FIXED = 16  # id length, internal id and component count
MARKER_FIXED = 4
BATCH = 25
COLLECTIONS_PER_FILE = 16  # well below what the catalog page holds


def vector_record(id_len, dim):
    return RECORD_FIXED + id_len + 4 * dim


class OrvaneSide:
    """Hands out collections with room for the next timed call."""

    def __init__(self, workdir, dim, kind):
        self.workdir, self.dim, self.kind = workdir, dim, kind
        self.files = 0
        self.db = None
        self.collections = 0
        self.col = None
        self.used = PAGE_ROOM + 1

    def fresh_collection(self):
        if self.db is None or self.collections == COLLECTIONS_PER_FILE:
            self.col = self.db = None
            gc.collect()
            self.files += 1
            name = f"orvane-{self.kind}-{self.dim}-{self.files}.db"
            self.db = Kestrum(os.path.join(self.workdir, name))
            self.collections = 0
        self.collections += 1
        self.col = self.db.create_collection(f"c{self.collections}", self.dim, "euclidean")
        self.used = 0
        return self.col

    def room_for(self, length):
        if self.used + length > PAGE_ROOM:
            self.fresh_collection()
        self.used += length
        return self.col

    def close(self):
        self.col = self.db = None
        gc.collect()


def open_sqlite(workdir, dim):
    con = sqlite3.connect(os.path.join(workdir, f"sqlite-{dim}.db"), isolation_level=None)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=NORMAL")
    con.execute("CREATE TABLE vectors (id TEXT PRIMARY KEY, vec BLOB NOT NULL)")
    return con


def timed(call, *args):
    start = time.perf_counter_ns()
    call(*args)
    return time.perf_counter_ns() - start


def sqlite_upsert(con, ident, vector):
    con.execute("INSERT OR REPLACE INTO vectors (id, vec) VALUES (?, ?)",
                (ident, array.array("f", vector).tobytes()))


def sqlite_delete(con, ident):
    con.execute("DELETE FROM vectors WHERE id = ?", (ident,))


class Row:
    def __init__(self, name, dim):
        self.name, self.dim = name, dim
        self.orvane, self.sqlite = [], []


def measure(dim, calls, workdir, vectors):
    """Times `calls` calls of each kind on each side; returns three Rows."""
    sides = [OrvaneSide(workdir, dim, kind) for kind in ("new", "replace", "delete")]
    con = open_sqlite(workdir, dim)
    rows = [Row(n, dim) for n in ("insert (new id)", "insert (replace)", "delete")]
    new, replace, delete = rows
    ins, rep, dele = sides
    record = vector_record(7, dim)  # every id below is 7 bytes
    marker = MARKER_FIXED + 7
    vec = lambda i: vectors[i % len(vectors)]  # noqa: E731

    for start in range(0, calls, BATCH):
        batch = range(start, min(start + BATCH, calls))
        for i in batch:
            col = ins.room_for(record)
            new.orvane.append(timed(col.insert, vec(i), f"n{i:06d}"))
        for i in batch:
            new.sqlite.append(timed(sqlite_upsert, con, f"n{i:06d}", vec(i)))

        for i in batch:
            if rep.used + record > PAGE_ROOM:  # a fresh page holding the id to replace
                rep.fresh_collection().insert(vec(i), "replace")
                rep.used = record
            col = rep.room_for(record)
            replace.orvane.append(timed(col.insert, vec(i + 1), "replace"))
        for i in batch:  # the ids of the new-id rows above
            replace.sqlite.append(timed(sqlite_upsert, con, f"n{i:06d}", vec(i + 1)))

        for i in batch:
            col = dele.room_for(record + marker)
            col.insert(vec(i), f"d{i:06d}")
            delete.orvane.append(timed(col.delete, f"d{i:06d}"))
        for i in batch:
            sqlite_upsert(con, f"d{i:06d}", vec(i))
            delete.sqlite.append(timed(sqlite_delete, con, f"d{i:06d}"))
    for side in sides:
        side.close()
    con.close()
    return rows


SHIM_NAME = "liborvane_durability_shim.so"
LEVELS = {"normal": 1, "full": 2}


def load_shim():
    """The engine at a chosen level through ctypes, or None when not built."""
    path = os.environ.get("ORVANE_DURABILITY_SHIM")
    if not path:
        path = Path(orvane.__file__).resolve().parents[2] / "bench" / SHIM_NAME
    if not Path(path).exists():
        return None
    lib = ctypes.CDLL(str(path))
    lib.orvane_bench_open.restype = ctypes.c_void_p
    lib.orvane_bench_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    lib.orvane_bench_create.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64]
    lib.orvane_bench_insert.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                        ctypes.POINTER(ctypes.c_float), ctypes.c_uint64]
    lib.orvane_bench_release.argtypes = [ctypes.c_void_p]
    return lib


class LevelSide:
    """Classic orvane at one level: new ids into collections with room, as
    OrvaneSide. A classic file is full long before its log reaches a
    checkpoint, so every timed call appends to a growing log, whose
    synchronisation also writes the log's inode (its size changed); sqlite3's
    log is reused from its start after its first checkpoint (1,000 frames,
    about 500 calls) and then syncs data alone."""

    def __init__(self, lib, workdir, dim, level):
        self.lib, self.workdir, self.dim, self.level = lib, workdir, dim, level
        self.files = self.collections = 0
        self.handle = None
        self.used = PAGE_ROOM + 1
        self.name = b""

    def room_for(self, length):
        if self.used + length <= PAGE_ROOM:
            self.used += length
            return
        if self.handle is None or self.collections == COLLECTIONS_PER_FILE:
            self.release()
            self.files += 1
            path = os.path.join(self.workdir, f"level-{self.level}-{self.dim}-{self.files}.db")
            self.handle = self.lib.orvane_bench_open(path.encode(), LEVELS[self.level], 1)
            assert self.handle, path
            self.collections = 0
        self.collections += 1
        self.name = f"c{self.collections}".encode()
        assert self.lib.orvane_bench_create(self.handle, self.name, self.dim) == 0
        self.used = length

    def insert(self, ident, vector):
        values = (ctypes.c_float * self.dim).from_buffer(array.array("f", vector))
        if self.lib.orvane_bench_insert(self.handle, self.name, ident.encode(), values,
                                        self.dim) != 0:
            raise RuntimeError("insert failed")

    def release(self):
        if self.handle is not None:
            self.lib.orvane_bench_release(self.handle)
            self.handle = None


class ApiSide:
    """Format 2 at one level through the Python API: one Flat collection."""

    def __init__(self, workdir, dim, level):
        self.db = orvane.connect(os.path.join(workdir, f"api-{level}-{dim}.db"), synchronous=level)
        self.col = self.db.create_collection("vectors", dim, "euclidean", index="flat")

    def room_for(self, length):
        pass

    def insert(self, ident, vector):
        self.col.add([vector], [ident])

    def release(self):
        self.db.close()


def measure_levels(lib, dim, calls, workdir, vectors):
    """Durable inserts (new ids) per level beside sqlite3 at the matching setting."""
    rows = []
    formats = (1, 2) if lib is not None else (2,)
    for level, file_format in [(lv, f) for f in formats for lv in LEVELS]:
        if file_format == 1:
            side = LevelSide(lib, workdir, dim, level)
        else:
            side = ApiSide(workdir, dim, level)
        con = sqlite3.connect(os.path.join(workdir, f"sqlite-{level}-{file_format}-{dim}.db"),
                              isolation_level=None)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute(f"PRAGMA synchronous={level.upper()}")
        con.execute("CREATE TABLE vectors (id TEXT PRIMARY KEY, vec BLOB NOT NULL)")
        row = Row(f"{'classic' if file_format == 1 else 'format 2'} {level}", dim)
        record = vector_record(7, dim)
        for start in range(0, calls, BATCH):
            batch = range(start, min(start + BATCH, calls))
            for i in batch:
                side.room_for(record)
                row.orvane.append(timed(side.insert, f"n{i:06d}", vectors[i % len(vectors)]))
            for i in batch:
                row.sqlite.append(timed(sqlite_upsert, con, f"n{i:06d}",
                                        vectors[i % len(vectors)]))
        side.release()
        con.close()
        rows.append(row)
    return rows


def measure_close(workdir, reps, n=100_000, dim=128):
    """Median close() seconds per level, alternating runs on fresh files."""
    import numpy as np

    data = np.random.default_rng(7).random((n, dim), dtype=np.float32)
    ids = [f"id{i}" for i in range(n)]
    times = {"normal": [], "off": []}
    for rep in range(reps):
        for level in times:
            path = os.path.join(workdir, f"close-{level}-{rep}.db")
            db = orvane.connect(path, synchronous=level)
            col = db.create_collection("c", dim, "euclidean", index="flat")
            for start in range(0, n, 10_000):
                col.add(data[start:start + 10_000], ids[start:start + 10_000])
            os.sync()
            start = time.perf_counter()
            db.close()
            times[level].append(time.perf_counter() - start)
            os.remove(path)
    return {level: statistics.median(t) for level, t in times.items()}


def print_rows(rows):
    print(f"{'operation':<18} {'dim':>4} {'orvane med':>11} {'sqlite3 med':>12} "
          f"{'orvane mean':>12} {'sqlite3 mean':>13} {'ratio':>6}")
    for row in rows:
        om, sm = statistics.median(row.orvane) / 1e3, statistics.median(row.sqlite) / 1e3
        oa, sa = statistics.fmean(row.orvane) / 1e3, statistics.fmean(row.sqlite) / 1e3
        print(f"{row.name:<18} {row.dim:>4} {om:>11.2f} {sm:>12.2f} {oa:>12.2f} {sa:>13.2f} "
              f"{om / sm:>6.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=2000, help="timed calls per row and side")
    parser.add_argument("--level-calls", type=int, default=1500,
                        help="timed calls per durability level and side")
    parser.add_argument("--close-runs", type=int, default=9, help="close() runs per level")
    parser.add_argument("--dir", default=None, help="where the files go (default: a temp dir)")
    args = parser.parse_args()
    rng = random.Random(1)
    rows = []
    lib = load_shim()
    load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="orvane-durability-", dir=args.dir) as workdir:
        for dim in (8, 128):
            vectors = [[rng.uniform(-1, 1) for _ in range(dim)] for _ in range(64)]
            rows += measure(dim, args.calls, workdir, vectors)
        vectors = [[rng.uniform(-1, 1) for _ in range(128)] for _ in range(64)]
        level_rows = measure_levels(lib, 128, args.level_calls, workdir, vectors)
        closes = measure_close(workdir, args.close_runs)
    load_after = os.getloadavg()
    print(f"per-call time in microseconds, {args.calls} calls per row and side "
          f"(sqlite3 {sqlite3.sqlite_version}, WAL, synchronous=NORMAL, autocommit)")
    print_rows(rows)
    print()
    if lib is None:
        print(f"classic durability levels: {SHIM_NAME} not built "
              f"(configure with -DORVANE_BUILD_BENCH=ON)")
    print(f"durability levels, {args.level_calls} calls per row and side: orvane at normal "
          f"and full, sqlite3 WAL with synchronous=NORMAL and FULL")
    print_rows(level_rows)
    print()
    print(f"close() of 100,000 x 128 (format 2, Flat), median of {args.close_runs} runs: "
          f"normal {closes['normal'] * 1e3:.2f} ms, off {closes['off'] * 1e3:.2f} ms, "
          f"ratio {closes['normal'] / closes['off']:.2f}")
    print(f"load average (1, 5, 15 min): before {load_before[0]:.2f} {load_before[1]:.2f} "
          f"{load_before[2]:.2f}, after {load_after[0]:.2f} {load_after[1]:.2f} "
          f"{load_after[2]:.2f}; {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
