#!/usr/bin/env python3
"""Fails when a layer includes a header of a layer above it.

Arrows point down: binding -> engine -> index -> storage.
"""
import pathlib
import re
import sys

ORDER = ["storage", "index", "engine", "binding"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    problems = []
    for rank, layer in enumerate(ORDER):
        for path in sorted((root / layer).glob("*.[ch]*")):
            for lineno, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                m = INCLUDE.match(line)
                if m and m.group(1) in ORDER and ORDER.index(m.group(1)) > rank:
                    problems.append(f"{path.relative_to(root)}:{lineno}: {layer} includes {m.group(1)}")
    for p in problems:
        print(p)
    if not problems:
        print("layers ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
