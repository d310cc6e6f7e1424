"""Arguments crossing into the extension module: the exact TypeError texts,
the forms accepted, conversion of vectors and ids, and engine errors as
Python sees them."""

import array
import math
import pathlib
import struct

import numpy as np
import pytest

from orvane._native import Kestrum


def f32(x):
    """x rounded to the nearest 32-bit float, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


ARGUMENT_ERRORS = [
    # Counts: the range form, the single form, the constructor.
    (lambda db, docs: db.create_collection("a", 3, None, 4), TypeError,
     "Kestrum.create_collection() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda db, docs: db.get_collection("a", "b"), TypeError,
     "Kestrum.get_collection() takes 1 positional arguments but 2 were given"),
    (lambda db, docs: db.close(1), TypeError, "Kestrum.close() takes no arguments (1 given)"),
    (lambda db, docs: db.list_collections(x=1), TypeError,
     "Kestrum.list_collections() takes no keyword arguments"),
    # Keywords: checked in the order given, after the positional count.
    (lambda db, docs: db.create_collection("a", 3, metric="dot"), TypeError,
     "Kestrum.create_collection() got an unexpected keyword argument 'metric'"),
    (lambda db, docs: db.create_collection("a", dim=3, name="b"), TypeError,
     "Kestrum.create_collection() got multiple values for argument 'name'"),
    (lambda db, docs: docs.insert([1, 2, 3], **{"\udc80": 1}), TypeError,
     "PyCollection.insert() got an unexpected keyword argument '\udc80'"),
    (lambda db, docs: docs.insert([1], bogus=1, vector=2), TypeError,
     "PyCollection.insert() got an unexpected keyword argument 'bogus'"),
    (lambda db, docs: docs.delete("a", "b", nope=1), TypeError,
     "PyCollection.delete() takes 1 positional arguments but 2 were given"),
    # Missing arguments, named in order; parsing fails before any conversion.
    (lambda db, docs: db.get_collection(), TypeError,
     "Kestrum.get_collection() missing 1 required positional argument: 'name'"),
    (lambda db, docs: db.create_collection(distance="dot"), TypeError,
     "Kestrum.create_collection() missing 2 required positional arguments: 'name' and 'dim'"),
    (lambda db, docs: db.__exit__(), TypeError,
     "Kestrum.__exit__() missing 3 required positional arguments: "
     "'_exc_type', '_exc_val', and '_exc_tb'"),
    (lambda db, docs: docs.search("not a vector", 1, 2), TypeError,
     "PyCollection.search() takes from 1 to 2 positional arguments but 3 were given"),
    # Conversions, prefixed with the argument's name.
    (lambda db, docs: Kestrum(pathlib.Path("p.db")), TypeError,
     "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda db, docs: db.create_collection("a", 3, 1), TypeError,
     "argument 'distance': 'int' object cannot be converted to 'PyString'"),
    (lambda db, docs: docs.delete(None), TypeError,
     "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda db, docs: docs.insert("abc", 5), TypeError,
     "argument 'vector': Can't extract `str` to `Vec`"),
    (lambda db, docs: docs.insert(iter([1, 2, 3])), TypeError,
     "argument 'vector': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda db, docs: docs.insert([1, "2", 3]), TypeError,
     "argument 'vector': must be real number, not str"),
    (lambda db, docs: docs.search([1, 2, 3], top_k=2.5), TypeError,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    # Unprefixed: the host's own errors.
    (lambda db, docs: docs.insert([2**1024, 0, 0]), OverflowError,
     "int too large to convert to float"),
    (lambda db, docs: db.create_collection("a", -3), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda db, docs: docs.search([1, 2, 3], 2**64), OverflowError, None),
    (lambda db, docs: db.create_collection("\udc80", 3), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, kind, text", ARGUMENT_ERRORS)
def test_argument_errors(db, docs, call, kind, text):
    with pytest.raises(kind) as info:
        call(db, docs)
    assert type(info.value) is kind
    if text is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value) == text
    assert db.list_collections() == ["docs"] and len(docs) == 0


class Three:
    def __index__(self):
        return 3


class Name(str):
    pass


class LyingVector:
    """Three numbers whose length claims something else (or raises)."""

    def __init__(self, claimed):
        self.claimed = claimed

    def __len__(self):
        if isinstance(self.claimed, Exception):
            raise self.claimed
        return self.claimed

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return float(i)

    def __iter__(self):
        return iter([0.0, 1.0, 2.0])


def test_accepted_arguments(db, docs):
    assert docs.insert([1, 2, 3], Name("sub")) == "sub"
    assert db.create_collection(Name("n"), 1).name == "n"
    assert db.create_collection("indexed", Three()).dimension == 3
    assert db.create_collection("flag", True).dimension == 1
    for vector, key in [((1, 2, 3), "tuple"), (b"\x01\x02\x03", "bytes"),
                        (bytearray(b"\x01\x02\x04"), "bytearray"), (range(3), "range"),
                        ([True, 2, 3.0], "mixed")]:
        assert docs.insert(vector, key) == key
    hits = docs.search([1.0, 2.0, 3.0], top_k=Three())
    assert [hit["score"] for hit in hits] == [0.0] * 3
    assert {hit["id"] for hit in hits} < {"sub", "tuple", "bytes", "mixed"}
    assert docs.search(b"\x00\x01\x02", 1) == [{"id": "range", "score": 0.0}]
    assert len(docs.search([1, 2, 3], 2**64 - 1)) == 6
    docs.delete("range")
    for claimed in (2**62, 2**31, 2**100, 0, ValueError("no length")):  # a length is a hint
        assert docs.insert(LyingVector(claimed), id="liar") == "liar"
        assert docs.search(LyingVector(claimed), 1) == [{"id": "liar", "score": 0.0}]


def test_keyword_and_positional_calls_are_equivalent(db):
    by_position = db.create_collection("p", 3, "euclidean")
    by_keyword = db.create_collection(dim=3, distance="euclidean", name="k")
    for key, vector in {"a": [0.0, 0.0, 1.0], "b": [0.0, 3.0, 4.0]}.items():
        assert by_position.insert(vector, key) == key
        assert by_keyword.insert(id=key, vector=vector) == key
    by_position.delete("a")
    by_keyword.delete(id="a")
    assert by_keyword.search(top_k=None, vector=[0, 0, 0]) == by_position.search([0, 0, 0], 2) == [
        {"id": "b", "score": 5.0}]
    assert db.get_collection(name="k").dimension == 3
    assert db.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is None


class Cause(Exception):
    pass


class SpecialTypeError(TypeError):
    pass


def raising(error):
    class Component:
        def __float__(self):
            raise error
    return Component()


def chained():
    try:
        raise TypeError("no float here") from Cause("root")
    except TypeError as e:
        return e


@pytest.mark.parametrize("error, kind, text, cause", [
    (chained(), TypeError, "argument 'vector': no float here", Cause),  # exact TypeErrors only
    (SpecialTypeError("kept as it is"), SpecialTypeError, "kept as it is", None),
    (ValueError("not today"), ValueError, "not today", None),
])
def test_conversion_errors_keep_their_type_and_cause(docs, error, kind, text, cause):
    with pytest.raises(TypeError if kind is TypeError else kind) as info:
        docs.insert([raising(error), 0, 0])
    assert type(info.value) is kind and str(info.value) == text
    assert cause is None or type(info.value.__cause__) is cause


def test_arrays_give_the_same_vectors_as_lists(db):
    collection = db.create_collection("d", 3, "dot")
    values = [0.1, -2.5e38, 1 + 2**-24 + 2**-50]  # each rounds to a float32
    sources = {
        "list": values,
        "f64": np.array(values, dtype=np.float64),
        "f32": np.array(values, dtype=np.float64).astype(np.float32),
        "big-endian": np.array(values, dtype=">f8"),
        "reversed": np.array(values[::-1], dtype=np.float64)[::-1],
        "strided": np.array([values[0], 9, values[1], 9, values[2]], dtype=np.float64)[::2],
        "row": np.array([values, [0, 0, 0]], dtype=np.float64)[0],
        "memoryview": memoryview(array.array("d", values)),
        "array": array.array("f", values[:2] + [0.0]),
    }
    for key, source in sources.items():
        assert collection.insert(source, key) == key
    scores = {}
    for probe in ([1, 0, 0], [0, 1, 0], [0, 0, 1]):
        for hit in collection.search(probe, 20):
            scores.setdefault(hit["id"], []).append(hit["score"])
    expected = scores.pop("list")
    assert expected == [-0.10000000149011612, f32(2.5e38), -(1 + 2**-23)]
    for key, got in scores.items():
        assert got == (expected[:2] + [0.0] if key == "array" else expected), key
    for bad in (np.zeros((2, 3)), np.array(["a", "b", "c"])):
        with pytest.raises(TypeError, match="^argument 'vector': "):
            collection.insert(bad)
    assert collection.insert(np.array([1, 2, 3], dtype=np.int64), "ints") == "ints"


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


@pytest.mark.parametrize("component, stored", [
    (1 + 2**-24, 1.0),  # halfway: ties to even
    (1 + 2**-24 + 2**-50, 1 + 2**-23),
    (3.4028235e38, f32(3.4028235e38)),
    (2**128 - 2**103 - 2**76, 3.4028234663852886e38),  # above FLT_MAX, below halfway
    (2**128 - 2**103, math.inf),  # halfway to 2**128 rounds to infinity
    (-1e300, -math.inf),
    (1e-50, 0.0),
])
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
    for call, text in [(lambda: docs.insert([1, 2]), "Dimension mismatch: expected 3, got 2"),
                       (lambda: db.get_collection("a\x00c"), "Collection not found: a\x00c")]:
        with pytest.raises(RuntimeError) as info:  # engine errors keep their text
            call()
        assert type(info.value) is RuntimeError and info.value.args == (text,)
