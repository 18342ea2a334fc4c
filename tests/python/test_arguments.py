"""Argument checks of every method of both classes (checked before anything is
queued, also on a closed engine), interrupts while arguments are read, and
writes refused after close_engine."""

import collections.abc

import pytest

from conftest import CRASHED, run_python, stored_documents
from quillmere import DBEngine, DBEngineWebServer

CLASSES = {"E": DBEngine, "W": DBEngineWebServer}
NOT_STR = "'{}' object is not an instance of 'str'"
NOT_DICT = "'{}' object is not an instance of 'dict'"
SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"

# (class, call, exception, message, parameter named by the note)
ARGUMENT_ERRORS = [
    ("E", lambda db: DBEngine(b"x"), TypeError, NOT_STR.format("bytes"), "path"),
    ("W", lambda db: DBEngineWebServer(7), TypeError, NOT_STR.format("int"), "path"),
    ("W", lambda db: DBEngineWebServer("/nonexistent/p", enable_logging=None), TypeError,
     "'None' is not an instance of 'bool'", "enable_logging"),
    ("W", lambda db: DBEngineWebServer("/nonexistent/p", backup_time=1230), TypeError, NOT_STR.format("int"), "backup_time"),
    ("W", lambda db: DBEngineWebServer("/nonexistent/p", backup_dir=b"d"), TypeError, NOT_STR.format("bytes"), "backup_dir"),
    ("E", lambda db: db.insert(1, {}), TypeError, NOT_STR.format("int"), "id"),
    ("W", lambda db: db.insert("\ud800", {}), UnicodeEncodeError, SURROGATE, "id"),
    ("E", lambda db: db.insert("a", [1]), TypeError, NOT_DICT.format("list"), "payload"),
    ("W", lambda db: db.insert("a", 5), TypeError, NOT_DICT.format("int"), "payload"),
    ("E", lambda db: db.upsert(None, {}), TypeError, "'None' is not an instance of 'str'", "id"),
    ("W", lambda db: db.upsert("a", "{}"), TypeError, NOT_DICT.format("str"), "payload"),
    ("E", lambda db: db.delete(b"a"), TypeError, NOT_STR.format("bytes"), "id"),
    ("W", lambda db: db.delete("\ud800"), UnicodeEncodeError, SURROGATE, "id"),
    ("E", lambda db: db.insert_json("a", {}), TypeError, NOT_STR.format("dict"), "json_payload"),
    ("W", lambda db: db.insert_json(1.5, "{}"), TypeError, NOT_STR.format("float"), "id"),
    ("W", lambda db: db.insert_json("a", "\ud800"), UnicodeEncodeError, SURROGATE, "json_payload"),
    ("E", lambda db: db.insert_many("ab"), TypeError, "Can't extract `str` to `Vec`", "records"),
    ("E", lambda db: db.insert_many(iter([])), TypeError,
     "'list_iterator' object is not an instance of 'Sequence'", "records"),
    ("E", lambda db: db.insert_many([("a", {}), ["b", {}]]), TypeError,
     "'list' object is not an instance of 'tuple'", "records"),
    ("E", lambda db: db.insert_many([("a", {}), ("b", {}, 1)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3", "records"),
    ("W", lambda db: db.insert_many([("a", ["x"])]), TypeError, NOT_DICT.format("list"), "records"),
    ("E", lambda db: db.insert_many_json([("a", "{}"), ("b", {})]), TypeError, NOT_STR.format("dict"), "records"),
    ("W", lambda db: db.insert_many_json([("a", "{}"), ("\ud800", "{}")]), UnicodeEncodeError, SURROGATE,
     "records"),
    ("E", lambda db: db.get(1), TypeError, NOT_STR.format("int"), "id"),
    ("W", lambda db: db.get(b"a"), TypeError, NOT_STR.format("bytes"), "id"),
    ("E", lambda db: db.get_many("ab"), TypeError, "Can't extract `str` to `Vec`", "ids"),
    ("W", lambda db: db.get_many(["a", b"b"]), TypeError, NOT_STR.format("bytes"), "ids"),
    ("E", lambda db: db.scan_prefix(["a"]), TypeError, NOT_STR.format("list"), "prefix"),
    ("W", lambda db: db.scan_prefix("\ud800"), UnicodeEncodeError, SURROGATE, "prefix"),
    ("E", lambda db: db.filter_by_metadata(1, "x"), TypeError, NOT_STR.format("int"), "index_key"),
    ("E", lambda db: db.filter_by_metadata("x", True), TypeError, NOT_STR.format("bool"), "index_value"),
    ("W", lambda db: db.filter_by_metadata("x", b"v", None, None), TypeError, NOT_STR.format("bytes"),
     "index_value"),
    ("W", lambda db: db.filter_by_metadata("x", "v", 1.5, None), TypeError,
     "'float' object cannot be interpreted as an integer", "limit"),
    ("W", lambda db: db.filter_by_metadata("x", "v", None, -1), OverflowError,
     "can't convert negative int to unsigned", "offset"),
    ("W", lambda db: db.trigger_backup(None), TypeError, "'None' is not an instance of 'str'", "target_path"),
]


@pytest.mark.parametrize("cls, call, kind, message, note", ARGUMENT_ERRORS, ids=range(len(ARGUMENT_ERRORS)))
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
def test_argument_errors(tmp_path, cls, call, kind, message, note, closed):
    path = str(tmp_path / "db")
    db = CLASSES[cls](path)
    if closed:
        db.close_engine()
    with pytest.raises(kind) as raised:
        call(db)
    assert (type(raised.value), str(raised.value), raised.value.__notes__) == (
        kind, message, [f"while processing '{note}'"])
    if not closed:
        db.close_engine()
    assert stored_documents(path) == {}


class RaisesAt(collections.abc.Sequence):
    """Holds `items`; reading its length (`at` None) or item `at` raises `error`."""

    def __init__(self, error, items, at=None):
        self.error, self.items, self.at = error, items, at

    def __len__(self):
        if self.at is None:
            raise self.error
        return len(self.items)

    def __getitem__(self, index):
        if index == self.at:
            raise self.error
        return self.items[index]


# The caller's code run while an argument is read, raising `error`.
INTERRUPTED_ARGUMENTS = [
    ("E", lambda db, error: db.insert_many(RaisesAt(error, [("a", {}), ("b", {})], at=1))),
    ("W", lambda db, error: db.insert_many(RaisesAt(error, [("a", {}), ("b", {})], at=1))),
    ("W", lambda db, error: db.insert_many_json(RaisesAt(error, [("a", "{}"), ("b", "{}")], at=1))),
    ("W", lambda db, error: db.get_many(RaisesAt(error, ["a", "b"]))),
]


@pytest.mark.parametrize("cls, call", INTERRUPTED_ARGUMENTS, ids=range(len(INTERRUPTED_ARGUMENTS)))
@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit])
def test_interrupts_while_arguments_are_read_propagate_unchanged(tmp_path, cls, call, kind):
    path = str(tmp_path / "db")
    db = CLASSES[cls](path)
    error = kind("stop")
    with pytest.raises(kind) as raised:
        call(db, error)
    assert raised.value is error and not hasattr(error, "__notes__")
    db.close_engine()
    assert stored_documents(path) == {}


COUNT_ERRORS = [
    ("E", lambda db: DBEngine(), "DBEngine.__new__() missing 1 required positional argument: 'path'"),
    ("E", lambda db: DBEngine("a", path="a"), "DBEngine.__new__() got multiple values for argument 'path'"),
    ("W", lambda db: DBEngineWebServer("a", None, None, False, 1),
     "DBEngineWebServer.__new__() takes 4 positional arguments but 5 were given"),
    ("E", lambda db: db.insert("a"), "DBEngine.insert() missing 1 required positional argument: 'payload'"),
    ("W", lambda db: db.insert("a", {}, {}), "DBEngineWebServer.insert() takes 2 positional arguments but 3 were given"),
    ("E", lambda db: db.upsert(id="a", body={}), "DBEngine.upsert() got an unexpected keyword argument 'body'"),
    ("W", lambda db: db.delete(), "DBEngineWebServer.delete() missing 1 required positional argument: 'id'"),
    ("W", lambda db: db.filter_by_metadata("k", "v", None),
     "DBEngineWebServer.filter_by_metadata() missing 1 required positional argument: 'offset'"),
    ("E", lambda db: db.close_engine(1), "DBEngine.close_engine() takes 0 positional arguments but 1 was given"),
    ("W", lambda db: db.__exit__(None, None),
     "DBEngineWebServer.__exit__() missing 1 required positional argument: '_traceback'"),
]


@pytest.mark.parametrize("cls, call, message", COUNT_ERRORS, ids=range(len(COUNT_ERRORS)))
def test_wrong_counts_and_keywords(tmp_path, cls, call, message):
    db = CLASSES[cls](str(tmp_path / "db"))
    with pytest.raises(TypeError) as raised:
        call(db)
    assert str(raised.value) == message
    db.close_engine()


# Refused before the payload is looked at: each payload would fail otherwise.
WRITES = [("insert", "a", {"x": b""}), ("upsert", "a", {1: 2}), ("delete", "a"), ("insert_json", "a", "x"),
          ("insert_many", [("a", {1: 2})]), ("insert_many_json", [("a", "x")])]


@pytest.mark.parametrize("cls, write", [("E", w) for w in WRITES] + [("W", w) for w in WRITES]
                         + [("W", ("trigger_backup", "copy.db"))], ids=lambda v: v if isinstance(v, str) else v[0])
def test_writes_after_close_are_refused(tmp_path, cls, write):
    path = str(tmp_path / "db")
    db = CLASSES[cls](path)
    db.insert("kept", {})
    db.close_engine()
    method, *args = write
    with pytest.raises(RuntimeError) as raised:
        getattr(db, method)(*args)
    assert str(raised.value) == CRASHED
    assert db.get("kept") == {}  # reads go on
    assert stored_documents(path) == {"kept": b"{}"}
    assert not (tmp_path / "copy.db").exists()



SIGNATURES = """
import inspect, pydoc, quillmere
for cls in (quillmere.DBEngine, quillmere.DBEngineWebServer):
    print(cls.__name__, inspect.signature(cls))
    for name in sorted(vars(cls)):
        if name in ("__enter__", "__exit__") or not name.startswith("_") and callable(getattr(cls, name)):
            print(name, inspect.signature(getattr(cls, name)), getattr(cls, name).__doc__)
    assert "get(self, /, id)" in pydoc.render_doc(cls, renderer=pydoc.plaintext)
"""
SHARED = ["close_engine (self, /)", "delete (self, /, id)", "filter_by_metadata", "get (self, /, id)", "get_many (self, /, ids)",
          "insert (self, /, id, payload)", "insert_json (self, /, id, json_payload)", "insert_many (self, /, records)",
          "insert_many_json (self, /, records)", "scan_prefix (self, /, prefix)", "upsert (self, /, id, payload)"]


def test_help_and_every_signature_in_a_fresh_interpreter():
    """The method texts live as long as the classes: each run reads them in a new process."""
    filter_index = SHARED.index("filter_by_metadata")
    engine = [f"{m} None" for m in SHARED]
    engine[filter_index] = "filter_by_metadata (self, /, index_key, index_value) None"
    server = [f"{m} None" for m in SHARED[:-1]] + ["trigger_backup (self, /, target_path) None", f"{SHARED[-1]} None"]
    server[filter_index] = "filter_by_metadata (self, /, index_key, index_value, limit, offset) None"
    expected = ["DBEngine (path)", *engine,
                "DBEngineWebServer (path, backup_time=None, backup_dir=None, enable_logging=False)",
                "__enter__ (self, /) None", "__exit__ (self, /, _exc_type, _exc_value, _traceback) None", *server]
    for _ in range(3):
        run = run_python(SIGNATURES)
        assert (run.returncode, run.stderr, run.stdout.splitlines()) == (0, "", expected)


class ClaimsMore(collections.abc.Sequence):
    """A sequence whose __len__ reports far more items than it holds."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return 2**40

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("cls", CLASSES)
def test_sequences_reporting_huge_lengths_are_read_item_by_item(tmp_path, cls):
    db = CLASSES[cls](str(tmp_path / "db"))
    assert db.insert_many(ClaimsMore(("a", {"v": 1}))) is None
    assert db.insert_many_json(ClaimsMore(("b", "[2]"))) is None
    with pytest.raises(TypeError, match="is not an instance of 'str'"):
        db.get_many(range(10**9))
    db.close_engine()
    assert db.get_many(ClaimsMore("a", "x")) == [("a", {"v": 1}), ("x", None)]
    assert stored_documents(str(tmp_path / "db")) == {"a": b'{"v":1}', "b": b"[2]"}
