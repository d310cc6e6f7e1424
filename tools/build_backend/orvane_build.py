"""PEP 517 build backend for orvane.

Builds the extension module with CMake and writes the wheel with the standard
library alone (zipfile, hashlib): no setuptools, no wheel package, nothing
downloaded. The pure-Python files come from the source tree, the compiled
modules and the engine library they share from the CMake build directory:

* ORVANE_CMAKE_BUILD_DIR set: that directory is reused (configured first if
  it has never been), and only the modules' targets are built in it;
* otherwise: build/wheel in the source tree, configured as a Release build
  without the test suites, for the interpreter running this backend.
"""

import base64
import hashlib
import importlib.machinery
import os
import pathlib
import subprocess
import sys
import sysconfig
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = "orvane"
# Fixed timestamps keep the wheel byte-for-byte reproducible.
ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)


def _project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _dist_info_name(project):
    return f"{project['name']}-{project['version']}.dist-info"


def _tag():
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{python}-{python}-{platform}"


def _metadata(project):
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {project['name']}\n"
        f"Version: {project['version']}\n"
        f"Summary: {project['description']}\n"
        f"Requires-Python: {project['requires-python']}\n"
    ).encode()


def _wheel_file():
    return (
        "Wheel-Version: 1.0\n"
        "Generator: orvane_build\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {_tag()}\n"
    ).encode()


def _run(*command):
    # pip shows this output when the build fails (or with -v).
    print("+", " ".join(str(part) for part in command), file=sys.stderr, flush=True)
    subprocess.run([str(part) for part in command], check=True, stdout=sys.stderr)


def _build_extension():
    """Builds the compiled targets; returns the paths of the files they make.

    Both extension modules link the engine's shared library, which the wheel
    carries beside them.
    """
    given = os.environ.get("ORVANE_CMAKE_BUILD_DIR")
    build_dir = pathlib.Path(given) if given else ROOT / "build" / "wheel"
    if not (build_dir / "CMakeCache.txt").exists():
        _run("cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
             "-DORVANE_BUILD_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}")
    _run("cmake", "--build", build_dir, "--target", "_native", "_core", "orvane_py_package",
         "-j", str(os.cpu_count() or 1))
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    stage = build_dir / "python" / PACKAGE
    files = [stage / f"_native{suffix}", stage / f"_core{suffix}", stage / "liborvane.so"]
    for path in files:
        if not path.is_file():
            found = sorted(p.name for p in stage.glob("*.so"))
            raise RuntimeError(f"{path} was not built (found {found}); the build directory "
                               f"was configured for another Python than {sys.executable}")
    return files


def _package_files(compiled):
    """(archive name, path) of every file that goes into the wheel."""
    source = ROOT / "python" / PACKAGE
    files = [(f"{PACKAGE}/{path.name}", path) for path in sorted(source.iterdir())
             if path.is_file() and path.suffix != ".pyc"]
    files += [(f"{PACKAGE}/{path.name}", path) for path in compiled]
    return files


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _write(archive, name, data, executable=False):
    info = zipfile.ZipInfo(name, date_time=ZIP_EPOCH)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = (0o755 if executable else 0o644) << 16
    archive.writestr(info, data)


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    dist_info = pathlib.Path(metadata_directory) / _dist_info_name(project)
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_bytes(_metadata(project))
    (dist_info / "WHEEL").write_bytes(_wheel_file())
    return dist_info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    compiled = _build_extension()
    dist_info = _dist_info_name(project)
    wheel_name = f"{project['name']}-{project['version']}-{_tag()}.whl"
    record = []
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel_name, "w") as archive:
        for name, path in _package_files(compiled):
            data = path.read_bytes()
            _write(archive, name, data, executable=path in compiled)
            record.append(_record_line(name, data))
        for name, data in ((f"{dist_info}/METADATA", _metadata(project)),
                           (f"{dist_info}/WHEEL", _wheel_file())):
            _write(archive, name, data)
            record.append(_record_line(name, data))
        record.append(f"{dist_info}/RECORD,,\n")
        _write(archive, f"{dist_info}/RECORD", "".join(record).encode())
    return wheel_name
