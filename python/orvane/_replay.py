"""What a collection holds after its pages are replayed at open.

Vector data page, in slot order: a vector record whose D components are all
present registers its id (the last record of an id wins); a deletion marker
hides the records before it, so a vector inserted again after a delete is
live again. Records the engine skips are skipped here too.
"""

from __future__ import annotations

from dataclasses import dataclass, field

from ._catalog import parse_json
from ._format import (
    DeletionMarker,
    Page,
    VectorRecord,
    decode_data_record,
    decode_metadata_record,
)


@dataclass
class VectorReplay:
    ids: dict[str, int] = field(default_factory=dict)  # external id -> internal id
    live: set[int] = field(default_factory=set)  # internal ids in the index
    id_length: int | None = None  # byte length of the latest vector record's id

    @property
    def live_count(self) -> int:
        return len(self.live)


def replay_vectors(page: Page | None, dimension: int) -> VectorReplay:
    out = VectorReplay()
    if page is None:
        return out
    for _slot, rec in page.records():
        r = decode_data_record(rec)
        if isinstance(r, DeletionMarker):
            internal = out.ids.pop(r.external_id, None)
            if internal is not None:
                out.live.discard(internal)
        elif isinstance(r, VectorRecord) and r.complete:
            out.id_length = len(r.external_id.encode())
            if r.dimension == dimension:  # the index refuses any other length
                out.live.add(r.internal_id)
            out.ids[r.external_id] = r.internal_id
    return out


def metadata_documents(page: Page | None) -> int:
    """Documents the metadata store holds after replay: the latest record per id
    whose rest is one JSON value. Markers do not remove documents at load."""
    docs: set[str] = set()
    if page is None:
        return 0
    for _slot, rec in page.records():
        r = decode_metadata_record(rec)
        if isinstance(r, str) or not r.json_text.strip(b" \t\n\r"):
            continue
        try:
            parse_json(r.json_text)
        except ValueError:
            continue
        docs.add(r.external_id)
    return len(docs)
