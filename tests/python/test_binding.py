"""The extension module's objects: reference counts, lifetimes of a database
shared by several objects, open failures, module identity, types, and
internal faults (memory limits)."""

import gc
import importlib
import os
import struct
import subprocess
import sys

import pytest

import orvane
from orvane import _native
from orvane._native import Kestrum, PyCollection


def ids_of(collection):
    return sorted(hit["id"] for hit in collection.search([0.0, 0.0, 0.0], len(collection) + 1))


def test_calls_leave_reference_counts_unchanged(db, docs):
    vector, ident, top_k = [1.0, 2.0, 3.0], "id-under-test", 12345
    view = memoryview(struct.pack("<3d", 1, 2, 3)).cast("d")
    watched = (vector, vector[0], view, ident, top_k, db, docs, type(db), type(docs))
    calls = [lambda: docs.insert(vector, ident), lambda: docs.insert(view, id=ident),
             lambda: docs.search(vector, top_k), lambda: docs.search(view),
             lambda: (len(docs), repr(docs), docs.name, docs.dimension),
             lambda: db.get_collection("docs"), db.list_collections, lambda: docs.delete(ident),
             lambda: docs.insert(vector, 5), lambda: docs.search([vector[0], "x", 3]),
             lambda: docs.search(vector, -1), lambda: docs.insert(vector[:2], ident),
             lambda: docs.delete(ident, ident), lambda: docs.search(vector, k=ident)]

    def exercise():
        for _ in range(5):
            for call in calls:
                try:
                    call()
                except (TypeError, OverflowError, RuntimeError):
                    pass

    exercise()  # first calls may cache things for good
    before = [sys.getrefcount(obj) for obj in watched]
    exercise()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_objects_on_one_file_share_it_until_the_last_release(db_path):
    first, second = Kestrum(db_path), Kestrum(db_path)
    with pytest.raises(ValueError, match="inside"):
        with first as entered:  # the context manager closes nothing
            assert entered is first
            docs = entered.create_collection("docs", 3, "euclidean")
            raise ValueError("inside")
    mine = second.get_collection("docs")
    docs.insert([0.0, 0.0, 1.0], id="a")
    assert first.close() is None and first.close() is None
    assert not os.path.exists(db_path + "-wal")
    mine.delete("a")  # a closed database is opened again by its next call
    del first, entered, docs
    gc.collect()
    mine.insert([0.0, 0.0, 3.0], id="b")  # the other object goes on writing
    del second
    gc.collect()
    assert os.path.exists(db_path + "-wal")  # the handle still holds the database
    del mine
    gc.collect()
    assert not os.path.exists(db_path + "-wal")  # released without close(): flushed
    assert ids_of(Kestrum(db_path).get_collection("docs")) == ["b"]


def test_open_failures_raise_runtime_error_and_make_no_object(tmp_path):
    (tmp_path / "p.png").write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(200))
    for name, text in [("", "^Storage error: "), ("missing/x.db", ""),  # a directory, no folder
                       ("a.db\0b", "^Storage error: I/O error: path contains a NUL byte$"),
                       ("p.png", "^Storage error: Invalid database file: wrong magic bytes$")]:
        with pytest.raises(RuntimeError, match=text):
            Kestrum(str(tmp_path / name) if name else str(tmp_path))
    assert os.listdir(tmp_path) == ["p.png"]  # nothing made, not even under a name cut at NUL


def test_module_is_made_once_and_refuses_sub_interpreters():
    first = sys.modules.pop("orvane._native")
    try:
        assert importlib.import_module("orvane._native") is first
        assert first.__all__ == ["Kestrum", "PyCollection"]  # not appended twice
    finally:
        sys.modules["orvane._native"] = first
    interpreters = pytest.importorskip("_xxsubinterpreters")
    root = os.path.dirname(os.path.dirname(orvane.__file__))
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(
                interp, f"import sys; sys.path.insert(0, {root!r}); import orvane._native")
        assert str(info.value) == (
            "<class 'ImportError'>: orvane._native does not support sub-interpreters")
    finally:
        interpreters.destroy(interp)
    assert sys.modules["orvane._native"] is _native


def test_types_attributes_and_repr(db_path):
    store = type("Store", (Kestrum,), {})(db_path)  # Kestrum may be subclassed, PyCollection not
    with pytest.raises(TypeError):
        type("Handle", (PyCollection,), {})
    with pytest.raises(TypeError, match="^No constructor defined for PyCollection$"):
        PyCollection()
    handle = store.create_collection("it's", 0)
    assert repr(handle) == "Collection(name='it's', dim=0)"  # the name goes in raw
    for attribute in ("name", "dimension", "extra"):
        with pytest.raises(AttributeError):
            setattr(handle, attribute, 1)
    huge = store.create_collection("big", 2**64 - 1)
    assert huge.dimension == 2**64 - 1
    assert repr(huge) == "Collection(name='big', dim=18446744073709551615)"


MEMORY_SCRIPT = """
import itertools, os, resource, tempfile
from orvane import Kestrum

# Items that never end: the vector outgrows the memory limit.
Endless = type("Endless", (), {"__len__": lambda s: 0, "__getitem__": lambda s, i: [][i],
                               "__iter__": lambda s: itertools.repeat(1.0, 1 << 30)})

docs = Kestrum(os.path.join(tempfile.mkdtemp(), "p.db")).create_collection("docs", 2, "euclidean")
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) << 10
resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20),) * 2)
try:
    docs.insert(Endless())
except Exception as e:
    print("caught as Exception:", type(e).__name__)
except BaseException as e:
    print(type(e).__name__, type(e).__bases__ == (BaseException,), repr(str(e)))
print(docs.insert([3.0, 4.0], "after"), docs.search([0, 0]))
"""


@pytest.mark.skipif(os.environ.get("ORVANE_SANITIZED") == "1",
                    reason="AddressSanitizer reserves more address space than the limit")
def test_a_failed_allocation_raises_panic_exception_and_leaves_the_database_usable():
    run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["PanicException True 'std::bad_alloc'",
                                       "after [{'id': 'after', 'score': 5.0}]"]
