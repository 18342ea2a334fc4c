"""Shared fixtures: engines on temporary files, and a raw look into the file."""

import gc
import sqlite3
import sys
import time

import pytest

from quillmere import DBEngine

# The suite runs with --import-mode=importlib, which gives this file a package
# name of its own; test modules import the helpers below as `conftest`.
sys.modules.setdefault("conftest", sys.modules[__name__])


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def engine(db_path):
    """A DBEngine that is closed and released after the test."""
    db = DBEngine(db_path)
    yield db
    try:
        db.close_engine()
    except RuntimeError:
        pass  # already closed by the test
    del db
    gc.collect()


def raw_rows(path, sql):
    """Rows of a query against the database file, read with Python's sqlite3."""
    connection = sqlite3.connect(path)
    try:
        return connection.execute(sql).fetchall()
    finally:
        connection.close()


def stored_documents(path):
    """{id: stored bytes} of the table "documents"."""
    return {doc_id: bytes(body) for doc_id, body in raw_rows(path, "SELECT id, body FROM documents")}


def index_pairs(path):
    """The (entry, id) pairs of "metadata_index", in key order."""
    return raw_rows(path, "SELECT entry, id FROM metadata_index ORDER BY entry, id")


def wait_until(predicate, timeout=30.0):
    """Polls `predicate` until it holds or the deadline passes."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()
