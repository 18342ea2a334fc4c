"""DBEngineWebServer when a batch cannot be applied: the WAL file keeps its
frames, and the next engine on the path replays them."""

import gc
import itertools
import json
import pathlib
import sqlite3
import time

import pytest

from conftest import (LIMIT_DESCRIPTORS, UNDER_SANITIZERS, frame, index_pairs, needs_spare_descriptors_for_sanitizers,
                      raw_rows, refuses, run_python, stored_documents, wait_until)
from quillmere import DBEngineWebServer

PANICKED = "Background writer panicked during shut down: "
RECOVERED = "WAL Recover: Successfully written all records to database!\n"


def wal_bytes(path):
    """The WAL file's contents; None until the WAL writer has created it."""
    wal = pathlib.Path(path + ".wal")
    return wal.read_bytes() if wal.exists() else None


def test_a_batch_waiting_for_the_write_lock_keeps_its_frame_and_is_counted(db_path, server):
    written = frame(1, b"a", b'{"x":1}')
    blocker = sqlite3.connect(db_path, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
    try:
        server.insert("a", {"x": 1})
        assert wait_until(lambda: wal_bytes(db_path) == written)
        window = time.monotonic() + 0.3
        while time.monotonic() < window:  # neither applied nor emptied
            assert wal_bytes(db_path) == written and server.get("a") is None
            time.sleep(0.01)
        assert server.queue_size == 1
    finally:
        blocker.execute("ROLLBACK")
        blocker.close()
    assert wait_until(lambda: server.get("a") == {"x": 1})
    assert wait_until(lambda: wal_bytes(db_path) == b"")


def test_a_batch_that_cannot_begin_ends_the_writer_and_is_replayed_by_the_next_engine(db_path, capfd):
    db = DBEngineWebServer(db_path)
    db.insert("a", {"v": 1})
    assert wait_until(lambda: db.get("a") is not None and wal_bytes(db_path) == b"")
    raw_rows(db_path, "DROP TABLE metadata_index")  # the next batch cannot open it
    db.insert("x", {"k": "v"})
    failure = "quillmere: background thread failed: no such table: metadata_index\n"
    err = []
    assert wait_until(lambda: err.append(capfd.readouterr().err) or "".join(err) == failure)
    # Forty idle intervals of the WAL writer: were the failed batch counted as
    # applied, the file would be emptied meanwhile.
    time.sleep(40 * 0.005)
    assert wal_bytes(db_path) == frame(1, b"x", b'{"k":"v"}')
    assert wait_until(lambda: refuses(db))
    with pytest.raises(RuntimeError, match=f"^{PANICKED}no such table: metadata_index$"):
        db.close_engine()
    assert capfd.readouterr().err == ""
    del db
    gc.collect()
    DBEngineWebServer(db_path).close_engine()  # the table is made anew, then "x" replayed
    assert capfd.readouterr().out == RECOVERED
    assert stored_documents(db_path) == {"a": b'{"v":1}', "x": b'{"k":"v"}'}
    assert index_pairs(db_path) == [("k.v", "x")]


FILE_SIZE_LIMIT = """
import json, resource, signal, sqlite3, sys, time
from quillmere import DBEngineWebServer
path, (limit, calls, count, hold), document = sys.argv[1], map(int, sys.argv[2:6]), json.loads(sys.argv[6])
# SIGXFSZ ignored turns the limit into EFBIG.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
db = DBEngineWebServer(path)
if hold:  # the database takes nothing before the WAL file is full
    blocker = sqlite3.connect(path, isolation_level=None)
    blocker.execute("BEGIN IMMEDIATE")
outcome = {"accepted": 0}
try:
    for j in range(calls):
        db.insert_many([(f"k{j}-{i}", document) for i in range(count)])
        outcome["accepted"] += count
except RuntimeError:
    pass  # refused: a writer has failed
if hold:
    deadline = time.monotonic() + 4  # well within the database writer's busy timeout
    while time.monotonic() < deadline:
        try:
            db.delete("absent")
        except RuntimeError:
            break
        time.sleep(0.01)
    blocker.execute("ROLLBACK")
try:
    db.close_engine()
except RuntimeError as error:
    outcome["close"] = str(error)
print(json.dumps(outcome))
"""


@pytest.mark.parametrize("limit, calls, count, document, entries, reasons, hold", [
    pytest.param(16 * 2**20, 4, 8000, {"a": list(range(100))}, 100, ("disk I/O error", "database or disk is full"),
                 False, id="database-first"),
    pytest.param(3 * 2**20, 1, 2000, {"s": "x" * 2000}, 1, ("I/O error: File too large (os error 27)",), True,
                 id="wal-first"),
])
def test_a_file_size_limit_fails_close_and_the_next_engine_recovers_a_prefix_of_the_writes(
        db_path, limit, calls, count, document, entries, reasons, hold):
    run = run_python(FILE_SIZE_LIMIT, db_path, limit, calls, count, int(hold), json.dumps(document))
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout)
    assert outcome.get("close") in [PANICKED + reason for reason in reasons], outcome
    DBEngineWebServer(db_path).close_engine()
    # Frames and commits both follow the order of the writes: no gap, no torn document.
    body = json.dumps(document, separators=(",", ":")).encode()
    keys = [f"k{j}-{i}" for j in range(calls) for i in range(count)]
    stored = stored_documents(db_path)
    assert stored == dict.fromkeys(keys[:len(stored)], body)
    assert raw_rows(db_path, "SELECT count(*), count(DISTINCT id) FROM metadata_index") == [
        (entries * len(stored), len(stored))]
    # Every accepted write whose frame fits under the limit is kept.
    fits = sum(end <= limit for end in itertools.accumulate(9 + len(key) + len(body) for key in keys))
    assert len(stored) >= min(outcome["accepted"], fits) > 0


REPLAY_UNDER_LIMIT = """
import os, resource, sys
from quillmere import DBEngineWebServer
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (mapped + 200 * 2**20, resource.RLIM_INFINITY))
try:
    DBEngineWebServer(sys.argv[1])
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif(UNDER_SANITIZERS,
                    reason="the sanitizer's own allocator needs more address space than the limit leaves")
def test_a_replay_that_runs_out_of_memory_raises_and_keeps_every_frame(db_path):
    # Indexing an array of 12 million numbers takes some 500 MB, more than the child may map.
    document = b'{"a":[' + b",".join([b"1"] * 3_000_000) + b"]}"
    frames = frame(1, b"k", b'{"x":1}') + frame(1, b"big", document)
    pathlib.Path(db_path + ".wal").write_bytes(frames)
    run = run_python(REPLAY_UNDER_LIMIT, db_path)
    assert (run.returncode, run.stdout, run.stderr) == (0, "MemoryError\n", "")
    assert wal_bytes(db_path) == frames and stored_documents(db_path) == {}
    db = DBEngineWebServer(db_path)
    assert (db.get("k"), len(db.get("big")["a"]), wal_bytes(db_path)) == ({"x": 1}, 3_000_000, b"")
    db.close_engine()


OUT_OF_DESCRIPTORS = LIMIT_DESCRIPTORS + """
import gc, json, os, resource, sys
from quillmere import DBEngine, DBEngineWebServer
folder = sys.argv[1]
runs = []
for free in range(10):
    path = os.path.join(folder, f"{free}.db")
    limit_to(free)
    run = {"accepted": 0}
    try:
        db = DBEngineWebServer(path, enable_logging=True)
    except RuntimeError as error:
        run["new"] = str(error)
    else:
        for i in range(200):
            try:
                db.insert(f"k{i:03}", {"i": i})
            except RuntimeError as error:
                run["refused"] = str(error)
                break
            run["accepted"] += 1
        try:
            run["close"] = db.close_engine()
        except RuntimeError as error:
            run["close"] = str(error)
        del db
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    gc.collect()
    if os.path.exists(path):
        plain = DBEngine(path)
        run["stored"] = [doc_id for doc_id, _ in plain.scan_prefix("")]
        plain.close_engine()
        del plain
        gc.collect()
    runs.append(run)
print(json.dumps(runs))
"""


@needs_spare_descriptors_for_sanitizers
def test_running_out_of_descriptors_loses_no_accepted_write(tmp_path):
    run = run_python(OUT_OF_DESCRIPTORS, tmp_path)
    assert run.returncode == 0, run.stderr
    runs = json.loads(run.stdout)
    too_many = "Too many open files (os error 24)"
    for outcome in runs:
        assert outcome.get("stored", []) == [f"k{i:03}" for i in range(outcome["accepted"])], outcome
        assert outcome.get("new", too_many).endswith(too_many), outcome
        assert outcome.get("close") in (None, PANICKED + "I/O error: " + too_many), outcome
    # The descriptor the WAL file needs is the one its replay needs first.
    assert f"Failed to open WAL file {too_many}" in [outcome.get("new") for outcome in runs]
    # Next the audit log cannot be opened: writes are refused from the start, none go unlogged.
    log_failed = [outcome for outcome in runs if outcome.get("close")]
    assert log_failed and all(outcome["accepted"] == 0 for outcome in log_failed), runs
    assert runs[-1] == {"accepted": 200, "close": None, "stored": [f"k{i:03}" for i in range(200)]}
