"""Format 2 on disk, beside faiss in the same run: load, close and reopen of a
Flat collection, file size against the raw data, RSS after a reopen, and a
churning collection's file size.

  load + close   N x D float32 added in calls of 10,000 with ids and no
                 metadata, then close(); faiss: IndexFlatL2.add + write_index
  reopen         connect() + the first count, in a fresh process (the
                 collection's vectors are read into its index);
                 faiss: read_index, in a fresh process
  file size      against vector bytes + id bytes
  RSS            of the reopened database (the process's resident set less
                 that of an interpreter with orvane imported), against the
                 raw vector bytes
  churn          a collection of N/10 vectors: delete 10 % and add 10 %,
                 100 rounds; the file against its size after the first load

    PYTHONPATH=build/release/python /usr/bin/python3 bench/format2_bench.py [--n N] [--dim D]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from measure import faiss_flat_saved

REOPEN = """
import os, sys, time
t = time.perf_counter()
if sys.argv[1] == "orvane":
    import orvane
    db = orvane.connect(sys.argv[2])
    n = len(db.get_collection("c"))
else:
    import faiss
    n = faiss.read_index(sys.argv[2]).ntotal
elapsed = time.perf_counter() - t
rss = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmRSS"))
print(elapsed, rss, n)
"""


def reopen(kind, path, imports):
    """Seconds to open (imports excluded: they are timed apart) and peak RSS."""
    out = subprocess.run([sys.executable, "-c", imports + REOPEN, kind, path], check=True,
                         stdout=subprocess.PIPE, text=True).stdout.split()
    return float(out[0]), int(out[1])


def baseline_rss(imports):
    code = imports + ("print(next(int(l.split()[1]) * 1024 for l in open('/proc/self/status')"
                      " if l.startswith('VmRSS')))")
    return int(subprocess.run([sys.executable, "-c", code], check=True, stdout=subprocess.PIPE,
                              text=True).stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--synchronous", default="normal")
    args = ap.parse_args()
    n, dim = args.n, args.dim
    data = np.random.default_rng(7).random((n, dim), dtype=np.float32)
    ids = [f"id{i}" for i in range(n)]
    raw = data.nbytes + sum(len(i) for i in ids)
    work = tempfile.mkdtemp(dir=os.environ.get("TMPDIR"))
    try:
        run(n, dim, args.synchronous, data, ids, raw, work)
    finally:
        shutil.rmtree(work)


def run(n, dim, synchronous, data, ids, raw, work):
    import orvane

    path = os.path.join(work, "f2.db")

    t = time.perf_counter()
    db = orvane.connect(path, synchronous=synchronous)
    col = db.create_collection("c", dim, metric="euclidean", index="flat")
    for start in range(0, n, 10_000):
        col.add(data[start:start + 10_000], ids=ids[start:start + 10_000])
    db.close()
    del db, col
    ours_load = time.perf_counter() - t

    fpath = os.path.join(work, "flat.faiss")
    theirs_load, _ = faiss_flat_saved(data, fpath)

    # Alternating runs, medians: the page cache and the host's memory make
    # single reopens noisy.
    runs = [(reopen("orvane", path, "import orvane, orvane._core\n"),
             reopen("faiss", fpath, "import faiss\n")) for _ in range(5)]
    ours_open = statistics.median(o[0] for o, _ in runs)
    ours_rss = statistics.median(o[1] for o, _ in runs)
    theirs_open = statistics.median(t[0] for _, t in runs)
    base = baseline_rss("import orvane, orvane._core\n")  # _core brings numpy
    size = os.path.getsize(path)

    print(f"Flat {n} x {dim}, synchronous={synchronous}")
    print(f"  load + close  {ours_load:8.2f} s   faiss add + write_index {theirs_load:8.2f} s"
          f"   ratio {ours_load / theirs_load:.2f}")
    print(f"  reopen        {ours_open:8.3f} s   faiss read_index        {theirs_open:8.3f} s"
          f"   ratio {ours_open / theirs_open:.2f}")
    print(f"  file          {size / 1e6:8.1f} MB  raw vectors + ids {raw / 1e6:.1f} MB"
          f"   ratio {size / raw:.3f}")
    print(f"  RSS after reopen, over an interpreter with orvane imported: "
          f"{(ours_rss - base) / 1e6:.1f} MB   raw vectors {data.nbytes / 1e6:.1f} MB"
          f"   ratio {(ours_rss - base) / data.nbytes:.3f}")

    churn_path = os.path.join(work, "churn.db")
    m = max(n // 10, 1000)
    rng = np.random.default_rng(8)
    with orvane.connect(churn_path, synchronous="off") as db:
        col = db.create_collection("c", dim, metric="euclidean", index="flat")
        live = [f"c{i}" for i in range(m)]
        col.add(data[:m], ids=live)
    first = os.path.getsize(churn_path)
    with orvane.connect(churn_path, synchronous="off") as db:
        col = db.get_collection("c")
        step = m // 10
        next_id = m
        for _ in range(100):
            gone = set(rng.choice(len(live), step, replace=False).tolist())
            col.delete(ids=[live[i] for i in gone])
            live = [x for i, x in enumerate(live) if i not in gone]
            fresh = [f"c{next_id + i}" for i in range(step)]
            next_id += step
            col.add(rng.random((step, dim), dtype=np.float32), ids=fresh)
            live += fresh
    last = os.path.getsize(churn_path)
    print(f"  churn {m} vectors, 100 rounds of 10 % out and in: file {first / 1e6:.1f} MB"
          f" -> {last / 1e6:.1f} MB   ratio {last / first:.2f}")


if __name__ == "__main__":
    main()
