"""What a collection holds after its pages are replayed at open.

Pages are replayed in slot order. Vector data page: a vector record with the
collection's dimension stores its vector (the latest record of an external id
wins, and so does the latest record of an internal id); a deletion marker
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
    externals: dict[int, str] = field(default_factory=dict)  # the index: internal -> external
    id_length: int | None = None  # byte length of the latest vector record's id

    @property
    def live(self) -> set[int]:
        return set(self.externals)

    @property
    def live_count(self) -> int:
        return len(self.externals)

    def apply_vector(self, ext: str, internal: int) -> None:
        old = self.ids.get(ext)
        if old is not None and old != internal:
            del self.externals[old]
        other = self.externals.get(internal)
        if other is not None and other != ext:
            del self.ids[other]  # one internal id names one vector: the later record took it
        self.ids[ext] = internal
        self.externals[internal] = ext

    def apply_marker(self, ext: str) -> None:
        internal = self.ids.pop(ext, None)
        if internal is not None:
            del self.externals[internal]


def replay_vectors(page: Page | None, dimension: int) -> VectorReplay:
    out = VectorReplay()
    if page is None:
        return out
    for _slot, rec in page.records():
        r = decode_data_record(rec)
        if isinstance(r, DeletionMarker):
            out.apply_marker(r.external_id)
        elif isinstance(r, VectorRecord) and r.complete:
            out.id_length = len(r.external_id.encode())
            if r.dimension == dimension:  # the index refuses any other length
                out.apply_vector(r.external_id, r.internal_id)
    return out


def metadata_documents_by_id(page: Page | None) -> dict[str, bytes]:
    """The documents after replay, id -> JSON text: a record whose rest is one
    JSON value stores its document, a deletion marker removes the documents
    before it."""
    docs: dict[str, bytes] = {}
    if page is None:
        return docs
    for _slot, rec in page.records():
        r = decode_metadata_record(rec)
        if isinstance(r, str):
            continue
        if not r.json_text:
            docs.pop(r.external_id, None)
            continue
        try:
            parse_json(r.json_text)
        except ValueError:
            continue
        docs[r.external_id] = r.json_text
    return docs


def metadata_documents(page: Page | None) -> int:
    return len(metadata_documents_by_id(page))
