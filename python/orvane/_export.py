"""python3 -m orvane export FILE COLLECTION DIR: a collection as files a bulk loader reads.

DIR/vectors.npy holds the vectors (float32, one row per vector) and
DIR/records.jsonl one line per row, in the same order: {"id": ..., "metadata": ...}.
"""

from __future__ import annotations

import json
import os

_CHUNK = 10_000


def export_collection(path: str, name: str, directory: str, progress: bool = False) -> int:
    """Writes the collection's files into `directory` (created if missing); returns the row count."""
    import numpy as np

    from ._api import connect
    from ._progress import progress_bar

    os.makedirs(directory, exist_ok=True)
    with connect(path) as db:
        col = db.get_collection(name)
        ids = db._engine().list_ids(name)
        vectors = np.lib.format.open_memmap(os.path.join(directory, "vectors.npy"), mode="w+",
                                            dtype=np.float32, shape=(len(ids), col.dimension))
        bar = progress_bar(len(ids), f"export {name}") if progress else None
        with open(os.path.join(directory, "records.jsonl"), "w", encoding="utf-8") as records:
            for start in range(0, len(ids), _CHUNK):
                got = col.get(ids[start:start + _CHUNK])
                vectors[start:start + len(got.ids)] = got.vectors
                for i, meta in zip(got.ids, got.metadata):
                    records.write(json.dumps({"id": i, "metadata": meta}, ensure_ascii=False))
                    records.write("\n")
                if bar is not None:
                    bar.update(len(got.ids))
        if bar is not None:
            bar.close()
        vectors.flush()
        del vectors
    return len(ids)
