"""The extension module and its two classes: import, sub-interpreters, types, panics."""

import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import orvane
from orvane import _native
from orvane._native import Kestrum, PyCollection


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
