"""DBEngineWebServer's audit log: one JSON line per accepted write."""

import gc
import json
import os
import re

import pytest

from conftest import CRASHED, wait_until
from quillmere import DBEngineWebServer

STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?[+-]\d\d:\d\d"
LINE = re.compile(r'\{"timestamp": "(' + STAMP + r')", "action": "(INSERT|UPSERT|DELETE)", "id": "([^"\\]*)"\}\n')


def log_lines(db_path):
    with open(db_path + ".jsonl", encoding="utf-8") as log:
        return log.readlines()


def test_every_accepted_write_is_logged_by_close(db_path):
    db = DBEngineWebServer(db_path, enable_logging=True)
    db.insert("a", {"x": 1})
    db.insert_json("b", "[1, 2]")
    db.upsert("a", {"x": 2})
    db.delete("never-stored")
    db.trigger_backup(os.path.join(os.path.dirname(db_path), "copy.db"))  # not logged
    with pytest.raises(RuntimeError):
        db.insert_json("c", "x")  # refused: not logged
    assert db.insert_many([("d", {"v": 1}), ("bad", {1: 2}), ("e", {"v": 2})])[0][0] == "bad"
    assert db.insert_many([("bad", {1: 2})]) is not None  # fully refused: no line
    db.insert_many_json([("f", "{}")])
    db.close_engine()
    matched = [LINE.fullmatch(line) for line in log_lines(db_path)]
    assert all(matched), log_lines(db_path)
    assert [(m[3], m[4]) for m in matched] == [
        ("INSERT", "a"), ("INSERT", "b"), ("UPSERT", "a"), ("DELETE", "never-stored"),
        ("INSERT", "d"), ("INSERT", "e"), ("INSERT", "f")]
    assert matched[4][1] == matched[5][1]  # one time stamp for the records of one batch


def test_a_second_engine_appends(db_path):
    for doc_id in ["first", "second"]:
        db = DBEngineWebServer(db_path, enable_logging=True)
        db.delete(doc_id)
        db.close_engine()
        del db
        gc.collect()
    assert [LINE.fullmatch(line)[4] for line in log_lines(db_path)] == ["first", "second"]


@pytest.mark.parametrize("doc_id", ['quote"d', "back\\slash", "new\nline", "nul\0byte", "emoji \U0001F600", "tab\tand\x1f"])
def test_every_line_is_json_whatever_the_id(db_path, doc_id):
    db = DBEngineWebServer(db_path, enable_logging=True)
    db.insert(doc_id, {})
    db.insert_many([(doc_id, {})])
    db.close_engine()
    lines = log_lines(db_path)
    assert len(lines) == 2 and all(line.endswith("}\n") for line in lines)
    records = [json.loads(line) for line in lines]
    assert [(list(record), record["id"]) for record in records] == [(["timestamp", "action", "id"], doc_id)] * 2


# What stands at the audit log's path -> how the refusal names it.
NOT_A_LOG = {"folder": "a folder, not a regular file; the engine neither reads",
             "FIFO": "a FIFO, not a regular file; the engine neither reads",
             "link to a text": "a symbolic link, not a regular file; the engine neither follows",
             "hard link to a text": "a file of 2 names (hard links), not one of its own; the engine neither reads"}


@pytest.mark.parametrize("log_path_holds", NOT_A_LOG)
def test_an_audit_log_that_cannot_be_used_refuses_writes_while_the_writers_go_on(tmp_path, db_path,
                                                                                   log_path_holds):
    log, text = db_path + ".jsonl", tmp_path / "text"
    text.write_text("another program's\n")
    {"folder": os.mkdir, "FIFO": os.mkfifo, "link to a text": lambda at: os.symlink(text, at),
     "hard link to a text": lambda at: os.link(text, at)}[log_path_holds](log)
    db = DBEngineWebServer(db_path, enable_logging=True)
    accepted = []

    def refused():
        try:
            db.insert(f"probe{len(accepted)}", {"n": len(accepted)})
            accepted.append(f"probe{len(accepted)}")
            return False
        except RuntimeError as error:
            assert str(error) == CRASHED
            return True

    assert wait_until(refused)
    with pytest.raises(RuntimeError) as raised:  # and never waits on what is there
        db.close_engine()
    assert str(raised.value) == (f"Background writer panicked during shut down: I/O error: {log}: it is "
                                 f"{NOT_A_LOG[log_path_holds]} nor changes it")
    assert text.read_text() == "another program's\n"
    assert db.close_engine() is None  # reported once
    # What was accepted before the log thread ended is still committed.
    assert [doc_id for doc_id, _ in db.scan_prefix("probe")] == sorted(accepted)
