"""Arguments crossing into the extension module: the exact TypeError texts,
the forms accepted, conversion of vectors and ids, and engine errors as
Python sees them."""

import array
import math
import pathlib

import numpy as np
import pytest

from orvane._native import Kestrum


T = TypeError
ARGUMENT_ERRORS = [  # (call, error type, text; None: the host's own)
    # Counts: the single form, the range form (with the conversion check after the count).
    ('docs.delete("a", "b", nope=1)', T,
     "PyCollection.delete() takes 1 positional arguments but 2 were given"),
    ('docs.search("not a vector", 1, 2)', T,
     "PyCollection.search() takes from 1 to 2 positional arguments but 3 were given"),
    ("db.close(1)", T, "Kestrum.close() takes no arguments (1 given)"),
    ("db.list_collections(x=1)", T, "Kestrum.list_collections() takes no keyword arguments"),
    # Keywords: checked in the order given, after the positional count.
    ('db.create_collection("a", dim=3, name="b")', T,
     "Kestrum.create_collection() got multiple values for argument 'name'"),
    ('docs.insert([1, 2, 3], **{"\\udc80": 1})', T,
     "PyCollection.insert() got an unexpected keyword argument '\udc80'"),
    ("docs.insert([1], bogus=1, vector=2)", T,
     "PyCollection.insert() got an unexpected keyword argument 'bogus'"),
    # Missing arguments, named in order; parsing fails before any conversion.
    ("db.get_collection()", T,
     "Kestrum.get_collection() missing 1 required positional argument: 'name'"),
    ('db.create_collection(distance="dot")', T,
     "Kestrum.create_collection() missing 2 required positional arguments: 'name' and 'dim'"),
    ("db.__exit__()", T, "Kestrum.__exit__() missing 3 required positional arguments: "
     "'_exc_type', '_exc_val', and '_exc_tb'"),
    # Conversions, prefixed with the argument's name.
    ('Kestrum(pathlib.Path("p.db"))', T,
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    ('docs.insert("abc", 5)', T, "argument 'vector': Can't extract `str` to `Vec`"),
    ("docs.insert(iter([1, 2, 3]))", T,
     "argument 'vector': 'list_iterator' object cannot be converted to 'Sequence'"),
    ('docs.insert([1, "2", 3])', T, "argument 'vector': must be real number, not str"),
    ("docs.search([1, 2, 3], top_k=2.5)", T,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    ("docs.insert(np.zeros((2, 3)))", T, None),
    ('docs.insert(np.array(["a", "b", "c"]))', T, None),
    ("docs.insert([2**1024, 0, 0])", OverflowError, "int too large to convert to float"),
    ('db.create_collection("a", -3)', OverflowError, "can't convert negative int to unsigned"),
    ("docs.search([1, 2, 3], 2**64)", OverflowError, None),
    ('db.create_collection("\\udc80", 3)', UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, kind, text", ARGUMENT_ERRORS)
def test_argument_errors(db, docs, call, kind, text):
    with pytest.raises(kind) as info:
        eval(call, {"db": db, "docs": docs, "np": np, "pathlib": pathlib, "Kestrum": Kestrum})
    assert type(info.value) is kind
    if text is not None:
        assert str(info.value) == text
    elif kind is T:
        assert str(info.value).startswith("argument 'vector': ")
    else:
        assert not str(info.value).startswith("argument")
    assert db.list_collections() == ["docs"] and len(docs) == 0


Three = type("Three", (), {"__index__": lambda self: 3})


def lying(claimed):
    """Three numbers whose length claims something else (or raises)."""
    def length(self):
        if isinstance(claimed, Exception):
            raise claimed
        return claimed
    return type("Liar", (), {"__len__": length, "__getitem__": lambda self, i: [0., 1., 2.][i]})()


def test_accepted_arguments(db, docs):
    assert docs.insert([1, 2, 3], type("Name", (str,), {})("sub")) == "sub"
    assert db.create_collection("i", Three()).dimension == 3
    assert db.create_collection("f", True).dimension == 1
    for vector, key in [((1, 2, 3), "tuple"), (b"\x01\x02\x03", "bytes"), (range(3), "range"),
                        (bytearray(b"\x01\x02\x04"), "bytearray"), ([True, 2, 3.0], "mixed")]:
        assert docs.insert(vector, key) == key
    hits = docs.search([1.0, 2.0, 3.0], top_k=Three())
    assert [hit["score"] for hit in hits] == [0.0] * 3
    assert {hit["id"] for hit in hits} < {"sub", "tuple", "bytes", "mixed"}
    assert docs.search(b"\x00\x01\x02", 1) == [{"id": "range", "score": 0.0}]
    assert len(docs.search([1, 2, 3], 2**64 - 1)) == 6 and docs.search([1, 2, 3], 0) == []
    docs.delete("range")
    for claimed in (2**62, 2**31, 2**100, 0, ValueError("no length")):  # a length is a hint
        assert docs.insert(lying(claimed), id="liar") == "liar"
        assert docs.search(lying(claimed), 1) == [{"id": "liar", "score": 0.0}]
    for i in range(5):  # 11 vectors: 10 come back by default
        docs.insert([9, 9, i], f"pad{i}")
    assert docs.search([0, 0, 0]) == docs.search([0, 0, 0], None) == docs.search([0, 0, 0], 10)
    assert len(docs.search([0, 0, 0])) == 10
    by_keyword = db.create_collection(dim=3, distance="euclidean", name="k")
    assert by_keyword.insert(id="a", vector=[0.0, 3.0, 4.0]) == "a"
    assert by_keyword.search(top_k=None, vector=[0, 0, 0]) == [{"id": "a", "score": 5.0}]
    by_keyword.delete(id="a")
    assert len(by_keyword) == 0 and db.get_collection(name="k").dimension == 3
    assert db.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is None


Cause = type("Cause", (Exception,), {})


def raising(error):
    def fail(self):
        raise error
    return type("Component", (), {"__float__": fail})()


CHAINED = TypeError("no float here")
CHAINED.__cause__ = Cause("root")


@pytest.mark.parametrize("error, kind, text, cause", [
    (CHAINED, TypeError, "argument 'vector': no float here", Cause),  # exact TypeErrors only
    (type("OwnTypeError", (TypeError,), {})("kept as it is"), None, "kept as it is", None),
    (ValueError("not today"), ValueError, "not today", None),
])
def test_conversion_errors_keep_their_type_and_cause(docs, error, kind, text, cause):
    with pytest.raises(Exception) as info:
        docs.insert([raising(error), 0, 0])
    assert type(info.value) is (kind or type(error)) and str(info.value) == text
    assert cause is None or type(info.value.__cause__) is cause


def test_arrays_give_the_same_vectors_as_lists(db):
    collection = db.create_collection("d", 3, "dot")
    values = [0.1, -2.5e38, 1 + 2**-24 + 2**-50]  # each rounds to a float32
    f64 = np.array(values, dtype=np.float64)
    sources = {"list": values, "f64": f64, "f32": f64.astype(np.float32),
               "big-endian": f64.astype(">f8"), "reversed": f64[::-1].copy()[::-1],
               "strided": np.array([values[0], 9, values[1], 9, values[2]])[::2],
               "row": np.array([values, [0, 0, 0]])[0], "ints": np.array([1, 2, 3]),
               "memoryview": memoryview(array.array("d", values)),
               "array": array.array("f", values[:2] + [0.0])}
    for key, source in sources.items():
        collection.insert(source, key)
    scores = {}
    for probe in ([1, 0, 0], [0, 1, 0], [0, 0, 1]):
        for hit in collection.search(probe, 20):
            scores.setdefault(hit["id"], []).append(-hit["score"])
    expected = [0.10000000149011612, float(np.float32(-2.5e38)), 1 + 2**-23]
    assert scores == {**dict.fromkeys(sources, expected), "ints": [1.0, 2.0, 3.0],
                      "array": expected[:2] + [0.0]}


@pytest.mark.parametrize("component, stored", [
    (1 + 2**-24, 1.0),  # halfway: ties to even
    (1 + 2**-24 + 2**-50, 1 + 2**-23),
    (2**128 - 2**103 - 2**76, 3.4028234663852886e38),  # above FLT_MAX, below halfway
    (2**128 - 2**103, math.inf),  # halfway to 2**128 rounds to infinity
    (-1e300, -math.inf),
    (1e-50, 0.0),
])
def test_components_round_to_nearest_float32(db, component, stored):
    collection = db.create_collection("d", 2, "dot")
    collection.insert([component, 0], "x")
    assert collection.search([1, 0])[0]["score"] == -stored


def test_ids_in_and_out(db, docs):
    assert docs.insert([1, 2, 3], "a") == "a" and docs.insert([1, 2, 3], None).startswith("doc_")
    assert docs.insert([0, 0, 0], "") == "" and docs.insert([0, 0, 0], "a\x00b") == "a\x00b"
    assert {hit["id"] for hit in docs.search([0, 0, 0], 2)} == {"", "a\x00b"}
    assert docs.delete("a") is docs.delete("never there") is None and len(docs) == 3
    handle = db.create_collection("a\x00b", 2)  # names are not cut at NUL either
    assert handle.name == "a\x00b" and db.get_collection("a\x00b").dimension == 2
    for call, text in [(lambda: docs.insert([1, 2]), "Dimension mismatch: expected 3, got 2"),
                       (lambda: db.get_collection("a\x00c"), "Collection not found: a\x00c")]:
        with pytest.raises(RuntimeError) as info:  # engine errors keep their text
            call()
        assert type(info.value) is RuntimeError and info.value.args == (text,)
