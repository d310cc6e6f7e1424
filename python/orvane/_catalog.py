"""Decoding of catalog records: one JSON collection configuration per slot.

Accepted like the engine accepts them: a JSON object (members in any order,
unknown ones ignored, none given twice, `name` and `dimension` required) or an
array of the fields in order (at least `name` and `dimension`, at most all
eight; the rest take their defaults); white space around the value only;
metric names exact and case-sensitive; integers non-negative and below 2**64.
"""

from __future__ import annotations

import json
from dataclasses import dataclass

FIELDS = (
    "name",
    "dimension",
    "distance",
    "description",
    "data_root_page",
    "metadata_root_page",
    "hnsw_edge_page",
    "index_type",
)
METRICS = ("Cosine", "Euclidean", "DotProduct")
_TEXT_FIELDS = ("name", "description", "index_type")
_INT_FIELDS = ("dimension", "data_root_page", "metadata_root_page", "hnsw_edge_page")
_DEFAULTS = {
    "distance": "Cosine",
    "description": "",
    "data_root_page": 0,
    "metadata_root_page": 0,
    "hnsw_edge_page": 0,
    "index_type": "flat",
}
_JSON_SPACE = b" \t\n\r"


@dataclass(frozen=True)
class CollectionConfig:
    name: str
    dimension: int
    distance: str
    description: str
    data_root_page: int
    metadata_root_page: int
    hnsw_edge_page: int
    index_type: str

    @property
    def is_hnsw(self) -> bool:
        return self.index_type == "hnsw"

    def page_fields(self) -> list[tuple[str, int]]:
        return [
            ("data_root_page", self.data_root_page),
            ("metadata_root_page", self.metadata_root_page),
            ("hnsw_edge_page", self.hnsw_edge_page),
        ]


class _Object(dict):
    """A JSON object that remembers a member name given twice (the last value is kept)."""

    duplicate: str | None = None


def _pairs(pairs: list[tuple[str, object]]) -> _Object:
    obj = _Object()
    for key, value in pairs:
        if key in obj and obj.duplicate is None:
            obj.duplicate = key
        obj[key] = value
    return obj


def _no_constant(name: str) -> object:
    raise ValueError(f"{name} is not JSON")


def parse_json(raw: bytes) -> object:
    """One standard JSON value (UTF-8, white space around it only), or ValueError.

    Python's parser also takes NaN/Infinity and lone surrogate escapes; both are
    refused here, as a standard parser refuses them.
    """
    text = raw.decode("utf-8")  # UnicodeDecodeError is a ValueError
    value = json.loads(text, object_pairs_hook=_pairs, parse_constant=_no_constant)
    _check_text(value)
    return value


def _check_text(value: object) -> None:
    if isinstance(value, str):
        value.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
    elif isinstance(value, list):
        for item in value:
            _check_text(item)
    elif isinstance(value, dict):
        for key, item in value.items():
            _check_text(key)
            _check_text(item)


def decode_config(raw: bytes) -> CollectionConfig:
    """The configuration a catalog record holds; ValueError says why it does not decode."""
    if not raw.strip(_JSON_SPACE):
        raise ValueError("empty record")
    try:
        value = parse_json(raw)
    except ValueError as err:
        raise ValueError(f"not JSON ({_reason(err)})") from None
    if isinstance(value, list):
        if not 2 <= len(value) <= len(FIELDS):
            raise ValueError(f"array of {len(value)} values, not 2 to {len(FIELDS)}")
        fields = {f: _DEFAULTS.get(f) for f in FIELDS} | dict(zip(FIELDS, value))
    elif isinstance(value, dict):
        if value.duplicate is not None:
            raise ValueError(f'member "{value.duplicate}" given twice')
        for required in ("name", "dimension"):
            if required not in value:
                raise ValueError(f'member "{required}" missing')
        fields = {f: value.get(f, _DEFAULTS.get(f)) for f in FIELDS}
    else:
        raise ValueError("neither an object nor an array")
    for f in _TEXT_FIELDS:
        if not isinstance(fields[f], str):
            raise ValueError(f'"{f}" is not a string')
    for f in _INT_FIELDS:
        v = fields[f]
        if type(v) is not int or not 0 <= v < 2**64:
            raise ValueError(f'"{f}" is not an integer from 0 to 2**64-1')
    if fields["distance"] not in METRICS:
        raise ValueError(f'"distance" is not one of {", ".join(METRICS)}')
    return CollectionConfig(**fields)


def _reason(err: ValueError) -> str:
    if isinstance(err, UnicodeError):
        return "invalid UTF-8"
    if isinstance(err, json.JSONDecodeError):
        return err.msg.lower()
    return str(err)

