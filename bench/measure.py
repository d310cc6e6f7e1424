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
