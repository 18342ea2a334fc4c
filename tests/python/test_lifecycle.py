"""Opening, locking, closing and releasing an engine; the interpreter exiting
with work queued or reads running; a writer whose commit fails; the module."""

import gc
import importlib.util
import json
import os
import subprocess
import sys

import pytest

from conftest import CRASHED, LOCKED, index_pairs, raw_rows, run_python, stored_documents
from quillmere import DBEngine
from quillmere import quillmere as native

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "stress"))
import exit_test  # noqa: E402

CLOSED_TWICE = "Failed to send shutdown signal sending on a disconnected channel"


def test_the_file_is_locked_until_the_engine_is_released_and_reopening_keeps_every_row(db_path):
    first = DBEngine(db_path)
    assert raw_rows(db_path, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name") == [
        ("documents",), ("metadata_index",)]
    probe = "import sys\nfrom quillmere import DBEngine\ntry:\n    DBEngine(sys.argv[1])\n" \
            "except RuntimeError as error:\n    print(error)\nelse:\n    print('opened')\n"
    assert run_python(probe, db_path).stdout == LOCKED + "\n"
    with pytest.raises(RuntimeError, match=f"^{LOCKED}$"):
        DBEngine(db_path)
    first.insert("still", {"ok": True})  # the refused open left the first one working
    first.insert_json("b", '[true, "s"]')
    first.close_engine()
    with pytest.raises(RuntimeError, match=f"^{LOCKED}$"):
        DBEngine(db_path)  # a closed engine still holds the file
    del first
    gc.collect()
    second = DBEngine(db_path)
    assert second.get("still") == {"ok": True}
    second.close_engine()
    del second
    gc.collect()
    assert run_python(probe, db_path).stdout == "opened\n"
    assert stored_documents(db_path) == {"still": b'{"ok":true}', "b": b'[true, "s"]'}
    assert index_pairs(db_path) == [("0.true", "b"), ("1.s", "b"), ("ok.true", "still")]


def test_close_commits_everything_and_later_writes_are_refused(db_path):
    db = DBEngine(db_path)
    for i in range(12000):
        db.insert(f"doc{i}", {"i": i})
    db.upsert("doc0", {"i": -1})
    db.delete("doc1")
    assert db.close_engine() is None
    documents = stored_documents(db_path)
    assert len(documents) == 11999 and "doc1" not in documents
    assert (documents["doc0"], documents["doc11999"]) == (b'{"i":-1}', b'{"i":11999}')
    assert len(index_pairs(db_path)) == 11999
    for _ in range(2):
        with pytest.raises(RuntimeError, match=f"^{CLOSED_TWICE}$"):
            db.close_engine()
    assert db.get("doc0") == {"i": -1}  # reads go on


RELEASE_WITHOUT_CLOSE = """
import gc, sys, time
from quillmere import DBEngine
path, count = sys.argv[1], int(sys.argv[2])
db = DBEngine(path)
for i in range(count):
    db.insert(f"doc{i}", {"i": i})
db.delete("doc0")
del db
gc.collect()
deadline = time.monotonic() + 60
while True:
    try:
        DBEngine(path).close_engine()
        break
    except RuntimeError as error:
        assert str(error) == "Database already open. Cannot acquire lock.", error
        assert time.monotonic() < deadline
        time.sleep(0.01)
"""


def test_release_without_close_still_applies_queued_writes(db_path):
    run = run_python(RELEASE_WITHOUT_CLOSE, db_path, 30000)
    assert (run.returncode, run.stderr) == (0, "")
    documents = stored_documents(db_path)
    assert (len(documents), "doc0" in documents, documents["doc29999"]) == (29999, False, b'{"i":29999}')
    assert len(index_pairs(db_path)) == 29999


@pytest.mark.parametrize("mode", exit_test.MODES)
def test_interpreter_exit_commits_every_accepted_write(tmp_path, mode):
    """One quick run of each mode of the stress exit test; the padded batches leave the
    writers work at the exit, so an exit that does not wait for them loses documents."""
    assert exit_test.run_once(mode, 0, str(tmp_path), count=min(exit_test.MODES[mode][1], 20000), pad=4000) is None


@pytest.mark.parametrize("mode", exit_test.DAEMON_WRITERS)
def test_daemon_threads_writing_through_the_exit_lose_no_accepted_write(tmp_path, mode):
    assert exit_test.run_daemon_writers_once(mode, 0, str(tmp_path)) is None


COMMIT_FAILURE = """
import json, os, resource, signal, sys, time
from quillmere import DBEngine
path = sys.argv[1]
db = DBEngine(path)
db.insert("seed", {"v": 0})
db.insert_many([])
deadline = time.monotonic() + 30
while db.get("seed") is None and time.monotonic() < deadline:
    time.sleep(0.01)
# The write-ahead log is what grows; SIGXFSZ ignored turns the limit into EFBIG.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
limit = os.path.getsize(path) + os.path.getsize(path + "-wal") + 3 * 2**20
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
committed, crashed = 0, False
while not crashed:
    try:
        db.insert_many([(f"b{committed}-{i}", {"b": committed, "i": i, "pad": "p" * 1000}) for i in range(100)])
    except RuntimeError as error:  # the writer failed on the first operations of this very call
        assert str(error) == "Write queue full or closed. sending on a disconnected channel", error
        crashed = True
    deadline = time.monotonic() + 30
    while not crashed and time.monotonic() < deadline:
        if db.get(f"b{committed}-99") is not None:
            break
        try:
            db.delete("absent")  # a probe: raises once the writer has gone
        except RuntimeError as error:
            assert str(error) == "Background write worker has crashed!", error
            crashed = True
        time.sleep(0.005)
    assert time.monotonic() < deadline, "neither committed nor crashed"
    if db.get(f"b{committed}-99") is not None:  # committed just before a later batch failed
        committed += 1
outcome = {"committed": committed}
for name, call in [("insert", lambda: db.insert("late", {})), ("close", db.close_engine)]:
    try:
        call()
    except RuntimeError as error:
        outcome[name] = str(error)
outcome["get"] = db.get("seed")
print(json.dumps(outcome))
"""


def test_a_failed_commit_ends_the_writer_as_a_crash(db_path):
    run = run_python(COMMIT_FAILURE, db_path)
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout)
    committed = outcome["committed"]
    assert committed >= 1
    assert outcome["insert"] == CRASHED
    reason = outcome["close"].removeprefix("Background writer panicked during shut down: ")
    assert reason in ("disk I/O error", "database or disk is full"), outcome["close"]
    assert run.stderr == f"quillmere: background thread failed: {reason}\n"
    assert outcome["get"] == {"v": 0}

    # The writer commits whatever is queued, so the failing insert_many may
    # have a prefix in an earlier, committed transaction; never a gap.
    stored = stored_documents(db_path)
    cut = next((i for i in range(100) if f"b{committed}-{i}" not in stored), 100)
    expected = {f"b{b}-{i}": f'{{"b":{b},"i":{i},"pad":"{"p" * 1000}"}}'.encode()
                for b in range(committed + 1) for i in range(100 if b < committed else cut)}
    expected["seed"] = b'{"v":0}'
    assert stored == expected
    db = DBEngine(db_path)
    assert [doc_id for doc_id, _ in db.filter_by_metadata("pad", "p" * 1000)] == sorted(expected.keys() - {"seed"})
    assert len(index_pairs(db_path)) == 3 * (len(expected) - 1) + 1
    db.close_engine()


def test_module_holds_only_the_engine_classes_and_import_has_no_side_effects(tmp_path):
    public = {name for name in vars(native) if not name.startswith("__")}
    assert public == {"DBEngine", "DBEngineWebServer"}
    assert native.__doc__ == "" and sys.modules["quillmere"].DBEngine is native.DBEngine
    spec = importlib.util.find_spec("quillmere.quillmere")
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)  # running the module step again reuses the classes
    assert (fresh.DBEngine, fresh.DBEngineWebServer) == (native.DBEngine, native.DBEngineWebServer)
    script = ("import os, warnings\nwarnings.simplefilter('error')\nbefore = len(os.listdir('/proc/self/task'))\n"
              "import quillmere\nprint(before == len(os.listdir('/proc/self/task')), os.listdir('.'))\n")
    run = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert (run.stdout, run.stderr) == ("True []\n", "")
