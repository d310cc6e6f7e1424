"""`convert SRC DST`: copies every collection of a database (either format)
into a new format-2 file through the engine's batch API: vectors, ids,
metadata, metric and index type with its parameters.

Format-2 metadata is a JSON object: a classic document that is another JSON
value is stored as {"value": document}. DST must not exist; a copy that
fails part way removes what it created, so DST is either complete or absent.
SRC is only read.
"""

from __future__ import annotations

import os
import sys
from typing import TextIO

from ._sources import Source, SourceCollection

# The metric spellings of orvane.connect's create_collection.
METRIC_ARGS = {"Cosine": "cosine", "Euclidean": "euclidean", "DotProduct": "dot"}


class ConvertError(Exception):
    """The copy was refused or failed; nothing is left at DST."""


class Progress:
    """One line per collection; on a terminal it counts up while it copies."""

    def __init__(self, stream: TextIO) -> None:
        self.stream, self.live = stream, stream.isatty()

    def update(self, c: SourceCollection, done: int, final: bool = False) -> None:
        text = f"{c.name!r}: {done:,} / {c.count:,} vectors ({c.index}, {c.metric})"
        if self.live:
            self.stream.write("\r" + text + ("\n" if final else ""))
        elif final:
            self.stream.write(text + "\n")
        self.stream.flush()


def convert(src: str, dst: str, progress: Progress) -> tuple[int, int]:
    """(collections, vectors) copied. Raises ConvertError, OSError."""
    if os.path.lexists(dst):
        raise ConvertError(f"{dst} exists; convert writes only a new file")
    try:
        from . import connect
    except ImportError:
        raise ConvertError("this build of orvane has no orvane.connect to write format 2") from None
    import numpy as np

    with Source(src) as source:
        db = connect(dst)
        try:
            vectors = sum(_copy(db, c, progress, np) for c in source.collections)
            db.close()
        except BaseException:
            try:
                db.close()
            except Exception:  # the copy failed already; its error is the one reported
                pass
            for path in (dst, dst + "-wal"):
                if os.path.lexists(path):
                    os.remove(path)
            raise
    return len(source.collections), vectors


def _copy(db, c: SourceCollection, progress: Progress, np) -> int:
    col = db.create_collection(c.name, c.dimension, metric=METRIC_ARGS[c.metric], index=c.index,
                               **c.params)
    done = 0
    for ids, data, metadata in c.batches():
        rows = np.frombuffer(data, dtype="<f4").reshape(len(ids), c.dimension)
        docs = [m if m is None or isinstance(m, dict) else {"value": m} for m in metadata]
        col.add(rows, ids=ids, metadata=docs if any(m is not None for m in docs) else None)
        done += len(ids)
        progress.update(c, done)
    progress.update(c, done, final=True)
    return done


def main(src: str, dst: str) -> int:
    try:
        collections, vectors = convert(src, dst, Progress(sys.stderr))
    except OSError as err:
        print(f"orvane: convert: {err.filename or src}: {err.strerror or err}", file=sys.stderr)
        return 2
    except Exception as err:  # SourceError, ConvertError, the engine's errors
        print(f"orvane: convert: {err}", file=sys.stderr)
        return 1
    print(f"converted {src} to {dst} (format 2): {collections} collections, {vectors} vectors")
    return 0
