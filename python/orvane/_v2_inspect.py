"""`inspect` of a format-2 file: header, catalog, collections, streams, graph.

Reads the main file only, as the classic inspect does; a damaged structure
ends the report with Damaged (verify lists every fault).
"""

from __future__ import annotations

import datetime

from ._database_file import DatabaseFile
from ._findings import plural, quote
from ._v2_file import Stream, V2Collection, V2File
from ._v2_format import V2_MAGIC
from ._v2_snapshot import check_snapshot


def _stream(s: Stream) -> dict:
    return {"root": s.root, "bytes": s.length, "pages": len(s.pages)}


def _collection(f: V2File, c: V2Collection) -> dict:
    cfg = c.entry.config
    live = c.live
    documents = sum(1 for i in live if c.slots[i].metadata_length)
    for i in live:
        c.id_of(i)
    graph = c.streams["graph"]
    snapshot = None
    if graph.length:
        snap = check_snapshot(f.read(graph, 0, graph.length, c.who), c.slots)
        snapshot = {"nodes": snap.nodes, "entry_point": snap.entry, "max_level": snap.max_level,
                    "stale": snap.stale, "missing": snap.missing}
    return {
        "name": c.entry.name,
        "dimension": cfg.dimension,
        "distance": cfg.metric,
        "index": cfg.index_type,
        "m": cfg.m,
        "ef_construction": cfg.ef_construction,
        "ef_search": cfg.ef_search,
        "vectors": len(live),
        "free_slots": len(c.slots) - len(live),
        "metadata_documents": documents,
        "streams": {k: _stream(s) for k, s in c.streams.items()},
        "snapshot": snapshot,
    }


def inspect_v2(db: DatabaseFile, log: dict | None) -> dict:
    """Raises Damaged for a file that does not decode."""
    f = V2File(db)
    h = f.header
    catalog, entries = f.catalog()
    collections = [_collection(f, f.collection(e)) for e in entries if e.live]
    used = len(catalog.pages) + sum(
        c["streams"][k]["pages"] for c in collections for k in c["streams"])
    return {
        "file": db.path,
        "format": 2,
        "size": db.size,
        "page_count": db.file_pages,
        "header": {
            "magic": V2_MAGIC.rstrip(b"\0").decode(),
            "version": h.version,
            "page_size": h.page_size,
            "page_count": h.page_count,
            "catalog_root": h.catalog_root,
            "change_counter": h.change_counter,
            "created_at": h.created_at,
        },
        "log": log,
        "catalog": {**_stream(catalog), "entries": len(entries),
                    "dead_entries": sum(1 for e in entries if not e.live)},
        "pages": {"used": used + 1, "free": max(h.page_count - used - 1, 0)},
        "collections": collections,
    }


def render_v2(r: dict, log_line: str) -> str:
    h = r["header"]
    when = datetime.datetime.fromtimestamp(min(h["created_at"], 253402300799),
                                           datetime.timezone.utc)
    cat = r["catalog"]
    lines = [
        f"file: {r['file']}",
        f"size: {r['size']} bytes, {r['page_count']} pages",
        f"magic: {quote(h['magic'])}, version {h['version']}, page_size {h['page_size']}",
        f"page_count: {h['page_count']}, catalog_root: {h['catalog_root']}, "
        f"change_counter: {h['change_counter']}",
        f"created_at: {h['created_at']} ({when:%Y-%m-%d %H:%M:%S} UTC)",
        log_line,
        f"catalog: {cat['bytes']} bytes on {plural(cat['pages'], 'page')}, "
        f"{cat['entries']} {'entry' if cat['entries'] == 1 else 'entries'} "
        f"({cat['dead_entries']} deleted)",
        f"pages: {r['pages']['used']} used, {r['pages']['free']} free",
        f"collections: {len(r['collections'])}",
    ]
    for c in r["collections"]:
        index = c["index"] if c["index"] == "flat" else (
            f"hnsw (M {c['m']}, ef_construction {c['ef_construction']}, ef {c['ef_search']})")
        lines.append(f"  {quote(c['name'])}: {c['distance']}, dimension {c['dimension']}, "
                     f"{index}, {plural(c['vectors'], 'vector')}, "
                     f"{plural(c['free_slots'], 'free slot')}, "
                     f"{plural(c['metadata_documents'], 'document')}")
        lines.append("    streams: " + ", ".join(
            f"{k} {s['bytes']} bytes on {plural(s['pages'], 'page')}"
            for k, s in c["streams"].items() if s["root"]))
        snap = c["snapshot"]
        if c["index"] == "hnsw":
            lines.append("    graph: " + ("no snapshot (built from the vectors at open)"
                                         if snap is None else
                                         f"snapshot of {plural(snap['nodes'], 'node')}, entry "
                                         f"point {snap['entry_point']}, max_level "
                                         f"{snap['max_level']}; {snap['stale']} stale, "
                                         f"{snap['missing']} to insert at open"))
    return "\n".join(lines) + "\n"
