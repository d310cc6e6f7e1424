"""`inspect`: what a database file holds, as a dict with stable keys and as text.

Reads the main file only; a left-over log's pending frames are counted and
reported, not applied.
"""

from __future__ import annotations

import datetime

from ._database_file import DatabaseFile, effective_collections
from ._findings import plural, quote
from ._format import (
    MAGIC,
    MAX_SLOTS,
    PAGE_SIZE,
    RECORD_AREA_SIZE,
    RECORD_AREA_START,
    VERSION,
    EdgeHeader,
    Page,
    decode_edge_header,
)
from ._log import log_path_for, pending, scan_log
from ._replay import metadata_documents, replay_vectors
from ._v2_format import V2_MAGIC, Damaged
from ._v2_inspect import inspect_v2, render_v2

GENERATED_ID_BYTES = 9  # "doc_10000": the id length assumed before any vector is stored


class NotADatabase(Exception):
    """The file is readable but is not an orvane database this tool understands."""


def _page_info(db: DatabaseFile, page_id: int) -> dict | None:
    if page_id == 0:
        return None
    page = db.page(page_id)
    if page is None:
        return {"id": page_id, "present": False}
    return {
        "id": page_id,
        "present": True,
        "type": page.page_type,
        "bytes_used": page.bytes_used(),
        "bytes_total": RECORD_AREA_SIZE,
        "slots_used": page.slots_used(),
        "slots_total": MAX_SLOTS,
    }


def _room(page: Page | None, dimension: int, id_bytes: int) -> int:
    """More vector records of this shape that fit before "Vector data page full"."""
    if page is None:
        return 0
    fresh = page.is_blank()
    free = page.free_offset
    if not fresh and not RECORD_AREA_START <= free <= PAGE_SIZE:
        return 0
    left = RECORD_AREA_SIZE if fresh else PAGE_SIZE - free
    return min(left // (16 + id_bytes + 4 * dimension), max(MAX_SLOTS - page.slot_count, 0))


def _snapshot(page: Page | None) -> dict | None:
    if page is None or page.slot_count == 0:
        return None
    head = decode_edge_header(page.record(0) or b"")
    if not isinstance(head, EdgeHeader):
        return None
    return {"entry_point": head.entry_point, "max_level": head.max_level, "nodes": head.node_count}


def inspect_file(path: str) -> dict:
    """Raises OSError when unreadable, NotADatabase when not a database."""
    with DatabaseFile(path) as db:
        if db.magic() == V2_MAGIC:
            try:
                return inspect_v2(db, _log_info(path, db.size))
            except Damaged as err:
                raise NotADatabase(f"damaged format-2 file: {err}") from None
        header = db.header()
        if header is None or header.magic != MAGIC:
            raise NotADatabase("not an orvane database (no \"Kestrum v1\" magic)")
        if header.version != VERSION:
            raise NotADatabase(f"unsupported format version {header.version}")
        if header.page_size != PAGE_SIZE:
            raise NotADatabase(f"unsupported page size {header.page_size}")
        slots = db.catalog(header)
        report = {
            "file": path,
            "size": db.size,
            "page_count": db.file_pages,
            "header": {
                "magic": header.magic_text(),
                "version": header.version,
                "page_size": header.page_size,
                "next_page_id": header.next_page_id,
                "catalog_page_id": header.catalog_page_id,
                "created_at": header.created_at,
            },
            "log": _log_info(path, db.size),
            "catalog": _page_info(db, header.catalog_page_id),
            "skipped_catalog_records": [
                {"slot": s.slot, "reason": s.error} for s in slots if s.config is None
            ],
            "collections": [_collection(db, s) for s in effective_collections(slots)],
        }
    return report


def _log_info(path: str, db_size: int) -> dict | None:
    scan = scan_log(log_path_for(path))
    if scan is None:
        return None
    todo = pending(scan, db_size)
    return {
        "path": scan.path,
        "size": scan.size,
        "valid": not scan.problems,
        "pending_frames": len(todo.frames),
        "pending_calls": todo.calls,
    }


def _collection(db: DatabaseFile, s) -> dict:
    c = s.config
    data = db.page(c.data_root_page) if c.data_root_page else None
    vectors = replay_vectors(data, c.dimension)
    id_bytes = vectors.id_length if vectors.id_length is not None else GENERATED_ID_BYTES
    meta = db.page(c.metadata_root_page) if c.metadata_root_page else None
    edges = _page_info(db, c.hnsw_edge_page)
    if edges is not None and edges["present"]:
        edges["snapshot"] = _snapshot(db.page(c.hnsw_edge_page))
    return {
        "name": c.name,
        "catalog_slot": s.slot,
        "dimension": c.dimension,
        "distance": c.distance,
        "description": c.description,
        "index_type": c.index_type,
        "index": "hnsw" if c.is_hnsw else "flat",
        "vectors": vectors.live_count,
        "metadata_documents": metadata_documents(meta),
        "pages": {
            "data": _page_info(db, c.data_root_page),
            "metadata": _page_info(db, c.metadata_root_page),
            "edges": edges,
        },
        "room": {"vectors": _room(data, c.dimension, id_bytes), "id_bytes": id_bytes},
    }


def _page_line(role: str, info: dict | None) -> str:
    if info is None:
        return f"{role} page: none"
    if not info["present"]:
        return f"{role} page {info['id']}: missing (beyond the end of the file)"
    return (
        f"{role} page {info['id']}: {info['bytes_used']} of {info['bytes_total']} bytes, "
        f"{info['slots_used']} of {info['slots_total']} slots"
    )


def render_text(r: dict) -> str:
    if r.get("format") == 2:
        return render_v2(r, _log_line(r["log"]))
    h = r["header"]
    last_second = 253402300799  # 9999-12-31 23:59:59, the last time datetime shows
    when = datetime.datetime.fromtimestamp(min(h["created_at"], last_second), datetime.timezone.utc)
    lines = [
        f"file: {r['file']}",
        f"size: {r['size']} bytes, {r['page_count']} pages",
        f"magic: {quote(h['magic'])}, version {h['version']}, page_size {h['page_size']}",
        f"next_page_id: {h['next_page_id']}, catalog_page_id: {h['catalog_page_id']}",
        f"created_at: {h['created_at']} ({when:%Y-%m-%d %H:%M:%S} UTC)",
        _log_line(r["log"]),
        _page_line("catalog", r["catalog"]),
    ]
    for skipped in r["skipped_catalog_records"]:
        lines.append(f"  catalog slot {skipped['slot']} skipped: {skipped['reason']}")
    lines.append(f"collections: {len(r['collections'])}")
    for c in r["collections"]:
        lines.append(
            f"  {quote(c['name'])}: {c['distance']}, dimension {c['dimension']}, "
            f"{c['index']}, {plural(c['vectors'], 'vector')}"
        )
        room = c["room"]
        lines.append(
            f"    {_page_line('data', c['pages']['data'])}; room for "
            f"{plural(room['vectors'], 'more vector')} ({room['id_bytes']}-byte ids)"
        )
        lines.append(
            f"    {_page_line('metadata', c['pages']['metadata'])}; "
            f"{plural(c['metadata_documents'], 'document')}"
        )
        if c["index"] == "hnsw" or c["pages"]["edges"] is not None:
            lines.append(f"    {_edges_line(c['pages']['edges'])}")
    return "\n".join(lines) + "\n"


def _log_line(log: dict | None) -> str:
    if log is None:
        return "log: none"
    text = f"log: {log['path']}, {log['size']} bytes"
    if not log["valid"]:
        return text + ", header invalid (see verify)"
    if log["pending_frames"] == 0:
        return text + ", no pending frames"
    return (
        f"{text}, {plural(log['pending_frames'], 'pending frame')} of "
        f"{plural(log['pending_calls'], 'call')} (applied at the next open; not shown below)"
    )


def _edges_line(info: dict | None) -> str:
    line = _page_line("edges", info)
    if info is None:
        return line + " (graph rebuilt from the vectors at every open)"
    if not info["present"]:
        return line
    snap = info["snapshot"]
    if snap is None:
        return line + "; no snapshot (graph rebuilt from the vectors at open)"
    return (
        f"{line}; snapshot of {plural(snap['nodes'], 'node')}, entry point {snap['entry_point']}, "
        f"max_level {snap['max_level']}"
    )
