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


def test_a_failing_audit_log_refuses_writes_while_the_writers_go_on(db_path):
    os.mkdir(db_path + ".jsonl")
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
    with pytest.raises(RuntimeError, match=r"^Background writer panicked during shut down: I/O error: Is a directory \(os error 21\)$"):
        db.close_engine()
    assert db.close_engine() is None  # reported once
    # What was accepted before the log thread ended is still committed.
    assert [doc_id for doc_id, _ in db.scan_prefix("probe")] == sorted(accepted)
