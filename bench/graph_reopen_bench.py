"""Reopening an HNSW collection, whose graph comes back from its snapshot,
beside hnswlib's load_index, on the same data in one run.

    PYTHONPATH=build/ci/python /usr/bin/python3 bench/graph_reopen_bench.py [--count N] [--dim D]

Cases:
  reopen        connect() and the first count of a closed file vs hnswlib load_index
                (ratio = peer time / orvane time: above 1 means orvane is faster)
  reopen, kill  the files a killed process left after 1 % of the vectors were replaced
                (repaired by generation) vs the same load_index
  size          the database file after the load vs hnswlib's saved index
                (ratio = ours / theirs)
  close         close() after the load: HNSW (writes the graph image) vs Flat on the
                same data (no graph: the same checkpoint, nothing more)
Recall@10 at ef 64 after the reopen, against exact results, is printed for both.
Data: clustered Gaussian vectors, fixed seed; M 16, ef_construction 100 for both.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile

import numpy as np

import orvane
from measure import recall, timed


def clustered(n, dim, rng, centres=64):
    c = rng.standard_normal((centres, dim), dtype=np.float32) * 4
    return c[rng.integers(0, centres, n)] + rng.standard_normal((n, dim), dtype=np.float32)


def exact_top(data, queries, k):
    norms = (data * data).sum(1)
    return np.vstack([np.argsort(norms[None, :] - 2 * q @ data.T, axis=1)[:, :k]
                      for q in np.array_split(queries, max(1, len(queries) // 128))])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    args = parser.parse_args()
    import hnswlib

    rng = np.random.default_rng(7)
    data = clustered(args.count, args.dim, rng)
    queries = clustered(1000, args.dim, rng)
    truth = exact_top(data, queries, 10)
    ids = [str(i) for i in range(args.count)]
    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        peer_path = os.path.join(scratch, "peer.bin")
        peer = hnswlib.Index(space="l2", dim=args.dim)
        peer.init_index(max_elements=args.count, M=16, ef_construction=100)
        t_peer_add, _ = timed(lambda: peer.add_items(data, np.arange(args.count)))
        peer.save_index(peer_path)
        del peer

        closes, sizes = {}, {}
        for kind in ("flat", "hnsw"):
            path = os.path.join(scratch, f"{kind}.db")
            db = orvane.connect(path)
            col = db.create_collection("c", args.dim, "euclidean", index=kind, m=16,
                                       ef_construction=100, ef_search=64)
            t_add, _ = timed(lambda: col.add(data, ids=ids))
            closes[kind], _ = timed(db.close)
            sizes[kind] = os.path.getsize(path)
        print(f"build: orvane add {t_add:.1f}s, hnswlib add_items {t_peer_add:.1f}s")
        path = os.path.join(scratch, "hnsw.db")

        def reopen(p):
            d = orvane.connect(p)
            len(d.get_collection("c"))
            return d

        t_ours, db = timed(lambda: reopen(path))
        t_peer, peer = timed(lambda: load(hnswlib, peer_path, args.dim, args.count))
        rows.append((f"reopen {args.count:,}x{args.dim} HNSW", t_ours, t_peer, t_peer / t_ours))
        col = db.get_collection("c")
        found = np.array([[int(i) for i in row] for row in col.search(queries, k=10, ef=64).ids])
        peer.set_ef(64)
        print(f"recall@10 after reopen: orvane {recall(found, truth):.3f}, "
              f"hnswlib {recall(peer.knn_query(queries, k=10)[0], truth):.3f}")

        changed = rng.choice(args.count, args.count // 100, replace=False)
        col.upsert(data[changed] + 0.01, ids=[ids[i] for i in changed])
        killed = os.path.join(scratch, "killed.db")
        shutil.copyfile(path, killed)
        if os.path.exists(path + "-wal"):
            shutil.copyfile(path + "-wal", killed + "-wal")
        t_kill, db2 = timed(lambda: reopen(killed))
        rows.append(("reopen after a kill, 1 % replaced", t_kill, t_peer, t_peer / t_kill))
        db2.close()
        db.close()

        ours, theirs = sizes["hnsw"], os.path.getsize(peer_path)
        rows.append(("file size (MB; ratio ours / theirs)", ours / 1e6, theirs / 1e6,
                     ours / theirs))
        rows.append(("close after the load: HNSW vs Flat", closes["hnsw"], closes["flat"],
                     closes["hnsw"] / closes["flat"]))
    print(f"{'case':<44} {'orvane':>10} {'peer':>10} {'ratio':>7}")
    for name, a, b, ratio in rows:
        print(f"{name:<44} {a:>10.3f} {b:>10.3f} {ratio:>6.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


def load(hnswlib, path, dim, count):
    index = hnswlib.Index(space="l2", dim=dim)
    index.load_index(path, max_elements=count)
    return index


if __name__ == "__main__":
    main()
