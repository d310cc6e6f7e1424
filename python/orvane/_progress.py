"""Progress bars for long calls: tqdm's when it is installed, a plain one otherwise."""

from __future__ import annotations

import sys
import time


class PlainBar:
    """A one-line bar on stderr, redrawn at most ten times a second."""

    def __init__(self, total: int, desc: str, stream=None) -> None:
        self.total, self.desc, self.done = total, desc, 0
        self.stream = stream if stream is not None else sys.stderr
        self._drawn = 0.0

    def update(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if now - self._drawn >= 0.1 or self.done >= self.total:
            self._drawn = now
            self._draw()

    def _draw(self) -> None:
        share = self.done / self.total if self.total else 1.0
        filled = int(share * 30)
        self.stream.write(f"\r{self.desc}: [{'#' * filled}{'.' * (30 - filled)}] "
                          f"{self.done:,}/{self.total:,} ({share:.0%})")
        self.stream.flush()

    def close(self) -> None:
        self._draw()
        self.stream.write("\n")
        self.stream.flush()


def progress_bar(total: int, desc: str):
    try:
        from tqdm import tqdm
    except ImportError:
        return PlainBar(total, desc)
    return tqdm(total=total, desc=desc, unit="vec")
