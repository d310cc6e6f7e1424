"""`verify` of a format-2 file: every page reachable at most once and inside
page_count, directories and snapshots of the right kind, slots and heap
consistent. Pages no stream reaches are free (there is no free list)."""

from __future__ import annotations

import json

from ._database_file import DatabaseFile
from ._findings import Findings, plural, quote
from ._format import PAGE_SIZE
from ._v2_file import Stream, V2Collection, V2File
from ._v2_format import Damaged
from ._v2_snapshot import check_snapshot


def verify_v2(db: DatabaseFile, result) -> None:
    """Fills result (a VerifyResult) with findings and counts."""
    out = result.findings
    try:
        f = V2File(db)
    except Damaged as err:
        out.error("header", str(err).removeprefix("header: "))
        return
    h = f.header
    result.pages = h.page_count
    if db.effective_size % PAGE_SIZE:
        out.error("header", f"file length {db.size} is not a multiple of {PAGE_SIZE} (truncated?)")
    if h.page_count > db.page_count:
        out.warn("header", f"page_count {h.page_count} is beyond the end of the file "
                           f"({plural(db.page_count, 'page')})")
    owners = {0: "the header"}

    def claim(s: Stream, who: str) -> None:
        for p in s.pages:
            if p in owners:
                out.error(f"page {p}", f"reachable twice: from {owners[p]} and from {who}")
            else:
                owners[p] = who

    try:
        catalog, entries = f.catalog()
    except Damaged as err:
        out.error("catalog", str(err))
        return
    claim(catalog, "the catalog")
    for entry in entries:
        if not entry.live:
            continue
        result.collections += 1
        who = f"collection {quote(entry.name)}"
        try:
            c = f.collection(entry)
        except Damaged as err:
            out.error(who, _without(who, err))
            continue
        for kind, s in c.streams.items():
            claim(s, f"the {kind} stream of {who}")
        result.vectors += _check_collection(f, c, who, out)


def _check_collection(f: V2File, c: V2Collection, who: str, out: Findings) -> int:
    live, ids, extents = c.live, {}, []
    for i in live:
        s = c.slots[i]
        # A call stamps every slot it writes with its own change counter, so
        # slots share generations; none can come from a later call.
        if s.generation > f.header.change_counter:
            out.error(who, f"slot {i}: generation {s.generation} lies past the change "
                           f"counter {f.header.change_counter}")
        try:
            ext = c.id_of(i)
            c.metadata_of(i)
        except Damaged as err:
            out.error(who, _without(who, err))
            continue
        if ext in ids:
            out.error(who, f"slot {i}: id {json.dumps(ext, ensure_ascii=False)} is also slot "
                           f"{ids[ext]}'s")
        ids[ext] = i
        size = s.id_length + s.metadata_length
        if size:
            extents.append((s.heap_offset, s.heap_offset + size, i))
    extents.sort()
    for (_a, end, i), (start, _b, j) in zip(extents, extents[1:]):
        if start < end:
            out.error(who, f"slots {i} and {j}: heap records overlap at {start}")
    graph = c.streams["graph"]
    if c.entry.config.index_type != "hnsw" and graph.root:
        out.error(who, "a flat collection names a graph stream")
    elif graph.length:
        try:
            check_snapshot(f.read(graph, 0, graph.length, who), c.slots)
        except Damaged as err:
            out.error(who, f"{err} (ignored at open: the graph is rebuilt from the vectors)")
    return len(live)


def _without(who: str, err: Damaged) -> str:
    """The message without the collection it already names."""
    text = str(err)
    return text[len(who):].lstrip(": ") if text.startswith(who) else text
