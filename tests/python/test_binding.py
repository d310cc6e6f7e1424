"""The extension module's objects and import: reference counts, lifetimes
of databases shared by several objects, open failures, module identity,
types and their attributes, and internal faults (memory limits, lying
lengths)."""

import gc
import importlib
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import orvane
from orvane import _native
from orvane._native import Kestrum, PyCollection

SANITIZED = os.environ.get("ORVANE_SANITIZED") == "1"


def ids_of(collection):
    return sorted(hit["id"] for hit in collection.search([0.0, 0.0, 0.0], len(collection) + 1))


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


def test_context_manager_closes_nothing_and_close_may_repeat(db_path, wal_path):
    store = Kestrum(db_path)
    with pytest.raises(ValueError, match="inside"):
        with store as entered:
            assert entered is store
            entered.create_collection("docs", 2).insert([1, 2], "a")
            raise ValueError("inside")
    assert os.path.exists(wal_path)
    docs = store.get_collection("docs")
    assert store.close() is None and not os.path.exists(wal_path)
    assert store.close() is None
    assert docs.insert([4, 5], "b") == "b"  # a closed database is opened again by its next call
    assert [hit["id"] for hit in docs.search([1, 2])] == ["a", "b"]


def test_objects_on_one_file_share_it_until_the_last_release(db_path, wal_path):
    first = Kestrum(db_path)
    second = Kestrum(db_path)
    docs = first.create_collection("docs", 3, "euclidean")
    assert second.list_collections() == ["docs"]
    mine = second.get_collection("docs")
    docs.insert([0.0, 0.0, 1.0], id="a")
    mine.insert([0.0, 2.0, 0.0], id="b")
    mine.delete("a")
    assert ids_of(docs) == ["b"]
    # Generated ids come from one counter: no two objects hand out one id.
    generated = {docs.insert([1.0, 1.0, 1.0]), mine.insert([2.0, 2.0, 2.0])}
    assert len(generated) == 2
    del first, docs
    gc.collect()
    mine.insert([0.0, 0.0, 3.0], id="after-release")  # the other object goes on writing
    del second
    gc.collect()
    assert os.path.exists(wal_path)  # the handle still holds the database
    del mine
    gc.collect()
    assert not os.path.exists(wal_path)  # released without close(): flushed
    assert ids_of(Kestrum(db_path).get_collection("docs")) == sorted(
        ["after-release", "b", *generated])


def test_open_failures_raise_runtime_error_and_make_no_object(tmp_path):
    for path, text in [(str(tmp_path), "^Storage error: "),  # a directory
                       (str(tmp_path / "missing" / "x.db"), ""),
                       (str(tmp_path / "a.db") + "\0b",
                        "^Storage error: I/O error: path contains a NUL byte$")]:
        with pytest.raises(RuntimeError, match=text):
            Kestrum(path)
    assert os.listdir(tmp_path) == []  # nothing made, not even under a name cut at NUL


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("orvane._native")
    try:
        second = importlib.import_module("orvane._native")
        assert second is first
        assert second.__all__ == ["Kestrum", "PyCollection"]  # not appended twice
    finally:
        sys.modules["orvane._native"] = first


def test_sub_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    package_root = os.path.dirname(os.path.dirname(orvane.__file__))
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(
                interp, f"import sys; sys.path.insert(0, {package_root!r}); import orvane._native")
        assert str(info.value) == (
            "<class 'ImportError'>: orvane._native does not support sub-interpreters")
    finally:
        interpreters.destroy(interp)
    assert sys.modules["orvane._native"] is _native  # the first interpreter's module still works


def test_types_attributes_and_repr(db_path):
    class Store(Kestrum):
        pass

    store = Store(db_path)
    with pytest.raises(TypeError):
        class Handle(PyCollection):  # noqa: F841
            pass
    with pytest.raises(TypeError, match="^No constructor defined for PyCollection$"):
        PyCollection()
    handle = store.create_collection("it's", 0)
    assert repr(handle) == "Collection(name='it's', dim=0)"  # the name goes in raw
    for attribute in ("name", "dimension", "extra"):
        with pytest.raises(AttributeError):
            setattr(handle, attribute, 1)
    huge = store.create_collection("big", 2**64 - 1)
    assert repr(huge) == "Collection(name='big', dim=18446744073709551615)"
    assert huge.dimension == 2**64 - 1


MEMORY_SCRIPT = textwrap.dedent(
    """
    import itertools, resource, sys, tempfile, os
    from orvane import Kestrum

    class Liar:  # three items, a length no memory could hold
        def __len__(self):
            return 2**62
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return 1.0

    class Endless:  # items that never end: the vector outgrows the memory limit
        def __len__(self):
            return 0
        def __getitem__(self, i):
            raise IndexError
        def __iter__(self):
            return itertools.repeat(1.0, 1 << 30)

    db = Kestrum(os.path.join(tempfile.mkdtemp(), "p.db"))
    three = db.create_collection("three", 3)
    docs = db.create_collection("docs", 2, "euclidean")
    with open("/proc/self/status") as status:
        vm_kib = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
    limit = (vm_kib << 10) + (64 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    print(three.insert(Liar(), id="x"), len(three.search(Liar())))
    try:
        docs.insert(Endless())
    except Exception as e:
        print("caught as Exception:", type(e).__name__)
    except BaseException as e:
        kind = type(e)
        print(kind.__name__, kind.__bases__ == (BaseException,), repr(str(e)))
    print(docs.insert([3.0, 4.0], "after"), docs.search([0, 0]))
    """
)


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit")
def test_memory_limits_lying_lengths_and_internal_faults():
    # A claimed length is not reserved; an allocation that fails raises
    # PanicException (not an Exception) and leaves the database usable.
    run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "x 1",
        "PanicException True 'std::bad_alloc'",
        "after [{'id': 'after', 'score': 5.0}]",
    ]
