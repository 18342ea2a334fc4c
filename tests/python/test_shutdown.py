"""Stopping an engine: close_engine, a second close, writes after a close, and
releasing the object without closing it."""

import subprocess
import sys

import pytest

from conftest import index_pairs, stored_documents
from quillmere import DBEngine

CRASHED = "Background write worker has crashed!"
CLOSED_TWICE = "Failed to send shutdown signal sending on a disconnected channel"
LOCKED = "Database already open. Cannot acquire lock."


def test_close_engine_commits_everything_queued(db_path):
    db = DBEngine(db_path)
    for i in range(12000):
        db.insert(f"doc{i}", {"i": i})
    db.upsert("doc0", {"i": -1})
    db.delete("doc1")
    assert db.close_engine() is None
    documents = stored_documents(db_path)
    assert len(documents) == 11999
    assert documents["doc0"] == b'{"i":-1}'
    assert documents["doc11999"] == b'{"i":11999}'
    assert "doc1" not in documents
    assert len(index_pairs(db_path)) == 11999


def test_second_close_is_refused(engine):
    engine.insert("a", {})
    assert engine.close_engine() is None
    for _ in range(2):
        with pytest.raises(RuntimeError) as excinfo:
            engine.close_engine()
        assert str(excinfo.value) == CLOSED_TWICE


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.insert("a", {}),
        lambda db: db.upsert("a", {}),
        lambda db: db.delete("a"),
        lambda db: db.insert_json("a", "{}"),
        lambda db: db.insert_many([]),
        lambda db: db.insert_many([("a", {})]),
        lambda db: db.insert_many_json([]),
        lambda db: db.insert_many_json([("a", "{}")]),
    ],
    ids=["insert", "upsert", "delete", "insert_json", "insert_many-empty", "insert_many",
         "insert_many_json-empty", "insert_many_json"],
)
def test_writes_after_close_are_refused(db_path, call):
    db = DBEngine(db_path)
    db.insert("before", {})
    db.close_engine()
    with pytest.raises(RuntimeError) as excinfo:
        call(db)
    assert str(excinfo.value) == CRASHED
    assert stored_documents(db_path) == {"before": b"{}"}


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

refusals = set()
deadline = time.monotonic() + 60
while True:
    try:
        reopened = DBEngine(path)
        break
    except RuntimeError as error:
        refusals.add(str(error))
        if time.monotonic() > deadline:
            raise
        time.sleep(0.01)
reopened.close_engine()
print(sorted(refusals))
"""


def test_release_without_close_still_applies_queued_writes(db_path):
    count = 30000
    run = subprocess.run([sys.executable, "-c", RELEASE_WITHOUT_CLOSE, db_path, str(count)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() in ("[]", repr([LOCKED]))
    documents = stored_documents(db_path)
    assert len(documents) == count - 1
    assert "doc0" not in documents
    assert documents[f"doc{count - 1}"] == f'{{"i":{count - 1}}}'.encode()
    assert len(index_pairs(db_path)) == count - 1


@pytest.mark.parametrize(
    "ending",
    [
        "",
        "del db\n",
        "db.close_engine()\n",
        "holder = [db]\nholder.append(holder)\ndel db, holder\n",
        "import threading\nthreading.Thread(target=lambda: db.insert_many([('t', {})])).start()\n",
        "raise SystemExit(0)\n",
    ],
    ids=["kept", "released", "closed", "in-cycle", "thread", "system-exit"],
)
def test_interpreter_exit_with_queued_writes(db_path, ending):
    script = (
        "import sys\n"
        "from quillmere import DBEngine\n"
        "db = DBEngine(sys.argv[1])\n"
        "for i in range(5000):\n"
        "    db.insert(f'doc{i}', {'i': i, 'tags': ['a', 'b']})\n"
    ) + ending
    run = subprocess.run([sys.executable, "-c", script, db_path], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    documents = stored_documents(db_path)
    if ending.startswith("db.close_engine"):
        assert len(documents) == 5000
    assert all(body == f'{{"i":{doc_id[3:]},"tags":["a","b"]}}'.encode()
               for doc_id, body in documents.items() if doc_id != "t")
