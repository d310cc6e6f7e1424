"""orvane quickstart: create a database, insert, search, reopen.

Run after `scripts/setup` (or `python3 -m pip install .`):

    python3 examples/quickstart.py
"""

import os
import tempfile

from orvane import Kestrum


def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "quickstart.db")

        # Create a database file and a collection of 3-dimensional vectors.
        db = Kestrum(path)
        docs = db.create_collection("docs", 3, "euclidean")
        docs.insert([0.0, 0.0, 1.0], "north")
        docs.insert([1.0, 0.0, 0.0], "east")
        docs.insert([0.7, 0.0, 0.7], "north-east")
        generated = docs.insert([0.0, 1.0, 0.0])  # no id given: one is generated
        print(f"inserted 4 vectors into {docs!r}; the last got the id {generated!r}")

        # Nearest first; scores are distances, so smaller is closer.
        for hit in docs.search([0.9, 0.0, 0.4], top_k=2):
            print(f"  {hit['id']:<12} {hit['score']:.4f}")

        # close() writes everything to the file; releasing the objects does too.
        db.close()
        del db, docs

        # Reopen the same file: the collection and its vectors are back.
        reopened = Kestrum(path)
        docs = reopened.get_collection("docs")
        print(f"reopened {reopened.list_collections()}: {len(docs)} vectors")
        for hit in docs.search([0.9, 0.0, 0.4], top_k=2):
            print(f"  {hit['id']:<12} {hit['score']:.4f}")
        # The database is released with its last object, before the
        # temporary directory goes away.
        del reopened, docs


if __name__ == "__main__":
    main()
