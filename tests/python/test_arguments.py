"""Argument parsing and conversion: the exact TypeError texts and what is accepted."""

import array
import struct

import pytest

from orvane import Kestrum


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


def test_too_many_positional_arguments(db, docs):
    assert type_error(lambda: db.create_collection("a", 3, None, 4)) == (
        "Kestrum.create_collection() takes from 2 to 3 positional arguments but 4 were given")
    assert type_error(lambda: db.get_collection("a", "b")) == (
        "Kestrum.get_collection() takes 1 positional arguments but 2 were given")
    assert type_error(lambda: db.__exit__(1, 2, 3, 4)) == (
        "Kestrum.__exit__() takes 3 positional arguments but 4 were given")
    assert type_error(lambda: docs.insert([1, 2, 3], "a", 5)) == (
        "PyCollection.insert() takes from 1 to 2 positional arguments but 3 were given")
    assert type_error(lambda: docs.search([1, 2, 3], 1, 2, 3)) == (
        "PyCollection.search() takes from 1 to 2 positional arguments but 4 were given")
    assert type_error(lambda: docs.delete("a", "b")) == (
        "PyCollection.delete() takes 1 positional arguments but 2 were given")
    assert type_error(lambda: Kestrum("a", "b")) == (
        "Kestrum.__new__() takes 1 positional arguments but 2 were given")


def test_methods_without_arguments_refuse_any(db):
    assert type_error(lambda: db.close(1)) == "Kestrum.close() takes no arguments (1 given)"
    assert type_error(lambda: db.list_collections(x=1)) == (
        "Kestrum.list_collections() takes no keyword arguments")
    assert type_error(lambda: db.__enter__(None)) == (
        "Kestrum.__enter__() takes no arguments (1 given)")


def test_unexpected_and_repeated_keywords(db, docs):
    assert type_error(lambda: db.create_collection("a", 3, metric="dot")) == (
        "Kestrum.create_collection() got an unexpected keyword argument 'metric'")
    assert type_error(lambda: db.create_collection("a", dim=3, name="b")) == (
        "Kestrum.create_collection() got multiple values for argument 'name'")
    assert type_error(lambda: docs.insert([1, 2, 3], vector=[1, 2, 3])) == (
        "PyCollection.insert() got multiple values for argument 'vector'")
    assert type_error(lambda: docs.search([1, 2, 3], k=3)) == (
        "PyCollection.search() got an unexpected keyword argument 'k'")
    assert type_error(lambda: docs.delete(key="a")) == (
        "PyCollection.delete() got an unexpected keyword argument 'key'")
    assert type_error(lambda: Kestrum(filename="x")) == (
        "Kestrum.__new__() got an unexpected keyword argument 'filename'")
    assert type_error(lambda: docs.insert([1, 2, 3], **{"\udc80": 1})) == (
        "PyCollection.insert() got an unexpected keyword argument '\udc80'")
    # Keywords are checked in the order given; the first problem is reported.
    assert type_error(lambda: docs.insert([1], bogus=1, vector=2)) == (
        "PyCollection.insert() got an unexpected keyword argument 'bogus'")
    # Too many positional arguments are reported before any keyword problem.
    assert type_error(lambda: docs.delete("a", "b", nope=1)) == (
        "PyCollection.delete() takes 1 positional arguments but 2 were given")


def test_missing_required_arguments(db, docs):
    assert type_error(lambda: db.get_collection()) == (
        "Kestrum.get_collection() missing 1 required positional argument: 'name'")
    assert type_error(lambda: db.create_collection()) == (
        "Kestrum.create_collection() missing 2 required positional arguments: 'name' and 'dim'")
    assert type_error(lambda: db.create_collection(distance="dot")) == (
        "Kestrum.create_collection() missing 2 required positional arguments: 'name' and 'dim'")
    assert type_error(lambda: db.create_collection(dim=3)) == (
        "Kestrum.create_collection() missing 1 required positional argument: 'name'")
    assert type_error(lambda: db.__exit__()) == (
        "Kestrum.__exit__() missing 3 required positional arguments: "
        "'_exc_type', '_exc_val', and '_exc_tb'")
    assert type_error(lambda: db.__exit__(None, _exc_tb=None)) == (
        "Kestrum.__exit__() missing 1 required positional argument: '_exc_val'")
    assert type_error(lambda: docs.insert(id="a")) == (
        "PyCollection.insert() missing 1 required positional argument: 'vector'")
    assert type_error(lambda: docs.search()) == (
        "PyCollection.search() missing 1 required positional argument: 'vector'")
    assert type_error(lambda: docs.delete()) == (
        "PyCollection.delete() missing 1 required positional argument: 'id'")
    assert type_error(lambda: Kestrum()) == (
        "Kestrum.__new__() missing 1 required positional argument: 'path'")
    # Parsing fails before any conversion: a bad vector is not reported.
    assert type_error(lambda: docs.search("not a vector", 1, 2)) == (
        "PyCollection.search() takes from 1 to 2 positional arguments but 3 were given")


def test_text_arguments(db, docs, tmp_path):
    assert type_error(lambda: Kestrum(1)) == (
        "argument 'path': 'int' object cannot be converted to 'PyString'")
    assert type_error(lambda: Kestrum(tmp_path / "p.db")) == (
        "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")
    assert type_error(lambda: db.create_collection(b"a", 3)) == (
        "argument 'name': 'bytes' object cannot be converted to 'PyString'")
    assert type_error(lambda: db.get_collection(None)) == (
        "argument 'name': 'NoneType' object cannot be converted to 'PyString'")
    assert type_error(lambda: db.create_collection("a", 3, 1)) == (
        "argument 'distance': 'int' object cannot be converted to 'PyString'")
    assert type_error(lambda: docs.insert([1, 2, 3], 5)) == (
        "argument 'id': 'int' object cannot be converted to 'PyString'")
    assert type_error(lambda: docs.delete(None)) == (
        "argument 'id': 'NoneType' object cannot be converted to 'PyString'")
    with pytest.raises(UnicodeEncodeError):  # the host's encoding error, unprefixed
        db.create_collection("\udc80", 3)
    with pytest.raises(UnicodeEncodeError):
        docs.insert([1, 2, 3], "\ud800")

    class Name(str):
        pass

    assert docs.insert([1, 2, 3], Name("sub")) == "sub"
    assert db.create_collection(Name("n"), 1).name == "n"


def test_vector_conversion_failures(docs):
    assert type_error(lambda: docs.insert("abc")) == (
        "argument 'vector': Can't extract `str` to `Vec`")
    assert type_error(lambda: docs.search("")) == (
        "argument 'vector': Can't extract `str` to `Vec`")
    assert type_error(lambda: docs.insert(5)) == (
        "argument 'vector': 'int' object cannot be converted to 'Sequence'")
    assert type_error(lambda: docs.insert({0: 1.0})) == (
        "argument 'vector': 'dict' object cannot be converted to 'Sequence'")
    assert type_error(lambda: docs.search(None)) == (
        "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'")
    assert type_error(lambda: docs.insert(iter([1, 2, 3]))) == (
        "argument 'vector': 'list_iterator' object cannot be converted to 'Sequence'")
    assert type_error(lambda: docs.insert([1, "2", 3])) == (
        "argument 'vector': must be real number, not str")
    assert type_error(lambda: docs.insert((1, None, 3))) == (
        "argument 'vector': must be real number, not NoneType")
    with pytest.raises(OverflowError) as info:
        docs.insert([2**1024, 0, 0])
    assert str(info.value) == "int too large to convert to float"
    # The vector is converted before the id: its failure is the one reported.
    assert type_error(lambda: docs.insert("abc", 5)).startswith("argument 'vector': ")
    assert len(docs) == 0


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


def test_integer_arguments(db, docs):
    assert type_error(lambda: docs.search([1, 2, 3], top_k=2.5)) == (
        "argument 'top_k': 'float' object cannot be interpreted as an integer")
    assert type_error(lambda: docs.search([1, 2, 3], "3")) == (
        "argument 'top_k': 'str' object cannot be interpreted as an integer")
    assert type_error(lambda: db.create_collection("a", 3.0)) == (
        "argument 'dim': 'float' object cannot be interpreted as an integer")
    for call in (lambda: docs.search([1, 2, 3], top_k=-1), lambda: db.create_collection("a", -3)):
        with pytest.raises(OverflowError) as info:
            call()
        assert str(info.value) == "can't convert negative int to unsigned"
    for call in (lambda: docs.search([1, 2, 3], 2**64), lambda: db.create_collection("a", 2**64)):
        with pytest.raises(OverflowError) as info:
            call()
        assert not str(info.value).startswith("argument")
    assert db.list_collections() == ["docs"]

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


def test_vector_length_is_only_a_hint(docs):
    class Lying:
        """Claims an enormous length; yields three items."""

        def __len__(self):
            return 2**62

        def __getitem__(self, index):
            if index >= 3:
                raise IndexError(index)
            return float(index + 1)

    class NoLength:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            if index >= 3:
                raise IndexError(index)
            return 7.0

    class HugeLength(NoLength):
        def __len__(self):
            return 2**100

    assert docs.insert(Lying(), "lying") == "lying"
    assert docs.insert(NoLength(), "none") == "none"
    assert docs.insert(HugeLength(), "huge") == "huge"
    assert docs.search([1, 2, 3], 1) == [{"id": "lying", "score": 0.0}]
    assert docs.search([7, 7, 7], 3)[0]["score"] == 0.0

    class Broken(NoLength):
        def __getitem__(self, index):
            if index == 1:
                raise KeyError("mid-way")
            return 1.0

    with pytest.raises(KeyError):
        docs.insert(Broken())


def test_keyword_and_positional_calls_are_equivalent(db):
    by_position = db.create_collection("p", 3, "euclidean")
    by_keyword = db.create_collection(dim=3, distance="euclidean", name="k")
    vectors = {"a": [0.0, 0.0, 1.0], "b": [0.0, 3.0, 4.0]}
    for key, vector in vectors.items():
        assert by_position.insert(vector, key) == key
        assert by_keyword.insert(id=key, vector=vector) == key
    assert by_keyword.search(top_k=2, vector=[0, 0, 0]) == by_position.search([0, 0, 0], 2)
    assert by_keyword.search(vector=[0, 0, 0], top_k=None) == by_position.search([0, 0, 0])
    assert len(by_position.search([0, 0, 0], 2)) == 2
    by_position.delete("a")
    by_keyword.delete(id="a")
    assert by_keyword.search([0, 0, 0]) == by_position.search([0, 0, 0]) == [
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
