"""DBEngineWebServer: the WAL file, close, backups, failure lists of the bulk
inserts, the in-place reads and paged queries."""

import gc
import json
import os
import pathlib
import re
import stat
import threading

import pytest

from conftest import CRASHED, LOCKED, CallsBack, applied, frame, index_pairs, same_value, stored_documents, wait_until
from quillmere import DBEngine, DBEngineWebServer


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


def test_new_path_creates_database_and_empty_wal(db_path):
    db = DBEngineWebServer(db_path)
    assert wait_until(lambda: os.path.exists(db_path + ".wal"))
    assert os.path.getsize(db_path + ".wal") == 0 and not os.path.exists(db_path + ".jsonl")
    for _ in range(2):  # a closed engine still holds the file
        with pytest.raises(RuntimeError, match=f"^{LOCKED}$"):
            DBEngineWebServer(db_path)
        db.close_engine()


@pytest.mark.parametrize("backup_time, reason", [("24:00", "input is out of range"), ("12:30:00", "trailing input")])
def test_bad_backup_time_fails_after_the_wal_is_replayed(db_path, tmp_path, capfd, backup_time, reason):
    with open(db_path + ".wal", "wb") as wal:
        wal.write(frame(1, b"a", b'{"x":1}'))
    with pytest.raises(RuntimeError) as raised:
        DBEngineWebServer(db_path, backup_time, str(tmp_path), enable_logging=True)
    assert str(raised.value) == f"Invalid backup time provided. Use format HH:MM {reason}"
    assert capfd.readouterr().out == "WAL Recover: Successfully written all records to database!\n"
    assert stored_documents(db_path) == {"a": b'{"x":1}'}
    assert not os.path.exists(db_path + ".jsonl")  # the audit log is opened after the parse
    # Either backup argument alone is not checked.
    DBEngineWebServer(db_path + "2", backup_time="not a time", backup_dir=None).close_engine()
    DBEngineWebServer(db_path + "3", None, "/nonexistent/folder", False).close_engine()


def test_writes_reach_the_file_and_the_wal_is_emptied_on_close(db_path, server):
    server.insert("a", {"tags": ["x"], "n": 1})
    server.insert_json("b", "[1, 2]")
    server.upsert("c", {"v": 2.0})
    server.insert("d", {"gone": True})
    server.delete("d")
    server.upsert("a", {"n": 2})
    server.close_engine()
    server.close_engine()  # a second close finds nothing to do
    assert os.path.getsize(db_path + ".wal") == 0
    assert stored_documents(db_path) == {"a": b'{"n":2}', "b": b"[1, 2]", "c": b'{"v":2.0}'}
    assert index_pairs(db_path) == [("0.1", "b"), ("1.2", "b"), ("n.2", "a"), ("v.2", "c")]
    assert server.queue_size == 0


def test_idle_engine_empties_the_queue_and_the_wal_and_starts_again_at_offset_zero(db_path, server):
    wal = db_path + ".wal"
    assert server.queue_size == 0
    for i in range(20000):
        server.insert_json(f"k{i}", '{"pad": "%s"}' % ("p" * 100))
    assert server.queue_size > 0
    assert wait_until(lambda: server.queue_size == 0)
    server.insert("a", {"x": 1})
    assert wait_until(lambda: stored_documents(db_path).get("a") == b'{"x":1}')
    assert wait_until(lambda: os.path.getsize(wal) == 0)
    server.delete("b")
    assert wait_until(lambda: os.path.getsize(wal) in (0, 10))
    with open(wal, "rb") as data:
        assert data.read() in (b"", frame(2, b"b"))  # emptied again, or the lone frame at offset 0


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


DAMAGED_FRAMES = frame(1, b"a", b'{"x":1}') + frame(1, b"b", b'{"b":') + frame(1, b"c", b'{"y":2}')


@pytest.mark.parametrize("wal_path_holds", [
    "link to a text", "link to a store", "hard link to a store", "dangling link", "link to /dev/zero", "FIFO",
    "damaged frame"])
def test_a_wal_file_the_engine_cannot_use_fails_the_constructor_and_is_kept(tmp_path, wal_path_holds):
    path, other = str(tmp_path / "db"), tmp_path / "other"
    wal = pathlib.Path(path + ".wal")
    if wal_path_holds.endswith("link to a store"):
        applied(str(other), ("insert", "o", {"n": 1}))
        gc.collect()
    else:
        other.write_bytes(b"plain text, not frames\n" * 100)
    other_bytes = other.read_bytes()
    if wal_path_holds == "FIFO":
        os.mkfifo(wal)
    elif wal_path_holds == "damaged frame":
        wal.write_bytes(DAMAGED_FRAMES)
    elif wal_path_holds == "hard link to a store":
        os.link(other, wal)
    else:  # /dev/zero read as frames would never end
        os.symlink({"dangling link": str(tmp_path / "none" / "db.wal"),
                    "link to /dev/zero": "/dev/zero"}.get(wal_path_holds, str(other)), wal)
    kind = stat.S_IFMT(os.lstat(wal).st_mode)
    with pytest.raises(RuntimeError) as raised:
        DBEngineWebServer(path)
    assert stat.S_IFMT(os.lstat(wal).st_mode) == kind and other.read_bytes() == other_bytes
    assert str(raised.value).startswith({
        "FIFO": f"Failed to open WAL file {wal}: it is a FIFO, not a regular file",
        "hard link to a store": f"Failed to open WAL file {wal}: it is a file of 2 names (hard links), not one of its own",
        "damaged frame": "WAL Recovery: cannot apply the Insert of id b: its document is not a valid JSON text",
    }.get(wal_path_holds, f"Failed to open WAL file {wal}: it is a symbolic link, not a regular file"))
    if wal_path_holds == "damaged frame":
        assert wal.read_bytes() == DAMAGED_FRAMES and stored_documents(path) == {}
        wal.write_bytes(DAMAGED_FRAMES.replace(frame(1, b"b", b'{"b":'), b""))  # the damage mended
    else:
        wal.unlink()
    with DBEngineWebServer(path) as db:  # the engine opens, replaying what is there
        assert db.get("c") == ({"y": 2} if wal_path_holds == "damaged frame" else None)


def test_released_engine_applies_everything_queued_and_is_not_replayed_later(db_path):
    db = DBEngineWebServer(db_path)
    for i in range(3000):
        db.insert(f"k{i:05}", {"i": i})
    db.insert("a", {"v": "old"})
    del db
    plain = reopen_when_free(db_path)
    assert len(plain.scan_prefix("k")) == 3000
    assert os.path.getsize(db_path + ".wal") == 0
    plain.upsert("a", {"v": "new"})
    plain.close_engine()
    del plain
    gc.collect()
    DBEngineWebServer(db_path).close_engine()
    assert stored_documents(db_path)["a"] == b'{"v":"new"}'


def test_context_manager(db_path, server):
    with server as entered:
        assert entered is server
        entered.insert("a", {"x": 1})
    with pytest.raises(RuntimeError, match=f"^{CRASHED}$"):
        server.insert("b", {})
    assert stored_documents(db_path) == {"a": b'{"x":1}'}
    with pytest.raises(KeyError), server:
        raise KeyError("not suppressed")
    assert server.__exit__(None, None, None) is False


class Console:
    """Everything the process printed since the test began, gathered as it comes."""

    def __init__(self, capfd):
        self.capfd, self.out, self.err = capfd, "", ""

    def shows(self, out="", err=""):
        captured = self.capfd.readouterr()
        self.out += captured.out
        self.err += captured.err
        return out in self.out and err in self.err


def test_backup_equals_the_source(db_path, tmp_path, capfd, server):
    target = str(tmp_path / "copy.db")
    console = Console(capfd)
    server.insert("a", {"x": 1})
    server.insert("a", {"x": 2})  # leaves a stale entry, copied as it is
    server.insert_json("b", '{"t": [true]}')
    server.trigger_backup(target)
    server.close_engine()  # returns once the backup is done
    assert console.shows(f"Database backup is successful to {target}\n")
    assert console.out.startswith("Starting logical database backup in background...\n")
    assert stored_documents(target) == stored_documents(db_path)
    assert index_pairs(target) == index_pairs(db_path) == [("t.0.true", "b"), ("x.1", "a"), ("x.2", "a")]


def test_backup_onto_the_engines_own_file(db_path, server, capfd):
    console = Console(capfd)
    server.trigger_backup(db_path)
    assert wait_until(lambda: console.shows(err=f"Failed to create backup database: {LOCKED}\n"))
    assert console.out == "Starting logical database backup in background...\n"


def test_backup_onto_the_engines_wal_file_or_audit_log_is_refused(db_path, tmp_path, capfd):
    db = DBEngineWebServer(db_path, enable_logging=True)
    console = Console(capfd)
    db.insert("a", {"x": 1})
    alias = str(tmp_path / "alias")
    os.link(db_path + ".wal", alias)  # the same file under another name
    refused = []
    for target, what in [(db_path + ".wal", "WAL file"), (alias, "WAL file"), (db_path + ".jsonl", "audit log")]:
        db.trigger_backup(target)
        refused.append(f"Failed to create backup database: Backup target is the engine's own {what}\n")
        assert wait_until(lambda: console.shows(err="".join(refused)))
    db.insert("b", {"x": 2})
    db.close_engine()
    assert console.out == "Starting logical database backup in background...\n" * 3
    assert console.err == "".join(refused)
    assert os.path.getsize(db_path + ".wal") == 0
    with open(db_path + ".jsonl") as log:
        assert [json.loads(line)["id"] for line in log] == ["a", "b"]
    del db
    gc.collect()
    os.unlink(alias)  # a WAL file of two names is not the engine's own
    DBEngineWebServer(db_path).close_engine()
    # An empty WAL file: no SQLite page is read as a frame.
    assert capfd.readouterr().out == "WAL Recover: Successfully written all records to database!\n"
    assert stored_documents(db_path) == {"a": b'{"x":1}', "b": b'{"x":2}'}


def test_a_backup_of_a_damaged_store_reports_its_failure_on_standard_error(db_path, tmp_path, monkeypatch, capfd):
    db = DBEngineWebServer(db_path)
    db.insert_many([(f"doc{i:05}", {"text": "x" * 100, "n": i}) for i in range(3000)])
    db.close_engine()
    del db
    gc.collect()
    page = 16384  # the store's page size
    with open(db_path, "r+b") as store:  # garbage over one page in the middle
        store.seek(os.path.getsize(db_path) // page // 2 * page)
        store.write(b"\xa5" * page)
    monkeypatch.chdir(tmp_path)
    db = DBEngineWebServer(db_path)
    capfd.readouterr()
    db.trigger_backup("copy.db")
    assert db.close_engine() is None
    out, err = capfd.readouterr()
    assert out == "Starting logical database backup in background...\n"
    assert re.fullmatch("Failed to read source db: database disk image is malformed; the backup to copy.db was "
                        "committed without [^\n]+\n", err)
    assert stored_documents("copy.db")  # what could be read is kept


def test_insert_many_returns_refused_records_in_order(server):
    bad_b, bad_d, raising_e = {"k": {1: "x"}}, {2: "y"}, {"l": CallsBack(lambda: 1 / 0)}
    refused = server.insert_many([("a", {"v": 1}), ("b", bad_b), ("c", {"v": 3}), ("a", {"v": 4}), ("d", bad_d),
                                  ("e", raising_e)])
    key_error = "Python dict parsing error unexpected type: 'int' object is not an instance of 'str'"
    assert refused == [("b", bad_b, key_error), ("d", bad_d, key_error),
                       ("e", raising_e, "Python dict parsing error ZeroDivisionError: division by zero")]
    assert refused[0][1] is bad_b and refused[1][1] is bad_d  # the caller's own dicts
    assert server.insert_many([]) is None and server.insert_many([("e", {"v": 5})]) is None
    server.close_engine()
    assert server.scan_prefix("") == [("a", {"v": 4}), ("c", {"v": 3}), ("e", {"v": 5})]


def test_insert_many_json_validates_every_record(db_path, server):
    texts = ["[1, 2]", "3", "x", '{"v": 1}', "{"]
    failures = server.insert_many_json([(f"k{i}", text) for i, text in enumerate(texts)])
    assert failures == [("k2", "x", "Invalid JSON structure expected value at line 1 column 1"),
                        ("k4", "{", "Invalid JSON structure EOF while parsing an object at line 1 column 1")]
    assert server.insert_many_json([("k5", "{}")]) is None
    server.close_engine()
    assert stored_documents(db_path) == {"k0": b"[1, 2]", "k1": b"3", "k3": b'{"v": 1}', "k5": b"{}"}


NUMBERS = [  # stored text of member n, what DBEngineWebServer reads, what DBEngine reads
    ("18446744073709551615", 18446744073709551615, 18446744073709551615),
    ("-9223372036854775808", -9223372036854775808, -9223372036854775808),
    ("-0", 0, -0.0),
    ("-0.0", -0.0, -0.0),
    ("18446744073709551616", "InvalidNumber at character 5 ('1')", 1.8446744073709552e19),
    ("-9223372036854775809", "InvalidNumber at character 5 ('-')", -9.223372036854776e18),
    ("1e400", "InvalidNumber at character 5 ('1')", "number out of range at line 1 column 10"),
]


def read_number(db, i):
    """Member n of document n{i}, or the error text after its prefix."""
    try:
        return db.get(f"n{i}")["n"]
    except RuntimeError as error:
        return str(error).removeprefix("Json parsing error ")


def test_number_rules_against_dbengine_on_the_same_file(db_path):
    server = DBEngineWebServer(db_path)
    server.insert_many_json([(f"n{i}", '{"n":%s}' % text) for i, (text, _, _) in enumerate(NUMBERS)])
    server.close_engine()
    assert same_value([read_number(server, i) for i in range(len(NUMBERS))], [e for _, e, _ in NUMBERS])
    del server
    gc.collect()
    plain = DBEngine(db_path)
    assert same_value([read_number(plain, i) for i in range(len(NUMBERS))], [e for _, _, e in NUMBERS])


def test_deep_documents_are_refused_without_recursion(server):
    server.insert_json("deep", '{"a":' + "[" * 100_000 + "]" * 100_000 + "}")
    server.close_engine()
    with pytest.raises(RuntimeError, match=r"^Json parsing error RecursionLimitExceeded at character 131 \('\['\)$"):
        server.get("deep")


def test_paged_query_counts_index_ids(db_path, server):
    server.insert_many([("a", {"k": "v"}), ("b", {"k": "v"}), ("c", {"k": "v"})])
    # An unindexable document over b keeps b's entry; deleting it leaves the entry stale.
    server.insert_json("b", '{"k":"v","n":18446744073709551616}')
    server.delete("b")
    server.close_engine()

    def ids(limit, offset):
        return [d for d, _ in server.filter_by_metadata("k", "v", limit, offset)]

    assert (ids(2, 0), ids(2, 2), ids(1, 1), ids(0, 0), ids(None, 3), ids(5, 10)) == (["a"], ["c"], [], [], [], [])
    assert (ids(None, None), ids(True, None), ids(None, 1)) == (["a", "c"], ["a"], ["c"])
    assert server.filter_by_metadata("k", "nothing", None, None) == []


def test_close_from_another_thread_during_a_bulk_insert_is_refused(server):
    seen = []

    def close():
        try:
            server.close_engine()
            seen.append("closed")
        except RuntimeError as error:
            seen.append(str(error))

    def close_elsewhere():
        thread = threading.Thread(target=close)
        thread.start()
        thread.join()

    assert server.insert_many([("a", {"v": CallsBack(close_elsewhere)})]) is None
    assert seen == ["Already borrowed"]
