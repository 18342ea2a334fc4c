"""The files an engine touches: its path made absolute once, at construction
(os.chdir changes none of them), a folder removed and made again under an open
engine, and the system's limits on paths and descriptors."""

import gc
import json
import os
import shutil
import signal

import pytest

from conftest import (LIMIT_DESCRIPTORS, frame, needs_spare_descriptors_for_sanitizers, run_python, stored_documents,
                      wait_until)
from quillmere import DBEngine, DBEngineWebServer

TOO_MANY_FILES = "Too many open files (os error 24)"
RECOVERED = "WAL Recover: Successfully written all records to database!\n"


def replaced(path):
    return f"Database file {path} was removed or replaced since the engine opened it"


def make_store(path, documents):
    """A store at `path` holding {id: dict}, closed and released."""
    db = DBEngine(str(path))
    for doc_id, document in documents.items():
        db.insert(doc_id, document)
    db.close_engine()
    del db
    gc.collect()


# ---------------------------------------------------------------------------
# os.chdir

@pytest.mark.parametrize("first_read_in", ["empty", "other"])
@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
def test_a_relative_path_is_fixed_when_the_engine_is_constructed(tmp_path, monkeypatch, cls, first_read_in):
    home, empty, other = (tmp_path / name for name in ("home", "empty", "other"))
    for folder in (home, empty, other):
        folder.mkdir()
    make_store(other / "s.db", {"y": {"v": "other"}})  # a store of the same name elsewhere
    monkeypatch.chdir(home)
    db = cls("s.db") if cls is DBEngine else cls("s.db", enable_logging=True)
    db.insert("x", {"v": "home"})
    db.insert("gone", {"v": "home"})
    # The first read opens a connection of its own: in a folder without a
    # store, or in one with another store of the same name.
    monkeypatch.chdir(tmp_path / first_read_in)
    assert wait_until(lambda: db.get("x") == {"v": "home"})
    assert db.get("y") is None
    db.delete("gone")
    db.insert("z", {"v": "after"})
    assert db.close_engine() is None
    assert db.scan_prefix("") == [("x", {"v": "home"}), ("z", {"v": "after"})]
    monkeypatch.chdir(home)
    assert db.get_many(["x", "y"]) == [("x", {"v": "home"}), ("y", None)]
    del db
    gc.collect()

    expected = {"x": b'{"v":"home"}', "z": b'{"v":"after"}'}
    assert stored_documents(str(home / "s.db")) == expected
    assert stored_documents(str(other / "s.db")) == {"y": b'{"v":"other"}'}
    assert sorted(os.listdir(other)) == ["s.db"] and os.listdir(empty) == []
    if cls is DBEngineWebServer:
        assert (home / "s.db.wal").read_bytes() == b""
        logged = [json.loads(line)["id"] for line in (home / "s.db.jsonl").read_text().splitlines()]
        assert logged == ["x", "gone", "gone", "z"]
        # Nothing is replayed over the store: the deleted document stays deleted.
        again = DBEngineWebServer(str(home / "s.db"))
        assert again.get("gone") is None
        again.close_engine()


def test_two_stores_named_alike_in_two_folders_keep_their_own_wal_files(tmp_path, monkeypatch):
    first_dir, second_dir = tmp_path / "first", tmp_path / "second"
    first_dir.mkdir()
    second_dir.mkdir()
    monkeypatch.chdir(first_dir)
    first = DBEngineWebServer("s.db")
    monkeypatch.chdir(second_dir)
    left = frame(1, b"b", b'{"v":2}')  # left in the other folder's WAL file by an engine that was killed
    (second_dir / "s.db.wal").write_bytes(left)
    first.insert("a", {"v": 1})
    assert first.close_engine() is None
    assert (first_dir / "s.db.wal").read_bytes() == b""
    assert (second_dir / "s.db.wal").read_bytes() == left
    second = DBEngineWebServer("s.db")
    assert second.close_engine() is None
    assert stored_documents(str(first_dir / "s.db")) == {"a": b'{"v":1}'}
    assert stored_documents(str(second_dir / "s.db")) == {"b": b'{"v":2}'}


def test_a_relative_backup_target_is_fixed_when_the_backup_is_asked_for(tmp_path, monkeypatch, capfd):
    asked_in, later_in = tmp_path / "asked", tmp_path / "later"
    asked_in.mkdir()
    later_in.mkdir()
    db = DBEngineWebServer(str(tmp_path / "s.db"))
    db.insert_many([(f"{i:05}", {"i": i}) for i in range(20000)])  # the backup is made behind them
    monkeypatch.chdir(asked_in)
    db.trigger_backup("copy.db")
    monkeypatch.chdir(later_in)
    assert db.close_engine() is None
    assert os.listdir(later_in) == []
    assert len(stored_documents(str(asked_in / "copy.db"))) == 20000
    assert "Database backup is successful to copy.db\n" in capfd.readouterr().out  # named as given


KILLED_AFTER_CHDIR = """
import os, signal, sqlite3, sys
from quillmere import DBEngineWebServer
home, elsewhere, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
os.chdir(home)
db = DBEngineWebServer("s.db")
os.chdir(elsewhere)
lock = sqlite3.connect(os.path.join(home, "s.db"), isolation_level=None)
lock.execute("BEGIN IMMEDIATE")  # nothing is committed: the WAL file is all there is
for i in range(count):
    db.insert(f"k{i:04}", {"i": i})
size = sum(9 + 5 + len('{"i":%d}' % i) for i in range(count))
while os.path.getsize(os.path.join(home, "s.db.wal")) != size:
    pass
os.kill(os.getpid(), signal.SIGKILL)
"""


def test_writes_accepted_after_a_chdir_survive_a_kill(tmp_path, capfd):
    home, elsewhere = tmp_path / "home", tmp_path / "elsewhere"
    home.mkdir()
    elsewhere.mkdir()
    run = run_python(KILLED_AFTER_CHDIR, home, elsewhere, 500)
    assert run.returncode == -signal.SIGKILL, run.stderr
    assert os.listdir(elsewhere) == []
    db = DBEngineWebServer(str(home / "s.db"))
    assert capfd.readouterr().out == RECOVERED
    assert len(db.scan_prefix("k")) == 500 and db.get("k0499") == {"i": 499}
    db.close_engine()


# ---------------------------------------------------------------------------
# A folder removed and made again under an open engine

@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
def test_an_engine_whose_folder_was_replaced_touches_only_its_own_files(tmp_path, cls):
    folder = tmp_path / "store"
    folder.mkdir()
    path = str(folder / "s.db")
    old = cls(path)
    old.insert("old", {"v": 1})
    # Waited for without a read of the engine: it opens no connection before the replacement.
    assert wait_until(lambda: stored_documents(path) == {"old": b'{"v":1}'})
    reader = cls(str(tmp_path / "reader.db"))  # an engine that has read before: its connection stays
    reader.insert("r", {"v": 0})
    assert wait_until(lambda: reader.get("r") == {"v": 0})
    shutil.rmtree(folder)
    folder.mkdir()
    new = DBEngine(path)  # it has no WAL file: the file under the old engine's WAL file name is no one's
    new.insert("new", {"v": 2})
    assert wait_until(lambda: new.get("new") == {"v": 2})

    reads = [lambda: old.get("old"), lambda: old.get_many(["old"]), lambda: old.scan_prefix("")]
    reads.append((lambda: old.filter_by_metadata("v", "1")) if cls is DBEngine
                 else (lambda: old.filter_by_metadata("v", "1", None, None)))
    for read in reads:
        with pytest.raises(RuntimeError) as raised:
            read()
        assert str(raised.value) == replaced(path)

    stray = frame(1, b"stray", b'{"v":3}')
    (folder / "s.db.wal").write_bytes(stray)
    assert old.close_engine() is None
    assert (folder / "s.db.wal").read_bytes() == stray  # not emptied by the old engine
    assert new.close_engine() is None
    expected = {"new": b'{"v":2}'}
    assert stored_documents(path) == expected
    assert new.scan_prefix("") == [(doc_id, json.loads(body)) for doc_id, body in sorted(expected.items())]
    reader.close_engine()


# ---------------------------------------------------------------------------
# Limits of the system

@pytest.fixture
def deep_folder(tmp_path):
    """A folder whose resolved path is 400 bytes or more long."""
    folder = os.path.realpath(tmp_path)
    while len(folder) < 400:
        folder = os.path.join(folder, "d" * 50)
        os.mkdir(folder)
    return folder


def of_length(folder, length):
    return os.path.join(folder, "f" * (length - len(folder) - 1))


@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
def test_a_path_sqlite_would_not_open_is_refused_before_anything_is_created(
        deep_folder, tmp_path, monkeypatch, cls):
    longest = of_length(deep_folder, 504)
    cls(longest).close_engine()
    assert os.path.exists(longest)

    def too_long(length):
        return (f"Database path too long: {length} bytes as SQLite resolves it (absolute, links followed); "
                "SQLite opens at most 504")

    base = os.path.realpath(tmp_path)
    os.symlink(deep_folder, os.path.join(base, "short"))
    deeper = of_length(deep_folder, 548)
    os.mkdir(deeper)
    os.symlink(deeper, os.path.join(base, "s"))
    monkeypatch.chdir(deep_folder)
    name = os.path.basename(of_length(deep_folder, 505))
    for given, refusal in [(of_length(deep_folder, 505), too_long(505)),
                           (of_length(deep_folder, 4000), too_long(4000)),
                           (name, too_long(505)),
                           (os.path.join(base, "short", name), too_long(505)),
                           # SQLite passes its limit inside the link, though the end is short
                           (os.path.join(base, "s", "..", "f.db"), too_long(548)),
                           ("/.." + os.path.join(deep_folder, "f.db"),
                            'Database path goes above "/" with ".." as SQLite resolves it (absolute, '
                            "links followed); SQLite opens no such path")]:
        with pytest.raises(RuntimeError) as raised:
            cls(given)
        assert str(raised.value) == refusal
    assert sorted(os.listdir(deep_folder)) == sorted([os.path.basename(longest), os.path.basename(deeper)] + (
        [os.path.basename(longest) + ".wal"] if cls is DBEngineWebServer else []))


OUT_OF_DESCRIPTORS = LIMIT_DESCRIPTORS + """
import gc, json, os, resource, sys
from quillmere import DBEngine
folder = sys.argv[1]

outcome = {"opens": []}
for free in range(8):
    limit_to(free)
    try:
        DBEngine(os.path.join(folder, f"{free}.db")).close_engine()
        outcome["opens"].append(None)
    except RuntimeError as error:
        outcome["opens"].append(str(error))
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    gc.collect()
db = DBEngine(os.path.join(folder, "read.db"))
db.insert("a", {})
db.close_engine()
limit_to(0)
try:
    db.get("a")  # the engine's first read opens a connection
except RuntimeError as error:
    outcome["read"] = str(error)
resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
outcome["read after"] = db.get("a")
print(json.dumps(outcome))
"""


@needs_spare_descriptors_for_sanitizers
def test_running_out_of_descriptors_is_named_as_the_cause(tmp_path):
    run = run_python(OUT_OF_DESCRIPTORS, tmp_path)
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout)
    failures = [text for text in outcome["opens"] if text is not None]
    assert failures[0] == f"I/O error: {TOO_MANY_FILES}"
    assert f"unable to open database file: {TOO_MANY_FILES}" in failures
    assert all(text.endswith(TOO_MANY_FILES) for text in failures), failures
    assert outcome["opens"][-1] is None  # enough descriptors at last
    assert outcome["read"] == f"unable to open database file: {TOO_MANY_FILES}"
    assert outcome["read after"] == {}
