"""Shared fixtures: engines on temporary files, and a raw look into the file."""

import collections.abc
import contextlib
import gc
import os
import sqlite3
import struct
import subprocess
import sys
import time

import pytest

from quillmere import DBEngine, DBEngineWebServer

# The suite runs with --import-mode=importlib, which gives this file a package
# name of its own; test modules import the helpers below as `conftest`.
sys.modules.setdefault("conftest", sys.modules[__name__])

CRASHED = "Background write worker has crashed!"
LOCKED = "Database already open. Cannot acquire lock."

# For tests that use up every file descriptor of a child: under the sanitizers
# (make test-asan preloads their runtime) UBSan probes memory through a pipe of
# its own, and with no descriptor free it reports sound objects as damaged.
# `make test-asan` preloads the sanitizers' runtime into the interpreter.
UNDER_SANITIZERS = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_spare_descriptors_for_sanitizers = pytest.mark.skipif(
    UNDER_SANITIZERS, reason="UBSan needs a free descriptor for its checks")


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def engine(db_path):
    """A DBEngine that is closed and released after the test."""
    db = DBEngine(db_path)
    yield db
    with contextlib.suppress(RuntimeError):  # already closed by the test
        db.close_engine()
    del db
    gc.collect()


@pytest.fixture
def server(db_path):
    """A DBEngineWebServer that is closed and released after the test."""
    db = DBEngineWebServer(db_path)
    yield db
    db.close_engine()
    del db
    gc.collect()


def applied(path, *writes, cls=DBEngine):
    """A closed `cls` engine on `path` after the (method, *args) writes were applied."""
    db = cls(path)
    for method, *args in writes:
        getattr(db, method)(*args)
    db.close_engine()
    return db


def raw_rows(path, sql):
    """Rows of a query against the database file, read with Python's sqlite3."""
    connection = sqlite3.connect(path)
    try:
        return connection.execute(sql).fetchall()
    finally:
        connection.close()


def frame(op, key, value=b""):
    """A WAL frame: the op byte, the key and value lengths, the key, the value."""
    return struct.pack("<BII", op, len(key), len(value)) + key + value


def stored_documents(path):
    """{id: stored bytes} of the table "documents"."""
    return {doc_id: bytes(body) for doc_id, body in raw_rows(path, "SELECT id, body FROM documents")}


def index_pairs(path):
    """The (entry, id) pairs of "metadata_index", in key order."""
    return raw_rows(path, "SELECT entry, id FROM metadata_index ORDER BY entry, id")


def run_python(script, *args, timeout=120):
    """A child interpreter's run of `script` with `args` as sys.argv[1:]."""
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout)


# A child script's prelude: limit_to(free) leaves it `free` more descriptors than it holds;
# `soft` and `hard` are the limits to put back.
LIMIT_DESCRIPTORS = """
import os, resource
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
def limit_to(free):
    spare = os.dup(0)
    os.close(spare)  # the lowest free descriptor
    resource.setrlimit(resource.RLIMIT_NOFILE, (spare + free, hard))
"""

def refuses(db):
    """Whether the engine refuses writes because a writer has ended."""
    try:
        db.delete("probe")
        return False
    except RuntimeError as error:
        assert str(error) == CRASHED
        return True


def wait_until(predicate, timeout=30.0):
    """Polls `predicate` until it holds or the deadline passes."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return predicate()


def open_with_rows(path, documents, index=(), cls=DBEngine):
    """A new `cls` engine on `path` after {id: text} documents and (entry, id)
    pairs were written straight into its file, which no engine may hold."""
    DBEngine(path).close_engine()  # creates both tables; released at once
    connection = sqlite3.connect(path)
    try:
        with connection:
            connection.executemany(
                "INSERT OR REPLACE INTO documents(id, body) VALUES (?, ?)",
                [(doc_id, body.encode() if isinstance(body, str) else bytes(body))
                 for doc_id, body in documents.items()])
            connection.executemany("INSERT OR IGNORE INTO metadata_index(entry, id) VALUES (?, ?)", list(index))
    finally:
        connection.close()
    gc.collect()
    return cls(path)


def same_value(got, expected):
    """Equality that also compares types, dict key order and the sign of zero."""
    if type(got) is not type(expected):
        return False
    if isinstance(got, dict):
        return list(got) == list(expected) and all(same_value(got[k], expected[k]) for k in got)
    if isinstance(got, (list, tuple)):
        return len(got) == len(expected) and all(same_value(g, e) for g, e in zip(got, expected))
    if isinstance(got, float):
        return repr(got) == repr(expected)
    return got == expected


class CallsBack(collections.abc.Sequence):
    """A list-like value whose reading runs `callback` while the converter holds it."""

    def __init__(self, callback):
        self.callback = callback

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        self.callback()
        return 0
