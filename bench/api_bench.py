"""orvane.connect() beside hnswlib and faiss, in one run on the same data.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/api_bench.py [--count N] [--dim D]

Cases (ratios are orvane's rate over the peer's, so above 1 means orvane is faster):
  add        N x D into HNSW (M 16, ef_construction 200) vs hnswlib add_items at 1 and 2
             threads (orvane's graph insertion runs on one thread)
  batch      10,000 queries at ef 64 vs hnswlib knn_query, same threads; recall@10 of both
  single     one query per call (median of per-call times) vs hnswlib knn_query
  flat       1,000 exact queries on a Flat collection vs faiss IndexFlatL2, 1 and 2
             threads (numpy when faiss is missing)
  filtered   a filter matching 10 % of the vectors: recall@10 and QPS against unfiltered
Data: clustered Gaussian vectors, fixed seed. Machine load is printed with the results.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile

import numpy as np

import orvane
from measure import recall, timed


def clustered(n, dim, rng, centres=64):
    c = rng.standard_normal((centres, dim), dtype=np.float32) * 4
    return (c[rng.integers(0, centres, n)] + rng.standard_normal((n, dim), dtype=np.float32))


def exact_top(data, queries, k, allowed=None):
    out = []
    norms = (data * data).sum(1)
    for start in range(0, len(queries), 256):
        q = queries[start:start + 256]
        d = norms[None, :] - 2 * q @ data.T
        if allowed is not None:
            d[:, ~allowed] = np.inf
        out.append(np.argsort(d, axis=1)[:, :k])
    return np.vstack(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=50_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--flat-count", type=int, default=100_000)
    args = parser.parse_args()
    rng = np.random.default_rng(11)
    data = clustered(args.count, args.dim, rng)
    queries = clustered(args.queries, args.dim, rng)
    truth = exact_top(data, queries[:1000], 10)
    rows = []
    print(f"load average before: {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    try:
        import hnswlib
    except ImportError:
        hnswlib = None
        print("hnswlib is not installed (Debian python3-hnswlib): no HNSW peer")
    with tempfile.TemporaryDirectory() as scratch:
        db = orvane.connect(os.path.join(scratch, "bench.db"), synchronous="off")
        col = db.create_collection("h", args.dim, "euclidean", m=16, ef_construction=200,
                                   ef_search=64)
        ids = [str(i) for i in range(args.count)]
        # The graph takes its nodes on one thread: one timing against each of
        # hnswlib's thread counts. The tags (for the filtered case) ride along.
        ours_add, _ = timed(lambda: col.add(data, ids=ids,
                                            metadata=[{"tag": i % 10} for i in range(args.count)]))
        unfiltered_1 = None
        for threads in (1, 2):
            if hnswlib is not None:
                peer = hnswlib.Index(space="l2", dim=args.dim)
                peer.init_index(max_elements=args.count, M=16, ef_construction=200)
                peer.set_num_threads(threads)
                theirs, _ = timed(lambda: peer.add_items(data, np.arange(args.count)))
                rows.append((f"add {args.count:,}x{args.dim} HNSW (peer {threads} thr)", ours_add,
                             theirs))
                peer.set_ef(64)
                t_peer, (labels, _) = timed(lambda: peer.knn_query(queries, k=10))
                r_peer = recall(labels[:1000], truth)
            t_ours, res = timed(lambda: col.search(queries, k=10, ef=64, threads=threads))
            found = np.array([[int(i) for i in row] for row in res.ids[:1000]])
            r_ours = recall(found, truth)
            print(f"batch {threads} thr: {len(queries) / t_ours:,.0f} QPS, recall@10 {r_ours:.3f}")
            if hnswlib is not None:
                rows.append((f"batch {len(queries):,} q ef 64, {threads} thr "
                             f"(recall {r_ours:.3f} vs {r_peer:.3f})", t_ours, t_peer))
            if threads == 1:
                unfiltered_1 = t_ours
                single = [timed(lambda q=q: col.search(q, k=10, ef=64))[0] for q in queries[:2000]]
                if hnswlib is not None:
                    theirs = [timed(lambda q=q: peer.knn_query(q, k=10))[0]
                              for q in queries[:2000]]
                    rows.append(("single query per call", statistics.median(single),
                                 statistics.median(theirs)))
        selected = np.arange(args.count) % 10 == 3
        t_f, res_f = timed(lambda: col.search(queries, k=10, ef=64, threads=1, filter={"tag": 3}))
        truth_f = exact_top(data, queries[:1000], 10, selected)
        found_f = [[int(i) for i in row if i is not None] for row in res_f.ids[:1000]]
        r_f = recall(found_f, truth_f)
        print(f"filtered (10 %), 1 thr: recall@10 {r_f:.3f}, QPS {len(queries) / t_f:,.0f} = "
              f"{unfiltered_1 / t_f:.2f} x unfiltered")
        flat_data = clustered(args.flat_count, args.dim, rng)
        flat = db.create_collection("flat", args.dim, "euclidean", index="flat")
        flat.add(flat_data)
        fq = queries[:1000]
        try:
            import faiss
            index = faiss.IndexFlatL2(args.dim)
            index.add(flat_data)
        except ImportError:
            faiss = None
        for threads in (1, 2):
            ours, _ = timed(lambda: flat.search(fq, k=10, threads=threads))
            if faiss is not None:
                faiss.omp_set_num_threads(threads)
                theirs, _ = timed(lambda: index.search(fq, 10))
                rows.append((f"flat {len(fq):,} q on {args.flat_count:,}, {threads} thr "
                             "(faiss IndexFlatL2)", ours, theirs))
                # Below 20 queries a call faiss uses its own kernels, not BLAS
                # (which may be the slow reference BLAS).
                theirs, _ = timed(lambda: [index.search(fq[i:i + 16], 10)
                                           for i in range(0, len(fq), 16)])
                rows.append(("  same, faiss in calls of 16 queries (no BLAS)", ours, theirs))
            else:
                theirs, _ = timed(lambda: exact_top(flat_data, fq, 10))
                rows.append((f"flat {len(fq):,} q on {args.flat_count:,}, {threads} thr (numpy)",
                             ours, theirs))
        one = [timed(lambda q=q: flat.search(q, k=10))[0] for q in fq[:50]]
        stream = timed(lambda: float(flat_data.sum()))[0]
        print(f"single exact query: {statistics.median(one) * 1e3:.2f} ms; one pass over the "
              f"vectors (numpy sum): {stream * 1e3:.2f} ms = "
              f"{stream / statistics.median(one):.0%} of the streaming rate")
        db.close()
    print(f"{'case':<58} {'orvane':>10} {'peer':>10} {'ratio':>6}")
    for name, ours, theirs in rows:
        print(f"{name:<58} {ours:>9.3f}s {theirs:>9.3f}s {theirs / ours:>5.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
