"""orvane: an embedded, single-file vector database."""

from ._native import Kestrum, PyCollection

__all__ = ["Kestrum", "PyCollection"]
__version__ = "0.1.0"
