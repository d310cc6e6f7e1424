"""Result values, ids and engine errors as they cross into Python (metrics,
page limits and NaN ordering are engine tests)."""

import math
import struct
import sys

import pytest


def f32(x):
    """x rounded to the nearest 32-bit float, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def test_search_results_are_new_lists_of_two_key_dicts(docs):
    for i in range(12):
        docs.insert([float(i), 0, 0], f"v{i:02}")
    first = docs.search([0, 0, 0])
    assert [hit["id"] for hit in first] == [f"v{i:02}" for i in range(10)]  # 10 by default
    assert first[1] == {"id": "v01", "score": 1.0} and list(first[1]) == ["id", "score"]
    assert all(type(hit["score"]) is float and type(hit["id"]) is str for hit in first)
    second = docs.search([0, 0, 0], None)
    assert second == first and second is not first and second[0] is not first[0]
    assert docs.search([0, 0, 0], 0) == []
    assert [hit["id"] for hit in docs.search([11, 0, 0], 2)] == ["v11", "v10"]
    assert len(docs.search([0, 0, 0], 100)) == 12


@pytest.mark.parametrize(
    "component, stored",
    [
        (1 + 2**-24, 1.0),  # halfway: ties to even
        (1 + 2**-24 + 2**-50, 1 + 2**-23),
        (3.4028235e38, f32(3.4028235e38)),
        (2**128 - 2**103 - 2**76, 3.4028234663852886e38),  # above FLT_MAX, below halfway
        (2**128 - 2**103, math.inf),  # halfway to 2**128 rounds to infinity
        (-1e300, -math.inf),
        (1e-50, 0.0),
        (True, 1.0),
    ],
)
def test_components_round_to_nearest_float32(db, component, stored):
    collection = db.create_collection("d", 2, "dot")
    collection.insert([component, 0], "x")
    [hit] = collection.search([1, 0])
    assert hit["score"] == -stored


def test_ids_in_and_out(db, docs):
    assert docs.insert([1, 2, 3], "a") == "a"
    assert docs.insert([1, 2, 3], None) != docs.insert([1, 2, 3])
    generated = docs.insert([1, 2, 3])
    assert generated.startswith("doc_") and generated[4:].isdigit()
    assert docs.insert([0, 0, 0], "") == ""
    assert docs.insert([0, 0, 0], "a\x00b") == "a\x00b"
    assert {hit["id"] for hit in docs.search([0, 0, 0], 2)} == {"", "a\x00b"}
    assert len(docs) == 6
    assert docs.delete("a") is None and docs.delete("never there") is None
    assert len(docs) == 5
    handle = db.create_collection("a\x00b", 2)  # names are not cut at NUL either
    assert handle.name == "a\x00b" and db.get_collection("a\x00b").dimension == 2


@pytest.mark.parametrize("call, text", [
    (lambda db, docs: docs.insert([1, 2]), "Dimension mismatch: expected 3, got 2"),
    (lambda db, docs: db.get_collection("a\x00b"), "Collection not found: a\x00b"),
])
def test_engine_errors_become_runtime_errors_with_their_text(db, docs, call, text):
    with pytest.raises(RuntimeError) as info:
        call(db, docs)
    assert type(info.value) is RuntimeError and info.value.args == (text,)
    assert len(docs) == 0


def test_calls_leave_reference_counts_unchanged(db, docs):
    vector = [1.0, 2.0, 3.0]
    component = vector[0]
    as_bytes = b"\x01\x02\x03"
    view = memoryview(bytearray(struct.pack("<3d", 1, 2, 3))).cast("d")
    ident = "id-under-test"
    top_k = 12345
    watched = (vector, component, as_bytes, view, ident, top_k, db, docs, type(db), type(docs))

    def exercise():
        for _ in range(5):  # each insert and delete appends a record to the page
            docs.insert(vector, ident)
            docs.insert(as_bytes, ident)
            docs.insert(view, id=ident)
            docs.search(vector, top_k)
            docs.search(view)
            len(docs), repr(docs), docs.name, docs.dimension
            db.get_collection("docs")
            db.list_collections()
            for bad in (lambda: docs.insert(vector, 5), lambda: docs.search([component, "x", 3]),
                        lambda: docs.search(vector, -1), lambda: docs.insert(vector[:2], ident),
                        lambda: docs.delete(ident, ident), lambda: docs.search(vector, k=ident)):
                try:
                    bad()
                except (TypeError, OverflowError, RuntimeError):
                    pass
            docs.delete(ident)

    exercise()  # first calls may cache things for good
    before = [sys.getrefcount(obj) for obj in watched]
    exercise()
    assert [sys.getrefcount(obj) for obj in watched] == before
