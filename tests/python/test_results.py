"""Result values and engine errors as seen from Python (metrics, page limits
and NaN ordering are engine tests)."""

import math
import struct
import sys

import pytest


def f32(x):
    """x rounded to the nearest 32-bit float, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def runtime_error(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert type(info.value) is RuntimeError
    assert len(info.value.args) == 1
    return info.value.args[0]


def test_search_results_are_new_lists_of_two_key_dicts(docs):
    docs.insert([0, 0, 0], "origin")
    docs.insert([3, 4, 0], "far")
    first = docs.search([0, 0, 0])
    assert first == [{"id": "origin", "score": 0.0}, {"id": "far", "score": 5.0}]
    assert [list(hit) for hit in first] == [["id", "score"], ["id", "score"]]
    assert all(type(hit["score"]) is float and type(hit["id"]) is str for hit in first)
    second = docs.search([0, 0, 0])
    assert second == first and second is not first and second[0] is not first[0]
    first[0]["id"] = "changed"
    assert docs.search([0, 0, 0])[0]["id"] == "origin"


def test_top_k(docs):
    for i in range(12):
        docs.insert([float(i), 0, 0], f"v{i:02}")
    assert [hit["id"] for hit in docs.search([0, 0, 0])] == [f"v{i:02}" for i in range(10)]
    assert len(docs.search([0, 0, 0], None)) == 10
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
        (math.inf, math.inf),
        (1e-50, 0.0),
        (True, 1.0),
    ],
)
def test_components_round_to_nearest_float32(db, component, stored):
    collection = db.create_collection("d", 2, "dot")
    collection.insert([component, 0], "x")
    [hit] = collection.search([1, 0])
    assert hit["score"] == -stored


def test_insert_returns_the_id_used(docs):
    assert docs.insert([1, 2, 3], "a") == "a"
    assert docs.insert([1, 2, 3], None) != docs.insert([1, 2, 3])
    generated = docs.insert([1, 2, 3])
    assert generated.startswith("doc_") and generated[4:].isdigit()
    assert docs.insert([4, 5, 6], "a") == "a"
    assert len(docs) == 4
    assert docs.insert([0, 0, 0], "") == ""
    assert docs.insert([0, 0, 0], "a\x00b") == "a\x00b"
    assert {hit["id"] for hit in docs.search([0, 0, 0], 2)} == {"", "a\x00b"}


def test_len_and_delete(docs):
    assert len(docs) == 0 and not docs
    docs.insert([1, 2, 3], "a")
    docs.insert([1, 2, 3], "b")
    assert len(docs) == 2
    assert docs.delete("a") is None
    assert docs.delete("never there") is None
    assert len(docs) == 1
    assert docs.search([1, 2, 3]) == [{"id": "b", "score": 0.0}]


ENGINE_ERRORS = [
    (lambda db, docs: docs.insert([1, 2]), "Dimension mismatch: expected 3, got 2"),
    (lambda db, docs: docs.search([1, 2, 3, 4]), "Dimension mismatch: expected 3, got 4"),
    (lambda db, docs: db.get_collection(""), "Collection not found: "),
    (lambda db, docs: db.create_collection("docs", 5), "Collection already exists: docs"),
    (lambda db, docs: db.create_collection("big", 700).insert([0.0] * 700)
     and db.get_collection("big").insert([0.0] * 700), "Vector data page full"),
    (lambda db, docs: [db.create_collection(f"c{i}", 1) for i in range(30)],
     "Catalog page full \u2014 cannot persist collection"),
]


@pytest.mark.parametrize("call, text", ENGINE_ERRORS)
def test_engine_errors_become_runtime_errors_with_their_text(db, docs, call, text):
    assert runtime_error(lambda: call(db, docs)) == text
    assert len(docs) == 0


def test_handles_share_one_collection(db, docs):
    again = db.get_collection("docs")
    assert again is not docs and repr(again) == repr(docs)
    docs.insert([1, 1, 1], "a")
    assert again.search([1, 1, 1]) == [{"id": "a", "score": 0.0}]
    again.delete("a")
    assert len(docs) == 0
    assert sorted(db.list_collections()) == ["docs"]
    db.create_collection("second", 1)
    assert sorted(db.list_collections()) == ["docs", "second"]
    assert all(type(name) is str for name in db.list_collections())


def test_names_are_not_truncated_at_nul(db):
    handle = db.create_collection("a\x00b", 2)
    assert handle.name == "a\x00b"
    assert repr(handle) == "Collection(name='a\x00b', dim=2)"
    assert runtime_error(lambda: db.get_collection("a")) == "Collection not found: a"
    assert db.get_collection("a\x00b").dimension == 2


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
