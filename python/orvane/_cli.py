"""Command line: python3 -m orvane inspect|verify FILE, export FILE COLLECTION DIR,
convert SRC DST.

Exit status: 0 success (verify: the file is sound), 1 the file is not a sound
database (or not a database, or has no such collection), 2 usage error or
unreadable file.
"""

from __future__ import annotations

import argparse
import json
import sys

from ._convert import main as convert_main
from ._findings import plural
from ._inspect import NotADatabase, inspect_file, render_text
from ._verify import verify_file

EXIT_OK, EXIT_PROBLEMS, EXIT_USAGE = 0, 1, 2


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m orvane",
        description="Look inside an orvane database file without changing it, or copy it "
        "into a new format-2 file.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    ins = sub.add_parser("inspect", help="header, collections, vector counts, page fill")
    ins.add_argument("file", metavar="FILE")
    ins.add_argument("--json", action="store_true", help="machine-readable output")
    ver = sub.add_parser("verify", help="check every invariant of the file format")
    ver.add_argument("file", metavar="FILE")
    exp = sub.add_parser("export", help="write a collection as DIR/vectors.npy and "
                                        "DIR/records.jsonl (id, metadata per line)")
    exp.add_argument("file", metavar="FILE")
    exp.add_argument("collection", metavar="COLLECTION")
    exp.add_argument("directory", metavar="DIR")
    exp.add_argument("--progress", action="store_true", help="show a progress bar")
    conv = sub.add_parser("convert", help="copy a database into a new format-2 file")
    conv.add_argument("src", metavar="SRC")
    conv.add_argument("dst", metavar="DST", help="must not exist")
    return parser


def _unreadable(path: str, err: OSError) -> int:
    print(f"orvane: cannot read {path}: {err.strerror or err}", file=sys.stderr)
    return EXIT_USAGE


def _inspect(path: str, as_json: bool) -> int:
    try:
        report = inspect_file(path)
    except OSError as err:
        return _unreadable(path, err)
    except NotADatabase as err:
        print(f"orvane: {path}: {err}", file=sys.stderr)
        return EXIT_PROBLEMS
    if as_json:
        print(json.dumps(report, ensure_ascii=False, indent=2))
    else:
        sys.stdout.write(render_text(report))
    return EXIT_OK


def _verify(path: str) -> int:
    try:
        result = verify_file(path)
    except OSError as err:
        return _unreadable(path, err)
    findings = result.findings
    for f in findings.items:
        print(f)
    if findings.errors:
        errors, warnings = plural(findings.errors, "error"), plural(findings.warnings, "warning")
        print(f"not sound: {errors}, {warnings}")
        return EXIT_PROBLEMS
    summary = (
        f"ok: {plural(result.collections, 'collection')}, {plural(result.vectors, 'vector')}, "
        f"{plural(result.pages, 'page')}"
    )
    if result.pending_frames:
        summary += f", {plural(result.pending_frames, 'pending log frame')} included"
    if findings.warnings:
        summary += f", {plural(findings.warnings, 'warning')}"
    print(summary)
    return EXIT_OK


def _export(path: str, name: str, directory: str, progress: bool) -> int:
    from ._errors import CollectionNotFoundError, Error, StorageError
    from ._export import export_collection
    try:
        count = export_collection(path, name, directory, progress)
    except (CollectionNotFoundError, StorageError) as err:
        print(f"orvane: {path}: {err}", file=sys.stderr)
        return EXIT_PROBLEMS
    except (Error, OSError) as err:
        print(f"orvane: {err}", file=sys.stderr)
        return EXIT_USAGE
    print(f"exported {plural(count, 'vector')} to {directory}")
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.command == "inspect":
        return _inspect(args.file, args.json)
    if args.command == "export":
        return _export(args.file, args.collection, args.directory, args.progress)
    if args.command == "convert":
        return convert_main(args.src, args.dst)
    return _verify(args.file)
