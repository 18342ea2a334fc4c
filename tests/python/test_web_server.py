"""DBEngineWebServer: construction, the WAL file, writes, close, backups."""

import gc
import os
import struct

import pytest

from conftest import index_pairs, stored_documents, wait_until
from quillmere import DBEngine, DBEngineWebServer

CRASHED = "Background write worker has crashed!"


def reopen_when_free(path):
    """A DBEngine on `path` once every thread of a released engine let it go."""
    holder = []

    def opened():
        try:
            holder.append(DBEngine(path))
            return True
        except RuntimeError:
            return False

    assert wait_until(opened)
    return holder[0]


def frame(op, key, value=b""):
    return struct.pack("<BII", op, len(key), len(value)) + key + value


@pytest.fixture
def server(db_path):
    db = DBEngineWebServer(db_path)
    yield db
    db.close_engine()
    del db
    gc.collect()


def test_new_path_creates_database_and_empty_wal(db_path):
    db = DBEngineWebServer(db_path)
    assert os.path.exists(db_path)
    assert wait_until(lambda: os.path.exists(db_path + ".wal"))
    assert os.path.getsize(db_path + ".wal") == 0
    assert not os.path.exists(db_path + ".jsonl")
    with pytest.raises(RuntimeError, match="^Database already open. Cannot acquire lock.$"):
        DBEngineWebServer(db_path)
    db.close_engine()
    with pytest.raises(RuntimeError, match="^Database already open. Cannot acquire lock.$"):
        DBEngineWebServer(db_path)


@pytest.mark.parametrize("backup_time, reason", [
    ("24:00", "input is out of range"),
    ("ab:cd", "input contains invalid characters"),
    ("12", "premature end of input"),
    ("12:30:00", "trailing input"),
])
def test_bad_backup_time_fails_after_the_wal_is_replayed(db_path, tmp_path, capfd, backup_time, reason):
    with open(db_path + ".wal", "wb") as wal:
        wal.write(frame(1, b"a", b'{"x":1}'))
    with pytest.raises(RuntimeError) as raised:
        DBEngineWebServer(db_path, backup_time, str(tmp_path))
    assert str(raised.value) == f"Invalid backup time provided. Use format HH:MM {reason}"
    assert capfd.readouterr().out == "WAL Recover: Successfully written all records to database!\n"
    assert stored_documents(db_path) == {"a": b'{"x":1}'}


@pytest.mark.parametrize("arguments, message", [
    ({"enable_logging": None}, "'None' is not an instance of 'bool'"),
    ({"enable_logging": 1}, "'int' object is not an instance of 'bool'"),
    ({"backup_time": 1230}, "'int' object is not an instance of 'str'"),
    ({"backup_dir": b"dir"}, "'bytes' object is not an instance of 'str'"),
])
def test_constructor_argument_types(db_path, arguments, message):
    with pytest.raises(TypeError) as raised:
        DBEngineWebServer(db_path, **arguments)
    assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{next(iter(arguments))}'"]


def test_one_backup_argument_alone_is_not_checked(db_path):
    DBEngineWebServer(db_path, backup_time="not a time", backup_dir=None).close_engine()
    gc.collect()
    DBEngineWebServer(db_path, None, "/nonexistent/folder", False).close_engine()


def test_writes_reach_the_file_and_the_wal_is_emptied_on_close(db_path):
    db = DBEngineWebServer(db_path)
    db.insert("a", {"tags": ["x"], "n": 1})
    db.insert_json("b", "[1, 2]")
    db.upsert("c", {"v": 2.0})
    db.insert("d", {"gone": True})
    db.delete("d")
    db.upsert("a", {"n": 2})
    db.close_engine()
    db.close_engine()  # a second close finds nothing to do
    assert os.path.getsize(db_path + ".wal") == 0
    assert stored_documents(db_path) == {"a": b'{"n":2}', "b": b"[1, 2]", "c": b'{"v":2.0}'}
    assert index_pairs(db_path) == [("0.1", "b"), ("1.2", "b"), ("n.2", "a"), ("v.2", "c")]
    for method, args in [("insert", ("k", {})), ("upsert", ("k", {})), ("delete", ("k",)),
                         ("insert_json", ("k", "{}")), ("trigger_backup", ("k",))]:
        with pytest.raises(RuntimeError, match=f"^{CRASHED}$"):
            getattr(db, method)(*args)
    assert db.queue_size == 0


def test_write_messages(server):
    with pytest.raises(RuntimeError) as raised:
        server.insert("a", {1: "x"})
    assert str(raised.value).startswith("Error converting dict to Rust bytes for a.")
    with pytest.raises(RuntimeError, match=r"^Validation error at a\.expected value at line 1 column 1$"):
        server.insert_json("a", "x")
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'dict'"):
        server.upsert("a", 5)
    server.close_engine()
    with pytest.raises(TypeError, match="^'int' object is not an instance of 'dict'"):
        server.insert("a", 5)  # argument checks come before the alive check
    with pytest.raises(RuntimeError, match=f"^{CRASHED}$"):
        server.insert("a", {1: "x"})


def test_idle_engine_empties_the_wal_and_starts_again_at_offset_zero(db_path, server):
    wal = db_path + ".wal"
    server.insert("a", {"x": 1})
    assert wait_until(lambda: stored_documents(db_path).get("a") == b'{"x":1}')
    assert wait_until(lambda: os.path.getsize(wal) == 0)
    server.delete("b")
    assert wait_until(lambda: os.path.getsize(wal) in (0, 10))
    with open(wal, "rb") as data:
        assert data.read() in (b"", frame(2, b"b"))  # emptied again, or the lone frame at offset 0


def test_queue_size_counts_pending_writes_and_falls_to_zero(server):
    assert server.queue_size == 0
    for i in range(20000):
        server.insert_json(f"k{i}", '{"pad": "%s"}' % ("p" * 100))
    assert server.queue_size > 0
    assert wait_until(lambda: server.queue_size == 0)


def test_replay_of_a_wal_left_behind(db_path, capfd):
    DBEngineWebServer(db_path).close_engine()
    gc.collect()
    with open(db_path + ".wal", "wb") as wal:
        wal.write(frame(1, b"a", b'{"x":1}') + frame(7, b"z", b"{}") + frame(3, b"b", b'{"y":2}') + b"\x01\x02")
    db = DBEngineWebServer(db_path)
    assert capfd.readouterr().out == (
        "Op type is different, skipping this operation 7\n"
        "WAL Recovery: Found incomplete frame at EOF. Discarding partial write\n"
        "WAL Recover: Successfully written all records to database!\n")
    assert os.path.getsize(db_path + ".wal") == 0
    assert stored_documents(db_path) == {"a": b'{"x":1}', "b": b'{"y":2}'}
    db.close_engine()


def test_clean_close_does_not_replay_over_later_changes(db_path):
    db = DBEngineWebServer(db_path)
    db.insert("a", {"v": "old"})
    db.close_engine()
    del db
    plain = reopen_when_free(db_path)
    plain.upsert("a", {"v": "new"})
    plain.close_engine()
    del plain
    gc.collect()
    DBEngineWebServer(db_path).close_engine()
    assert stored_documents(db_path) == {"a": b'{"v":"new"}'}


def test_writes_refused_when_the_wal_cannot_be_created(tmp_path):
    path = str(tmp_path / "db")
    os.symlink(str(tmp_path / "missing" / "db.wal"), path + ".wal")
    db = DBEngineWebServer(path)
    assert wait_until(lambda: _refuses(db))
    db.close_engine()  # returns although the WAL writer never ran


def _refuses(db):
    try:
        db.delete("probe")
    except RuntimeError as error:
        assert str(error) == CRASHED
        return True
    return False


def test_released_engine_applies_everything_queued(db_path):
    db = DBEngineWebServer(db_path)
    for i in range(3000):
        db.insert(f"k{i:05}", {"i": i})
    del db
    plain = reopen_when_free(db_path)
    assert len(plain.scan_prefix("k")) == 3000
    assert os.path.getsize(db_path + ".wal") == 0


def test_context_manager(db_path):
    server = DBEngineWebServer(db_path)
    with server as entered:
        assert entered is server
        entered.insert("a", {"x": 1})
    with pytest.raises(RuntimeError, match=f"^{CRASHED}$"):
        server.insert("b", {})
    assert stored_documents(db_path) == {"a": b'{"x":1}'}
    with pytest.raises(KeyError):
        with server:
            raise KeyError("not suppressed")
    assert server.__exit__(None, None, None) is False
    with pytest.raises(TypeError, match="missing 1 required positional argument: '_traceback'"):
        server.__exit__(None, None)


class Console:
    """Everything the process printed since the test began, gathered as it comes."""

    def __init__(self, capfd):
        self.capfd, self.out, self.err = capfd, "", ""

    def shows(self, out="", err=""):
        captured = self.capfd.readouterr()
        self.out += captured.out
        self.err += captured.err
        return out in self.out and err in self.err


def test_backup_equals_the_source(db_path, tmp_path, capfd):
    target = str(tmp_path / "copy.db")
    console = Console(capfd)
    db = DBEngineWebServer(db_path)
    db.insert("a", {"x": 1})
    db.insert("a", {"x": 2})  # leaves a stale entry, copied as it is
    db.insert_json("b", '{"t": [true]}')
    db.trigger_backup(target)
    db.close_engine()
    assert wait_until(lambda: console.shows(f"Database backup is successful to {target}\n"))
    assert console.out.startswith("Starting logical database backup in background...\n")
    assert stored_documents(target) == stored_documents(db_path)
    assert index_pairs(target) == index_pairs(db_path) == [("t.0.true", "b"), ("x.1", "a"), ("x.2", "a")]


def test_backup_onto_the_engines_own_file(db_path, server, capfd):
    console = Console(capfd)
    server.trigger_backup(db_path)
    lock = "Failed to create backup database: Database already open. Cannot acquire lock.\n"
    assert wait_until(lambda: console.shows(err=lock))
    assert console.out == "Starting logical database backup in background...\n"
