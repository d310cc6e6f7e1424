"""`verify` checks of one slotted page and of the records its role implies.

Each check returns the slots whose records are sound enough to read further,
so one fault is reported once rather than again by every later check.
"""

from __future__ import annotations

from ._catalog import parse_json
from ._replay import VectorReplay
from ._findings import Findings, at_page, quote, plural
from ._format import (
    MAX_HNSW_LEVEL,
    MAX_SLOTS,
    PAGE_SIZE,
    PAGE_TYPE_NAMES,
    RECORD_AREA_START,
    DeletionMarker,
    EdgeHeader,
    EdgeNode,
    Page,
    decode_data_record,
    decode_edge_header,
    decode_edge_node,
    decode_metadata_record,
)


def check_page_type(page: Page, expected: int, out: Findings) -> None:
    if page.page_type == expected or page.is_blank():
        return
    out.error(
        at_page(page.page_id),
        f"page type {page.page_type}, expected {expected} ({PAGE_TYPE_NAMES[expected]})",
    )


def check_directory(page: Page, out: Findings) -> list[int]:
    """Slot directory bounds; returns the slots whose records can be read."""
    if page.is_blank():
        return []
    where = at_page(page.page_id)
    count, free = page.slot_count, page.free_offset
    if count > MAX_SLOTS:
        out.error(where, f"slot_count {count} exceeds {MAX_SLOTS}")
        return []
    if not RECORD_AREA_START <= free <= PAGE_SIZE:
        out.error(where, f"free_offset {free} outside {RECORD_AREA_START}..{PAGE_SIZE}")
        return []
    sound, spans = [], []
    for slot in range(count):
        e = page.entry(slot)
        here = at_page(page.page_id, slot)
        if e.length == 0:
            sound.append(slot)  # an empty record: its role decides
        elif e.offset < RECORD_AREA_START:
            out.error(
                here, f"record offset {e.offset} lies before the record area ({RECORD_AREA_START})"
            )
        elif e.offset + e.length > free:
            end = e.offset + e.length
            out.error(here, f"record {e.offset}..{end} runs past free_offset {free}")
        else:
            sound.append(slot)
            spans.append((e.offset, e.offset + e.length, slot))
    spans.sort()
    for (_, end, prev), (start, _, slot) in zip(spans, spans[1:]):
        if start < end:
            out.error(at_page(page.page_id, slot), f"record overlaps the record of slot {prev}")
    return sound


def check_data_records(page: Page, slots: list[int], dimension: int, out: Findings) -> None:
    """Vector records and deletion markers, replayed in slot order."""
    state = VectorReplay()
    for slot in slots:
        here = at_page(page.page_id, slot)
        rec = page.record(slot) or b""
        r = decode_data_record(rec)
        if isinstance(r, str):
            out.error(here, r if rec else "empty record")
            continue
        if isinstance(r, DeletionMarker):
            state.apply_marker(r.external_id)
            continue
        expected = 16 + len(r.external_id.encode()) + 4 * r.dimension
        if not r.exact:
            out.error(
                here,
                f"vector record of {len(rec)} bytes, expected {expected} "
                f"for {r.dimension} components",
            )
            continue
        if r.dimension != dimension:
            out.error(
                here,
                f"vector of {r.dimension} components in a collection of dimension {dimension}",
            )
            continue
        if r.internal_id == 0:
            out.error(here, "internal id 0 (ids start at 1)")
        other = state.externals.get(r.internal_id)
        if other is not None and other != r.external_id:
            out.warn(
                here,
                f"internal id {r.internal_id} of {quote(r.external_id)} "
                f"replaces the vector of {quote(other)}",
            )
        state.apply_vector(r.external_id, r.internal_id)


def check_metadata_records(page: Page, slots: list[int], out: Findings) -> None:
    for slot in slots:
        here = at_page(page.page_id, slot)
        rec = page.record(slot) or b""
        r = decode_metadata_record(rec)
        if isinstance(r, str):
            out.error(here, r if rec else "empty record")
            continue
        if not r.json_text:
            continue  # a deletion marker
        try:
            parse_json(r.json_text)
        except ValueError:
            out.error(here, f"metadata of {quote(r.external_id)} is not one JSON value")


def check_edge_snapshot(page: Page, slots: list[int], live: set[int] | None, out: Findings) -> None:
    """The latest snapshot: header in slot 0, one node record per slot 1..N.
    `live` (internal ids of the collection) is None for a collection that is not hnsw."""
    count = page.slot_count
    if page.is_blank() or count == 0 or len(slots) != count:
        return  # no snapshot, or the directory was already reported
    head = decode_edge_header(page.record(0) or b"")
    if isinstance(head, str):
        out.error(at_page(page.page_id, 0), head)
        return
    nodes = _check_nodes(page, head, out)
    if nodes is None:
        return
    where = at_page(page.page_id, 0)
    if head.entry_point == 0 and nodes:
        out.error(where, f"no entry point for {plural(len(nodes), 'node')}")
    elif head.entry_point != 0 and head.entry_point not in nodes:
        out.error(where, f"entry point {head.entry_point} is not a node of the snapshot")
    links = [i for n in nodes.values() for ids in n.lists.values() for i in ids]
    dangling = sum(1 for i in links if i not in nodes)
    page_where = at_page(page.page_id)
    if dangling:
        out.warn(page_where, f"{plural(dangling, 'neighbour link')} to ids without a node")
    if live is None:
        return
    gone, missing = len(set(nodes) - live), len(live - set(nodes))
    if gone:
        nodes_gone = plural(gone, "snapshot node")
        out.warn(page_where, f"{nodes_gone} without a live vector (deleted since)")
    if missing:
        out.warn(page_where, f"{plural(missing, 'live vector')} missing from the snapshot")


def _check_nodes(page: Page, head: EdgeHeader, out: Findings) -> dict[int, EdgeNode] | None:
    where = at_page(page.page_id, 0)
    count = page.slot_count
    if head.max_level > MAX_HNSW_LEVEL:
        out.error(where, f"max_level {head.max_level} above {MAX_HNSW_LEVEL}")
        return None
    if head.node_count != count - 1:
        counted = plural(head.node_count, "node")
        out.error(where, f"header counts {counted}, the page holds {count - 1} node records")
    nodes: dict[int, EdgeNode] = {}
    sound = True
    for slot in range(1, count):
        here = at_page(page.page_id, slot)
        node = decode_edge_node(page.record(slot) or b"")
        if isinstance(node, str):
            out.error(here, node)
            sound = False
        elif node.node_id in nodes or node.node_id == 0:
            out.error(here, f"node {node.node_id} is recorded twice or is not an id")
            sound = False
        elif node.level > head.max_level:
            above = f"above max_level {head.max_level}"
            out.error(here, f"node {node.node_id} has level {node.level}, {above}")
            sound = False
        else:
            nodes[node.node_id] = node
    return nodes if sound else None

