"""Format 2 at scale beside hnswlib and faiss, on the same data in one run.

    PYTHONPATH=build/python /usr/bin/python3 bench/scale_bench.py hnsw [--n N] [--dim D]
    PYTHONPATH=build/python /usr/bin/python3 bench/scale_bench.py wide [--n N] [--dim D]

hnsw  N x D (default 1,000,000 x 128), M 16, ef_construction 200, one
      thread on both sides: build (add in calls of 10,000 vectors, then
      close) against hnswlib add_items + save_index; reopen (connect + first
      count, fresh process) against load_index; recall@10 at ef 64 against
      exact results and single-query QPS, for both.
wide  N x D (default 100,000 x 1536), Flat and HNSW: load + close, reopen,
      recall@10 and QPS; the Flat side beside faiss IndexFlatL2, the HNSW
      side beside hnswlib.

Data: clustered Gaussian vectors, fixed seed; 1,000 queries from the same
distribution. Ratios are orvane / peer for times (below 1: orvane faster)
and orvane / peer for QPS (above 1: orvane faster).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from measure import faiss_flat_saved, recall

REOPEN = """
import sys, time
t = time.perf_counter()
kind, path, dim, n = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
if kind == "orvane":
    import orvane
    db = orvane.connect(path)
    count = len(db.get_collection("c"))
elif kind == "hnswlib":
    import hnswlib
    index = hnswlib.Index(space="l2", dim=dim)
    index.load_index(path, max_elements=n)
    count = index.get_current_count()
else:
    import faiss
    count = faiss.read_index(path).ntotal
print(time.perf_counter() - t, count)
"""
IMPORTS = {"orvane": "import orvane, orvane._core\n", "hnswlib": "import hnswlib\n",
           "faiss": "import faiss\n"}


def reopen(kind, path, dim, n):
    out = subprocess.run([sys.executable, "-c", IMPORTS[kind] + REOPEN, kind, path, str(dim),
                          str(n)], check=True, stdout=subprocess.PIPE, text=True).stdout.split()
    assert int(out[1]) == n, out
    return float(out[0])


def clustered(n, dim, rng, centres=256):
    c = rng.standard_normal((centres, dim), dtype=np.float32) * 2
    return c[rng.integers(0, centres, n)] + rng.standard_normal((n, dim), dtype=np.float32)


def exact_top(data, queries, k):
    norms = (data * data).sum(1)
    out = []
    for block in np.array_split(queries, max(1, len(queries) // 64)):
        d = norms[None, :] - 2 * block @ data.T
        part = np.argpartition(d, k, axis=1)[:, :k]
        order = np.take_along_axis(d, part, 1).argsort(1)
        out.append(np.take_along_axis(part, order, 1))
    return np.vstack(out)


def qps(search, queries):
    start = time.perf_counter()
    found = [search(q) for q in queries]
    return len(queries) / (time.perf_counter() - start), found


def line(what, ours, theirs, peer, unit="s", higher_is_better=False):
    ratio = ours / theirs
    print(f"  {what:<22} {ours:10.3f} {unit:<4} {peer:<24} {theirs:10.3f} {unit:<4} ratio {ratio:.2f}"
          + ("  (above 1: orvane faster)" if higher_is_better else ""))


def orvane_side(work, data, queries, truth, index, **options):
    import orvane
    path = os.path.join(work, f"{index}.db")
    n, dim = data.shape
    ids = [str(i) for i in range(n)]
    start = time.perf_counter()
    db = orvane.connect(path)
    col = db.create_collection("c", dim, metric="euclidean", index=index, **options)
    for s in range(0, n, 10_000):
        col.add(data[s:s + 10_000], ids=ids[s:s + 10_000])
    db.close()
    load = time.perf_counter() - start
    open_s = min(reopen("orvane", path, dim, n) for _ in range(3))
    db = orvane.connect(path)
    col = db.get_collection("c")
    rate, found = qps(lambda q: col.search(q, 10, ef=64, threads=1).ids, queries)
    rec = recall([[int(i) for i in f] for f in found], truth)
    size = os.path.getsize(path)
    db.close()
    return load, open_s, rate, rec, size


def hnswlib_side(work, data, queries, truth):
    import hnswlib
    n, dim = data.shape
    path = os.path.join(work, "hnswlib.bin")
    start = time.perf_counter()
    index = hnswlib.Index(space="l2", dim=dim)
    index.init_index(max_elements=n, M=16, ef_construction=200, random_seed=1)
    index.add_items(data, np.arange(n), num_threads=1)
    index.save_index(path)
    build = time.perf_counter() - start
    open_s = min(reopen("hnswlib", path, dim, n) for _ in range(3))
    index.set_ef(64)
    index.set_num_threads(1)
    rate, found = qps(lambda q: index.knn_query(q, k=10)[0][0], queries)
    return build, open_s, rate, recall(found, truth), os.path.getsize(path)


def faiss_side(work, data, queries, truth):
    import faiss
    n, dim = data.shape
    path = os.path.join(work, "flat.faiss")
    load, index = faiss_flat_saved(data, path)
    open_s = min(reopen("faiss", path, dim, n) for _ in range(3))
    faiss.omp_set_num_threads(1)
    rate, found = qps(lambda q: index.search(q[None, :], 10)[1][0], queries)
    return load, open_s, rate, recall(found, truth), os.path.getsize(path)


def report(name, ours, theirs, peer):
    print(name)
    line("load/build + close", ours[0], theirs[0], peer)
    line("reopen", ours[1], theirs[1], peer)
    line("QPS (1 thread)", ours[2], theirs[2], peer, "q/s", higher_is_better=True)
    print(f"  recall@10 at ef 64      orvane {ours[3]:.4f}   {peer} {theirs[3]:.4f}"
          f"   difference {ours[3] - theirs[3]:+.4f}")
    print(f"  file                    orvane {ours[4] / 1e6:.1f} MB   {peer} {theirs[4] / 1e6:.1f} MB"
          f"   ratio {ours[4] / theirs[4]:.3f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case", choices=["hnsw", "wide"])
    ap.add_argument("--n", type=int)
    ap.add_argument("--dim", type=int)
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--indexes", default="hnsw,flat", help="wide: which sides to run")
    args = ap.parse_args()
    n = args.n or (1_000_000 if args.case == "hnsw" else 100_000)
    dim = args.dim or (128 if args.case == "hnsw" else 1536)
    rng = np.random.default_rng(11)
    data = clustered(n + args.queries, dim, rng)
    data, queries = np.ascontiguousarray(data[:n]), np.ascontiguousarray(data[n:])
    truth = exact_top(data, queries, 10)
    work = tempfile.mkdtemp(dir=os.environ.get("TMPDIR"))
    print(f"{args.case}: {n} x {dim}, {args.queries} queries")
    try:
        if args.case == "hnsw" or "hnsw" in args.indexes:
            hnsw = orvane_side(work, data, queries, truth, "hnsw", m=16, ef_construction=200)
            report("HNSW (M 16, ef_construction 200)", hnsw,
                   hnswlib_side(work, data, queries, truth), "hnswlib")
        if args.case == "wide" and "flat" in args.indexes:
            flat = orvane_side(work, data, queries, truth, "flat")
            report("Flat", flat, faiss_side(work, data, queries, truth), "faiss")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
