"""Index 100,000 vectors with metadata, then run filtered searches.

    python3 examples/filtered_search.py [--count N] [--dim D] [--path FILE]

Shows a progress bar while adding (tqdm's when it is installed), then
searches a batch of queries with and without a metadata filter and checks
every filtered hit against its filter.
"""

import argparse
import os
import tempfile
import time

import numpy as np

import orvane

GENRES = ["news", "sport", "science", "culture", "travel"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--path", help="database file (a temporary one when omitted)")
    args = parser.parse_args()

    rng = np.random.default_rng(42)
    vectors = rng.standard_normal((args.count, args.dim), dtype=np.float32)
    metadata = [{"genre": GENRES[i % len(GENRES)], "year": 2000 + i % 25, "rank": i}
                for i in range(args.count)]
    ids = [f"doc-{i}" for i in range(args.count)]

    with tempfile.TemporaryDirectory() as scratch:
        path = args.path or os.path.join(scratch, "corpus.db")
        with orvane.connect(path, synchronous="off") as db:
            docs = db.get_or_create_collection("docs", args.dim, "cosine", m=16,
                                               ef_construction=100)
            start = time.perf_counter()
            docs.upsert(vectors, ids=ids, metadata=metadata, progress=True)
            print(f"indexed {len(docs):,} vectors in {time.perf_counter() - start:.1f} s")

            queries = vectors[:1000] + 0.1 * rng.standard_normal((1000, args.dim),
                                                                 dtype=np.float32)
            for name, where in [("no filter", None),
                                ("genre = science", {"genre": "science"}),
                                ("sport or news since 2020",
                                 {"$and": [{"genre": {"$in": ["sport", "news"]}},
                                           {"year": {"$gte": 2020}}]})]:
                start = time.perf_counter()
                found = docs.search(queries, k=10, filter=where, include_metadata=True)
                rate = len(queries) / (time.perf_counter() - start)
                hits = [m for row in found.metadata for m in row if m is not None]
                if where is not None:
                    assert all(orvane_match(m, where) for m in hits)
                print(f"{name:<26} {rate:>8,.0f} queries/s, {found.counts.mean():.1f} hits/query")

            best = docs.search(queries[0], k=3, filter={"genre": "science"},
                               include_metadata=True)
            for hit in best:
                print(f"  {hit.id:<12} {hit.score:.4f} {hit.metadata}")


def orvane_match(meta, where):
    """The two filters above, checked in Python."""
    if "genre" in where and not isinstance(where["genre"], dict):
        return meta["genre"] == where["genre"]
    genres, since = where["$and"][0]["genre"]["$in"], where["$and"][1]["year"]["$gte"]
    return meta["genre"] in genres and meta["year"] >= since


if __name__ == "__main__":
    main()
