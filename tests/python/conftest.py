"""Shared fixtures: every database lives in pytest's per-test temporary
directory; the package comes from PYTHONPATH (a build's staged python/)."""

import pytest

from orvane import Kestrum


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def db(db_path):
    return Kestrum(db_path)


@pytest.fixture
def docs(db):
    """A Euclidean collection of dimension 3 named 'docs'."""
    return db.create_collection("docs", 3, "euclidean")
