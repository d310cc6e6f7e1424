"""Per-call cost of orvane's Python methods next to hnswlib's, on the same vectors.

A collection holds at most floor(3056 / (16 + L + 4 * dim)) vectors (one data
page, ids of L bytes), so "full" is small: every round fills a fresh
collection to capacity one insert() at a time, then runs search() calls
against it. hnswlib gets the same vectors one add_items() / knn_query() call
at a time. Each call is timed on its own; the median over all rounds is
reported, per input type (Python lists, NumPy float32 rows).

Run with an interpreter that imports both packages, e.g. Debian's:

    PYTHONPATH=build/release/python /usr/bin/python3 bench/binding_bench.py
"""

import argparse
import gc
import os
import statistics
import tempfile
import time

import hnswlib
import numpy as np

from orvane import Kestrum

PAGE_ROOM = 3056  # usable bytes of a data page
RECORD_OVERHEAD = 16  # bytes per vector record besides the id and components


def capacity(dim, id_length):
    return PAGE_ROOM // (RECORD_OVERHEAD + id_length + 4 * dim)


def timed(call, *args, **kwargs):
    start = time.perf_counter_ns()
    call(*args, **kwargs)
    return time.perf_counter_ns() - start


def bench_orvane(rows, ids, queries, top_k, directory, as_lists):
    insert_ns, search_ns = [], []
    db_index = 0
    vectors = [row.tolist() for row in rows] if as_lists else list(rows)
    probes = [q.tolist() for q in queries] if as_lists else list(queries)
    per_round = len(ids)
    for start in range(0, len(vectors), per_round):
        db_index += 1
        db = Kestrum(os.path.join(directory, f"b{db_index}.db"))
        docs = db.create_collection("bench", rows.shape[1], "euclidean")
        for vector, vector_id in zip(vectors[start:start + per_round], ids):
            insert_ns.append(timed(docs.insert, vector, vector_id))
        for probe in probes:
            search_ns.append(timed(docs.search, probe, top_k))
        del docs, db
    return statistics.median(insert_ns), statistics.median(search_ns)


def bench_hnswlib(rows, ids, queries, top_k, as_lists):
    insert_ns, search_ns = [], []
    per_round = len(ids)
    vectors = [[row.tolist()] for row in rows] if as_lists else [row[None, :] for row in rows]
    probes = [[q.tolist()] for q in queries] if as_lists else [q[None, :] for q in queries]
    for start in range(0, len(vectors), per_round):
        index = hnswlib.Index(space="l2", dim=rows.shape[1])
        index.init_index(max_elements=per_round, ef_construction=100, M=16)
        index.set_num_threads(1)
        for label, vector in enumerate(vectors[start:start + per_round]):
            insert_ns.append(timed(index.add_items, vector, [label]))
        index.set_ef(max(top_k, 10))
        for probe in probes:
            search_ns.append(timed(index.knn_query, probe, k=min(top_k, per_round)))
    return statistics.median(insert_ns), statistics.median(search_ns)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dims", type=int, nargs="+", default=[4, 16, 64])
    parser.add_argument("--rounds", type=int, default=60, help="collections filled per case")
    parser.add_argument("--queries", type=int, default=50, help="searches per round")
    parser.add_argument("--top-k", type=int, default=10)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    print(f"{'dim':>4} {'cap':>4} {'input':>6} | {'insert ns':>10} {'add_items':>10} {'ratio':>6} |"
          f" {'search ns':>10} {'knn_query':>10} {'ratio':>6}")
    gc.disable()  # collections would land inside arbitrary timed calls
    try:
        for dim in args.dims:
            ids = [f"k{i:03}" for i in range(capacity(dim, 4))]
            rows = rng.standard_normal((len(ids) * args.rounds, dim), dtype=np.float32)
            queries = rng.standard_normal((args.queries, dim), dtype=np.float32)
            for as_lists in (True, False):
                with tempfile.TemporaryDirectory() as directory:
                    ours = bench_orvane(rows, ids, queries, args.top_k, directory, as_lists)
                theirs = bench_hnswlib(rows, ids, queries, args.top_k, as_lists)
                label = "list" if as_lists else "numpy"
                print(f"{dim:>4} {len(ids):>4} {label:>6} | {ours[0]:>10.0f} {theirs[0]:>10.0f}"
                      f" {ours[0] / theirs[0]:>5.2f}x | {ours[1]:>10.0f} {theirs[1]:>10.0f}"
                      f" {ours[1] / theirs[1]:>5.2f}x")
    finally:
        gc.enable()


if __name__ == "__main__":
    main()
