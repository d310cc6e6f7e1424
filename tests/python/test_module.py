"""The extension module and its two classes: names, signatures, slots."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import orvane
from orvane import _native
from orvane._native import Kestrum, PyCollection


def test_module_and_classes_hold_exactly_the_frozen_names():
    assert _native.__all__ == ["Kestrum", "PyCollection"]
    assert [name for name in vars(_native) if not name.startswith("__")] == _native.__all__
    assert orvane.Kestrum is Kestrum and orvane.PyCollection is PyCollection
    assert {"Kestrum", "PyCollection", "connect"} <= set(orvane.__all__)
    assert [(c.__name__, c.__qualname__, c.__module__, c.__doc__) for c in (Kestrum, PyCollection)
            ] == [(n, n, "orvane._native", None) for n in ("Kestrum", "PyCollection")]
    assert str(inspect.signature(Kestrum)) == "(path)"
    assert PyCollection.__text_signature__ is None

    def own(cls):
        return {name for name in vars(cls) if not name.startswith("__")}

    assert own(Kestrum) == {"create_collection", "get_collection", "list_collections", "close"}
    assert own(PyCollection) == {"insert", "search", "delete", "name", "dimension"}
    assert {"__enter__", "__exit__"} <= set(vars(Kestrum))
    assert {"__len__", "__repr__"} <= set(vars(PyCollection))


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("orvane._native")
    try:
        second = importlib.import_module("orvane._native")
        assert second is first
        assert second.Kestrum is Kestrum
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
                interp,
                f"import sys; sys.path.insert(0, {package_root!r}); import orvane._native",
            )
        assert str(info.value) == (
            "<class 'ImportError'>: orvane._native does not support sub-interpreters"
        )
    finally:
        interpreters.destroy(interp)
    # The refusal leaves the first interpreter's module working.
    assert sys.modules["orvane._native"] is _native


@pytest.mark.parametrize(
    "owner, method, text_signature, bound",
    [
        (Kestrum, "create_collection", "($self, name, dim, distance=None)", "(name, dim, distance=None)"),
        (Kestrum, "get_collection", "($self, name)", "(name)"),
        (Kestrum, "list_collections", "($self)", "()"),
        (Kestrum, "close", "($self)", "()"),
        (Kestrum, "__enter__", "($self)", "()"),
        (Kestrum, "__exit__", "($self, _exc_type, _exc_val, _exc_tb)", "(_exc_type, _exc_val, _exc_tb)"),
        (PyCollection, "insert", "($self, vector, id=None)", "(vector, id=None)"),
        (PyCollection, "search", "($self, vector, top_k=None)", "(vector, top_k=None)"),
        (PyCollection, "delete", "($self, id)", "(id)"),
    ],
)
def test_method_signatures(db, docs, owner, method, text_signature, bound):
    function = getattr(owner, method)
    assert function.__text_signature__ == text_signature
    assert function.__doc__ is None
    instance = db if owner is Kestrum else docs
    assert str(inspect.signature(getattr(instance, method))) == bound


def test_collection_has_no_constructor():
    with pytest.raises(TypeError) as info:
        PyCollection()
    assert str(info.value) == "No constructor defined for PyCollection"
    with pytest.raises(TypeError) as info:
        PyCollection.__new__(PyCollection, "docs", 3)
    assert str(info.value) == "No constructor defined for PyCollection"


def test_kestrum_can_be_subclassed_collection_cannot(db_path):
    class Store(Kestrum):
        pass

    store = Store(db_path)
    with store as entered:
        assert entered is store
    assert store.create_collection("a", 2).dimension == 2
    with pytest.raises(TypeError):

        class Handle(PyCollection):
            pass


def test_collection_attributes(db):
    handle = db.create_collection("docs", 3)
    assert type(handle).__name__ == "PyCollection"
    assert isinstance(handle, PyCollection)
    assert repr(handle) == "Collection(name='docs', dim=3)"
    assert handle.name == "docs" and handle.dimension == 3
    with pytest.raises(AttributeError):
        handle.name = "other"
    with pytest.raises(AttributeError):
        handle.dimension = 4
    with pytest.raises(AttributeError):
        handle.extra = 1


def test_repr_inserts_the_name_raw(db):
    assert repr(db.create_collection("it's", 0)) == "Collection(name='it's', dim=0)"
    assert repr(db.create_collection("", 7)) == "Collection(name='', dim=7)"
    huge = db.create_collection("big", 2**64 - 1)
    assert repr(huge) == "Collection(name='big', dim=18446744073709551615)"
    assert huge.dimension == 2**64 - 1


PANIC_SCRIPT = textwrap.dedent(
    """
    import itertools, resource, sys, tempfile, os
    from orvane import Kestrum

    class Endless:
        # A sequence whose items never end: the vector outgrows the memory limit.
        def __len__(self):
            return 0
        def __getitem__(self, i):
            raise IndexError
        def __iter__(self):
            return itertools.repeat(1.0, 1 << 30)

    db = Kestrum(os.path.join(tempfile.mkdtemp(), "p.db"))
    docs = db.create_collection("docs", 2, "euclidean")
    with open("/proc/self/status") as status:
        vm_kib = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
    limit = (vm_kib << 10) + (64 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
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


@pytest.mark.skipif(os.environ.get("ORVANE_SANITIZED") == "1",
                    reason="AddressSanitizer reserves more address space than the limit")
def test_internal_fault_raises_panic_exception():
    run = subprocess.run([sys.executable, "-c", PANIC_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "PanicException True 'std::bad_alloc'",
        "after [{'id': 'after', 'score': 5.0}]",
    ]
