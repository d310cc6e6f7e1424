"""The package as installed: the wheel the in-tree backend writes."""

import base64
import hashlib
import os
import pathlib
import subprocess
import sys
import types
import zipfile

import orvane
from orvane import _core, _native

COMPILED = (_native.__file__, _core.__file__,
            os.path.join(os.path.dirname(_native.__file__), "liborvane.so"))
ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_wheel_contents_record_and_import(tmp_path):
    path = ROOT / "tools" / "build_backend" / "orvane_build.py"
    backend = types.ModuleType("orvane_build")
    backend.__file__ = str(path)
    exec(compile(path.read_text(), str(path), "exec"), backend.__dict__)
    backend._build_extension = lambda: [pathlib.Path(f) for f in COMPILED]  # stands in for CMake
    wheel = tmp_path / backend.build_wheel(str(tmp_path))
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    dist_info = f"orvane-{orvane.__version__}.dist-info"
    assert wheel.name == f"orvane-{orvane.__version__}-{tag}-{tag}-linux_x86_64.whl"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        assert {"orvane/__init__.py", "orvane/py.typed", "orvane/_native.pyi", "orvane/_core.pyi",
                *("orvane/" + os.path.basename(f) for f in COMPILED)} <= set(names)
        assert not any("__pycache__" in n or n.endswith(".pyc") for n in names)
        info = {n: archive.read(f"{dist_info}/{n}").decode()
                for n in ("WHEEL", "METADATA", "RECORD")}
        assert f"Root-Is-Purelib: false\nTag: {tag}-{tag}-linux_x86_64\n" in info["WHEEL"]
        assert f"Name: orvane\nVersion: {orvane.__version__}\n" in info["METADATA"]
        record = [line.split(",") for line in info["RECORD"].split()]
        assert sorted(path for path, _, _ in record) == sorted(names)
        for path, digest, size in record[:-1]:  # RECORD itself comes last, without a hash
            sha = base64.urlsafe_b64encode(hashlib.sha256(archive.read(path)).digest())
            assert (digest, size) == (f"sha256={sha.rstrip(b'=').decode()}",
                                      str(len(archive.read(path))))
        assert record[-1] == [f"{dist_info}/RECORD", "", ""]
        archive.extractall(tmp_path / "site")
    run = subprocess.run(  # both compiled modules load from there
        [sys.executable, "-c", "import orvane; print(orvane.__file__, orvane.connect.__name__)"],
        capture_output=True, text=True, check=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path / "site")})
    assert run.stdout == f"{tmp_path / 'site' / 'orvane' / '__init__.py'} connect\n"
