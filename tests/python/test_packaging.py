"""The package as installed: the wheel the in-tree backend writes, the version, the example."""

import base64
import hashlib
import importlib.machinery
import os
import pathlib
import subprocess
import sys
import types
import zipfile

import pytest

import orvane
from orvane import _core, _native

COMPILED = (_native.__file__, _core.__file__,
            os.path.join(os.path.dirname(_native.__file__), "liborvane.so"))
ROOT = pathlib.Path(__file__).resolve().parents[2]


def load_backend(*compiled):
    """The build backend, with the `compiled` files standing in for a CMake build."""
    # A fresh module object per call, so each test's stand-in stays its own.
    path = ROOT / "tools" / "build_backend" / "orvane_build.py"
    module = types.ModuleType("orvane_build")
    module.__file__ = str(path)
    exec(compile(path.read_text(), str(path), "exec"), module.__dict__)
    module._build_extension = lambda: [pathlib.Path(f) for f in compiled]
    return module


@pytest.fixture(scope="module")
def backend():
    return load_backend(*COMPILED)


@pytest.fixture(scope="module")
def wheel(backend, tmp_path_factory):
    """The wheel built once around the extension under test (compressing it takes a while)."""
    directory = tmp_path_factory.mktemp("wheel")
    return directory / backend.build_wheel(str(directory))


def test_wheel_contents_and_record(backend, wheel):
    assert backend.get_requires_for_build_wheel() == []
    name = wheel.name
    major, minor = sys.version_info[:2]
    assert name == f"orvane-{orvane.__version__}-cp{major}{minor}-cp{major}{minor}-linux_x86_64.whl"
    dist_info = f"orvane-{orvane.__version__}.dist-info"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        for required in ("orvane/__init__.py", "orvane/py.typed", "orvane/_native.pyi",
                         "orvane/_core.pyi", *("orvane/" + os.path.basename(f) for f in COMPILED),
                         f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD"):
            assert required in names
        assert not any("__pycache__" in n or n.endswith(".pyc") for n in names)
        wheel_file = archive.read(f"{dist_info}/WHEEL").decode()
        assert f"Tag: cp{major}{minor}-cp{major}{minor}-linux_x86_64\n" in wheel_file
        assert "Root-Is-Purelib: false\n" in wheel_file
        metadata = archive.read(f"{dist_info}/METADATA").decode()
        assert f"Name: orvane\nVersion: {orvane.__version__}\n" in metadata
        record = archive.read(f"{dist_info}/RECORD").decode().splitlines()
        assert sorted(line.split(",")[0] for line in record) == sorted(names)
        for line in record:
            path, digest, size = line.split(",")
            if path.endswith("RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            assert digest == "sha256=" + expected.decode() and int(size) == len(data)


def test_wheels_are_reproducible(tmp_path):
    stand_in = tmp_path / ("_native" + importlib.machinery.EXTENSION_SUFFIXES[0])
    stand_in.write_bytes(b"not really a module")
    backend = load_backend(stand_in)
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    name = backend.build_wheel(str(first))
    assert backend.build_wheel(str(second)) == name
    assert (first / name).read_bytes() == (second / name).read_bytes()
    with zipfile.ZipFile(first / name) as archive:
        assert archive.read("orvane/" + stand_in.name) == b"not really a module"
        assert archive.getinfo("orvane/" + stand_in.name).external_attr >> 16 == 0o755
        assert archive.getinfo("orvane/__init__.py").external_attr >> 16 == 0o644


def test_unpacked_wheel_imports(wheel, tmp_path):
    site = tmp_path / "site"
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(site)
    run = subprocess.run(
        [sys.executable, "-c",
         "import orvane; print(orvane.__file__, orvane.Kestrum.__name__, orvane.connect.__name__)"],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(site)}, check=True)
    assert run.stdout == f"{site / 'orvane' / '__init__.py'} Kestrum connect\n"


def test_quickstart_example_runs():
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")],
                         capture_output=True, text=True, check=True)
    lines = run.stdout.splitlines()
    assert lines[0].startswith("inserted 4 vectors into Collection(name='docs', dim=3); "
                               "the last got the id 'doc_")
    assert lines[1:] == [
        "  north-east   0.3606",
        "  east         0.4123",
        "reopened ['docs']: 4 vectors",
        "  north-east   0.3606",
        "  east         0.4123",
    ]
