"""Opening a database file with DBEngine(path)."""

import gc
import os
import subprocess
import sys

import pytest

from conftest import index_pairs, raw_rows, stored_documents
from quillmere import DBEngine

LOCKED = "Database already open. Cannot acquire lock."


def table_names(path):
    return sorted(name for (name,) in raw_rows(path, "SELECT name FROM sqlite_master WHERE type = 'table'"))


def test_new_file_has_both_tables_and_no_rows(db_path):
    assert not os.path.exists(db_path)
    db = DBEngine(db_path)
    db.close_engine()
    assert os.path.isfile(db_path)
    assert table_names(db_path) == ["documents", "metadata_index"]
    assert stored_documents(db_path) == {}
    assert index_pairs(db_path) == []


def test_reopening_keeps_documents_and_index(db_path):
    db = DBEngine(db_path)
    db.insert("a", {"x": 1, "tags": ["red"]})
    db.insert_json("b", '[true, "s"]')
    db.close_engine()
    del db
    gc.collect()
    documents, pairs = stored_documents(db_path), index_pairs(db_path)
    assert documents == {"a": b'{"tags":["red"],"x":1}', "b": b'[true, "s"]'}
    assert pairs == [("0.true", "b"), ("1.s", "b"), ("tags.0.red", "a"), ("x.1", "a")]

    for _ in range(2):
        again = DBEngine(db_path)
        again.close_engine()
        del again
        gc.collect()
        assert table_names(db_path) == ["documents", "metadata_index"]
        assert stored_documents(db_path) == documents
        assert index_pairs(db_path) == pairs


def test_second_engine_on_same_path_is_refused_until_first_is_released(db_path):
    first = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        DBEngine(db_path)
    assert str(excinfo.value) == LOCKED

    first.close_engine()
    with pytest.raises(RuntimeError) as excinfo:
        DBEngine(db_path)
    assert str(excinfo.value) == LOCKED

    del first
    gc.collect()
    second = DBEngine(db_path)
    second.insert("k", {})
    second.close_engine()
    assert stored_documents(db_path) == {"k": b"{}"}


def test_refused_open_leaves_the_first_engine_working(db_path):
    first = DBEngine(db_path)
    with pytest.raises(RuntimeError):
        DBEngine(db_path)
    first.insert("still", {"ok": True})
    first.close_engine()
    assert stored_documents(db_path) == {"still": b'{"ok":true}'}


def test_engine_in_another_process_is_refused(db_path):
    script = (
        "import sys\n"
        "from quillmere import DBEngine\n"
        "try:\n"
        "    DBEngine(sys.argv[1])\n"
        "except RuntimeError as error:\n"
        "    print(error)\n"
        "else:\n"
        "    print('opened')\n"
    )
    db = DBEngine(db_path)
    run = subprocess.run([sys.executable, "-c", script, db_path], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == LOCKED + "\n"
    db.close_engine()
    del db
    gc.collect()
    run = subprocess.run([sys.executable, "-c", script, db_path], capture_output=True, text=True)
    assert run.stdout == "opened\n"


def test_missing_folder_is_an_io_error(tmp_path):
    path = tmp_path / "no" / "such" / "folder" / "db"
    with pytest.raises(RuntimeError) as excinfo:
        DBEngine(str(path))
    assert str(excinfo.value).startswith("I/O error: ")
    assert not (tmp_path / "no").exists()


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "DBEngine.__new__() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, None),
        ((), {"pth": "x"}, None),
        (("a",), {"path": "a"}, None),
    ],
    ids=["no-argument", "two-arguments", "unknown-keyword", "path-twice"],
)
def test_wrong_arguments_raise_type_error(tmp_path, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        DBEngine(*args, **kwargs)
    if message is not None:
        assert str(excinfo.value) == message
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "make_path, message",
    [
        (lambda folder: str(folder / "db").encode(), "'bytes' object is not an instance of 'str'"),
        (lambda folder: 7, "'int' object is not an instance of 'str'"),
        (lambda folder: folder / "db", "'PosixPath' object is not an instance of 'str'"),
    ],
    ids=["bytes", "int", "path-object"],
)
def test_path_must_be_str(tmp_path, monkeypatch, make_path, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as excinfo:
        DBEngine(make_path(tmp_path))
    assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == ["while processing 'path'"]
    assert list(tmp_path.iterdir()) == []


def test_path_by_keyword(db_path):
    db = DBEngine(path=db_path)
    db.insert(id="k", payload={"v": 1})
    db.close_engine()
    assert stored_documents(db_path) == {"k": b'{"v":1}'}
