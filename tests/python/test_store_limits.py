"""A write the store could not hold is refused at the call, by every write
method of both classes, and fails the replay of a WAL file; the store's limit
is lowered here so that the rows at the boundary stay small."""

import contextlib
import ctypes
import ctypes.util
import gc
import json
import re

import pytest

from conftest import applied, frame, stored_documents
from quillmere import DBEngine, DBEngineWebServer

LIMIT = 100_000
MOST = LIMIT - 1024  # id and document together
SQLITE_LIMIT_LENGTH = 0


@contextlib.contextmanager
def limit_lowered():
    """Every store connection opened meanwhile gets LIMIT as its length limit
    (SQLite runs an automatic extension on each new connection)."""
    library = ctypes.CDLL(ctypes.util.find_library("sqlite3"))
    library.sqlite3_limit.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]

    @ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
    def lower(connection, _error, _api):
        library.sqlite3_limit(connection, SQLITE_LIMIT_LENGTH, LIMIT)
        return 0

    entry_point = ctypes.cast(lower, ctypes.c_void_p)
    assert library.sqlite3_auto_extension(entry_point) == 0
    yield
    library.sqlite3_cancel_auto_extension(entry_point)


@pytest.fixture
def lowered_limit():
    with limit_lowered():
        yield


def sized(size):
    """A document whose stored form has `size` bytes."""
    return {"v": "x" * (size - len('{"v":""}'))}


def text(document):
    return json.dumps(document, separators=(",", ":"))


# Each write path: (method, how its call is made, whether a refusal comes back as a failure list).
CALLS = {
    "insert": lambda db, i, d: db.insert(i, d),
    "upsert": lambda db, i, d: db.upsert(i, d),
    "insert_json": lambda db, i, d: db.insert_json(i, text(d)),
    "insert_many": lambda db, i, d: db.insert_many([("ok", {"v": 0}), (i, d)]),
    "insert_many_json": lambda db, i, d: db.insert_many_json([("ok", '{"v":0}'), (i, text(d))]),
}


@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
@pytest.mark.parametrize("method", CALLS)
def test_a_write_beyond_the_store_limit_is_refused_at_the_call_and_loses_nothing(
        lowered_limit, db_path, cls, method):
    db = cls(db_path)
    db.insert("k", {"v": "old"})
    over, fit = sized(MOST), sized(MOST - 1)  # with the id "k" of 1 byte
    expected = f"Document of {MOST} bytes is too large for the store (at most {MOST - 1} bytes with an id of 1 bytes)"
    if cls is DBEngineWebServer and method.startswith("insert_many"):
        refused = CALLS[method](db, "k", over)
        payload = over if method == "insert_many" else text(over)
        assert [(i, p == payload, m) for i, p, m in refused] == [("k", True, expected)]
    else:
        with pytest.raises(RuntimeError, match=f"^{re.escape(expected)}$"):
            CALLS[method](db, "k", over)
    assert CALLS[method](db, "m", fit) is None
    db.insert("after", {"v": 1})
    assert db.close_engine() is None
    del db
    gc.collect()
    db = cls(db_path)
    paging = () if cls is DBEngine else (None, None)
    assert db.get("k") == {"v": "old"} and db.filter_by_metadata("v", "old", *paging) == [("k", {"v": "old"})]
    assert db.get("m") == fit and db.get("after") == {"v": 1}
    assert db.get("ok") == ({"v": 0} if method.startswith("insert_many") else None)  # queued before the refusal
    db.close_engine()


@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
def test_ids_beyond_the_store_limit_are_refused_by_every_write(lowered_limit, db_path, cls):
    db = cls(db_path)
    long_id = "i" * (MOST + 1)
    expected = f"Document id of {MOST + 1} bytes is too large for the store (at most {MOST} bytes)"
    for method in ("delete", "insert", "insert_json"):
        with pytest.raises(RuntimeError, match=f"^{re.escape(expected)}$"):
            if method == "delete":
                db.delete(long_id)
            else:
                CALLS[method](db, long_id, {})
    db.delete("i" * MOST)  # an id of the largest size accepted, never stored
    assert db.close_engine() is None


def test_a_wal_frame_beyond_the_store_limit_fails_the_replay_and_a_larger_limit_replays_it(db_path):
    applied(db_path, ("insert", "k", {"v": "old"}), cls=DBEngineWebServer)
    gc.collect()
    new = sized(MOST)  # with the id "k", one byte beyond what the lowered limit takes
    frames = frame(3, b"k", text(new).encode()) + frame(1, b"after", b'{"v":1}')
    with open(db_path + ".wal", "wb") as wal:
        wal.write(frames)
    expected = (f"WAL Recovery: cannot apply the Upsert of id k: Document of {MOST} bytes is too large for the "
                f"store (at most {MOST - 1} bytes with an id of 1 bytes); the store's length limit is {LIMIT} "
                "bytes. Nothing was committed and the WAL file is kept")
    with limit_lowered(), pytest.raises(RuntimeError, match=f"^{re.escape(expected)}$"):
        DBEngineWebServer(db_path)
    with open(db_path + ".wal", "rb") as wal:
        assert wal.read() == frames
    assert stored_documents(db_path) == {"k": b'{"v":"old"}'}
    db = DBEngineWebServer(db_path)
    assert db.get("k") == new and db.get("after") == {"v": 1}
    db.close_engine()
