"""What the Python benchmarks share: recall against ground truth, and a
timed call."""

import time

import numpy as np


def recall(found, truth):
    """Mean share of each row's true neighbours that `found` holds."""
    return float(np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)]))


def timed(call):
    """(seconds, value) of one call."""
    start = time.perf_counter()
    value = call()
    return time.perf_counter() - start, value


def faiss_flat_saved(data, path):
    """(seconds, index): faiss's exact index of `data` built and written to
    `path`, the peer of a Flat collection's load + close."""
    import faiss
    start = time.perf_counter()
    index = faiss.IndexFlatL2(data.shape[1])
    index.add(data)
    faiss.write_index(index, path)
    return time.perf_counter() - start, index
