"""Problems found by `verify`, each tied to the place it was found."""

from __future__ import annotations

import json
from dataclasses import dataclass, field


def quote(text: str) -> str:
    """A name shown unambiguously (quoted, escapes for control characters)."""
    return json.dumps(text, ensure_ascii=False)


def at_page(page_id: int, slot: int | None = None) -> str:
    return f"page {page_id}" if slot is None else f"page {page_id} slot {slot}"


@dataclass(frozen=True)
class Finding:
    where: str  # "header", "log", "page P", "page P slot S" or "pages …"
    message: str
    warning: bool = False

    def __str__(self) -> str:
        kind = "warning: " if self.warning else ""
        return f"{self.where}: {kind}{self.message}"


@dataclass
class Findings:
    items: list[Finding] = field(default_factory=list)

    def error(self, where: str, message: str) -> None:
        self.items.append(Finding(where, message))

    def warn(self, where: str, message: str) -> None:
        self.items.append(Finding(where, message, warning=True))

    @property
    def errors(self) -> int:
        return sum(1 for f in self.items if not f.warning)

    @property
    def warnings(self) -> int:
        return sum(1 for f in self.items if f.warning)


def plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def page_ranges(pages: list[int]) -> str:
    """[5, 6, 7, 9] -> "5-7, 9"."""
    parts, start = [], None
    for i, p in enumerate(pages):
        if start is None:
            start = p
        if i + 1 == len(pages) or pages[i + 1] != p + 1:
            parts.append(str(start) if start == p else f"{start}-{p}")
            start = None
    return ", ".join(parts)
