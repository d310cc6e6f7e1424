#!/usr/bin/env python3
"""Prints test-code lines against product-code lines.

Test code: every *_test.cc, test helpers beside them (*test_util.h,
test_support.*, test_dir.h, mem_file.*, and the engine tests' random
workload), tests/ and fuzz/.  Product code:
storage, index, engine, binding, python/orvane and tools.  Lines are
non-blank lines of .cc/.h/.py files.  Exits 0 always; a ratio is a figure
to watch, not a gate.
"""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
PRODUCT = ("storage", "index", "engine", "binding", "python/orvane", "tools")
TEST_DIRS = ("tests", "fuzz")
SOURCE = {".cc", ".h", ".py"}


def is_test_helper(path):
    name = path.name
    return (name.endswith("_test.cc") or "test_util" in name
            or name.startswith("test_support") or name == "test_dir.h"
            or name.startswith("mem_file")
            or name == "random_workload.h")


def lines(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return sum(1 for line in f if line.strip())


def tracked_files():
    """The files git tracks (and untracked ones it does not ignore); every
    file when this is not a git checkout."""
    try:
        out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
        return [ROOT / name for name in out.decode().split("\0") if name]
    except (OSError, subprocess.CalledProcessError):
        return sorted(ROOT.rglob("*"))


def count(roots):
    test = product = 0
    for path in tracked_files():
        rel = path.relative_to(ROOT).as_posix()
        top = next((r for r in roots if rel.startswith(r + "/")), None)
        if top is None or path.suffix not in SOURCE or not path.is_file():
            continue
        n = lines(path)
        if top in TEST_DIRS or is_test_helper(path):
            test += n
        else:
            product += n
    return test, product


def main():
    test, product = count(PRODUCT + TEST_DIRS)
    ratio = test / product if product else 0.0
    print(f"test code {test} lines, product code {product} lines, "
          f"ratio {ratio:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
