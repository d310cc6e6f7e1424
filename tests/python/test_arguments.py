"""Argument parsing and conversion: the exact TypeError texts and what is accepted."""

import array
import pathlib
import struct

import pytest

from orvane import Kestrum


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


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


def test_text_subclasses_are_accepted(db, docs):
    class Name(str):
        pass

    assert docs.insert([1, 2, 3], Name("sub")) == "sub"
    assert db.create_collection(Name("n"), 1).name == "n"


def test_conversion_keeps_the_cause_and_only_rewrites_exact_type_errors(docs):
    class Cause(Exception):
        pass

    class Chained:
        def __float__(self):
            raise TypeError("no float here") from Cause("root")

    with pytest.raises(TypeError) as info:
        docs.insert([Chained(), 0, 0])
    assert str(info.value) == "argument 'vector': no float here"
    assert type(info.value.__cause__) is Cause

    class SpecialTypeError(TypeError):
        pass

    class Special:
        def __float__(self):
            raise SpecialTypeError("kept as it is")

    with pytest.raises(SpecialTypeError) as info:
        docs.insert([Special(), 0, 0])
    assert str(info.value) == "kept as it is"

    class Refusing:
        def __float__(self):
            raise ValueError("not today")

    with pytest.raises(ValueError) as info:
        docs.insert([Refusing(), 0, 0])
    assert str(info.value) == "not today"


def test_integer_arguments_take_index_and_bool(db, docs):
    class Three:
        def __index__(self):
            return 3

    assert db.create_collection("indexed", Three()).dimension == 3
    assert db.create_collection("flag", True).dimension == 1
    docs.insert([1, 2, 3], "a")
    assert len(docs.search([1, 2, 3], Three())) == 1
    assert len(docs.search([1, 2, 3], 2**64 - 1)) == 1


def test_vector_types_accepted(docs):
    assert docs.insert((1, 2, 3), "tuple") == "tuple"
    assert docs.insert(b"\x01\x02\x03", "bytes") == "bytes"
    assert docs.insert(bytearray(b"\x01\x02\x04"), "bytearray") == "bytearray"
    assert docs.insert(range(3), "range") == "range"
    assert docs.insert([True, 2, 3.0], "mixed") == "mixed"
    hits = docs.search([1.0, 2.0, 3.0], top_k=5)
    assert [hit["score"] for hit in hits[:3]] == [0.0, 0.0, 0.0]
    assert {hit["id"] for hit in hits[:3]} == {"tuple", "bytes", "mixed"}
    assert docs.search(b"\x00\x01\x02", 1) == [{"id": "range", "score": 0.0}]


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


def test_arrays_give_the_same_vectors_as_lists(db):
    np = pytest.importorskip("numpy")
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
    probes = ([1, 0, 0], [0, 1, 0], [0, 0, 1])
    scores = {hit["id"]: [hit["score"]] for hit in collection.search(probes[0], 20)}
    for probe in probes[1:]:
        for hit in collection.search(probe, 20):
            scores[hit["id"]].append(hit["score"])
    expected = scores.pop("list")
    as_float32 = struct.unpack("<f", struct.pack("<f", 2.5e38))[0]
    assert expected == [-0.10000000149011612, as_float32, -(1 + 2**-23)]
    for key, got in scores.items():
        assert got == (expected[:2] + [0.0] if key == "array" else expected), key
    assert type_error(lambda: collection.insert(np.zeros((2, 3)))).startswith("argument 'vector': ")
    assert type_error(lambda: collection.insert(np.array(["a", "b", "c"]))).startswith(
        "argument 'vector': ")
    assert collection.insert(np.array([1, 2, 3], dtype=np.int64), "ints") == "ints"
