"""Shared fixtures for the orvane Python tests.

The tests import the package from PYTHONPATH (a CMake build's staged
``<build>/python`` directory, see scripts/test). Every database lives in
pytest's per-test temporary directory.
"""

import pytest

from orvane import Kestrum


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def wal_path(db_path):
    """The write-ahead log beside the database file."""
    return db_path + "-wal"


@pytest.fixture
def db(db_path):
    return Kestrum(db_path)


@pytest.fixture
def docs(db):
    """A Euclidean collection of dimension 3 named 'docs'."""
    return db.create_collection("docs", 3, "euclidean")

