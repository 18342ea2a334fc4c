"""Hostile input through every write method and every read: NUL bytes, lone
surrogates, 10 MiB strings, integers at the 64- and 128-bit edges, NaN and
infinities, nesting 100,000 levels deep, mappings and sequences whose
methods raise, bytes where text belongs. Each case gives its documented
error or result; afterwards the engine still writes, and the file holds
exactly the baseline rows plus what the case stored."""

import collections.abc
import gc
import shutil
import sqlite3
from dataclasses import dataclass, field

import pytest

from conftest import index_pairs, raw_rows, stored_documents
from quillmere import DBEngine

BIG = 10 * 1024 * 1024
DEEP = 100_000
DEPTH_MESSAGE = "RecursionError: maximum recursion depth exceeded while converting a document"

BASELINE = {"base": {"name": "base", "tags": ["red"], "n": 1}, "base.2": {"x": None, "y": [1.5]}}
CANARY = ("canary", {"alive": True})


def interpreter_text(action):
    """'{type}: {message}' of the exception `action` raises."""
    try:
        action()
    except Exception as error:  # noqa: BLE001 - the text is all we want
        return f"{type(error).__name__}: {error}"
    raise AssertionError("no exception")


def surrogate_text(character):
    return interpreter_text(lambda: character.encode())


def overflow_text(value):
    return interpreter_text(lambda: value.to_bytes(16, "little", signed=value < 0))


def hostile(*_args, **_kwargs):
    raise ValueError("hostile")


class RaisingMapping(collections.abc.Mapping):
    """A mapping every one of whose methods raises the same error."""
    __getitem__ = __iter__ = __len__ = items = keys = values = __contains__ = hostile


class RaisingSequence(collections.abc.Sequence):
    __getitem__ = __iter__ = __len__ = __contains__ = __reversed__ = hostile


class RaisingSet(set):
    __iter__ = __len__ = hostile


class UnprintableError(Exception):
    def __str__(self):
        raise ValueError("no text either")


class UnprintableSequence(collections.abc.Sequence):
    def __len__(self):
        raise UnprintableError()

    def __getitem__(self, index):
        raise UnprintableError()


class BadItemsMapping(collections.abc.Mapping):
    """items() yields lists and triples instead of (key, value) pairs."""

    def __getitem__(self, key):
        return 1

    def __iter__(self):
        return iter(["k"])

    def __len__(self):
        return 1

    def items(self):
        return [["k", 1], ("a", 2, 3)]


class RaisingDict(dict):
    """A dict whose overridden methods raise; the dict's own items are intact."""
    __getitem__ = __iter__ = __len__ = items = keys = values = hostile


class RaisingList(list):
    __getitem__ = __iter__ = __len__ = hostile


@dataclass
class Clearing(collections.abc.Sequence):
    """A sequence whose element access clears a list held elsewhere."""
    victim: list = field(default_factory=list)

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index >= 1:
            raise IndexError(index)
        self.victim.clear()
        return "cleared"


def deep_list(depth):
    root = current = []
    for _ in range(depth - 1):
        current.append([])
        current = current[0]
    return root


def deep_dict(depth):
    root = current = {}
    for _ in range(depth - 1):
        current["k"] = {}
        current = current["k"]
    return root


DEEP_ARRAY_TEXT = "[" * DEEP + "1" + "]" * DEEP
DEEP_OBJECT_TEXT = '{"k":' * DEEP + "2" + "}" * DEEP
DEEP_ARRAY_PATH = ".".join("0" * DEEP)
DEEP_OBJECT_PATH = ".".join("k" * DEEP)
# The 128th container is the one refused; its bracket is at offset 127 (and
# 635 in the object text), and the column counts one past it.
DEEP_ARRAY_REASON = "recursion limit exceeded at line 1 column 128"

BIG_TEXT = "é" * (BIG // 2)  # 10 MiB of UTF-8
BIG_ID = "i" * BIG


# ---------------------------------------------------------------------------

class Case:
    """One hostile call. `raises`: (exception type, exact message or a
    predicate on it, the parameter the exception's note names, or None).
    Otherwise `returns` is what the call gives back (None for writes). The
    file then holds the baseline, plus `rows` and `index` written straight
    into it before the call, plus `stored` and `entries` (the rows and index
    pairs the call adds, also when it raises after queueing some), less the
    `removed` ids."""

    def __init__(self, name, call, raises=None, returns=None, stored=None, entries=(), rows=None, index=(),
                 removed=()):
        self.name, self.call, self.raises, self.returns = name, call, raises, returns
        self.stored = stored or {}
        self.entries = set(entries)
        self.rows = rows or {}
        self.index = list(index)
        self.removed = list(removed)


def conversion(doc_id, reason, method="insert"):
    prefix = {"insert": "Error converting dict to Rust bytes for ", "upsert": "Error converting dict to Rust bytes for ",
              "insert_many": "Failed to serialize dict for "}[method]
    return RuntimeError, prefix + doc_id + "." + reason, None


def write(method, doc_id, payload):
    if method == "insert_many":
        return lambda db: db.insert_many([(doc_id, payload)])
    return lambda db: getattr(db, method)(doc_id, payload)


def refused_payloads():
    """Payloads every dict write refuses, each with its reason."""
    return [
        ("lone-surrogate-value", {"x": "ok\udc00"}, surrogate_text("ok\udc00")),
        ("lone-surrogate-key", {"\ud800": 1}, surrogate_text("\ud800")),
        ("lone-surrogate-nested-key", {"a": [{"\udfff": None}]}, surrogate_text("\udfff")),
        ("int-2**64", {"x": 2**64}, "JSON number out of range"),
        ("int--2**63-1", {"x": -2**63 - 1}, "JSON number out of range"),
        ("int-2**127-1", {"x": 2**127 - 1}, "JSON number out of range"),
        ("int-2**127", {"x": 2**127}, "JSON number out of range"),
        ("int--2**127", {"x": -2**127}, "JSON number out of range"),
        ("int-2**128-1", {"x": 2**128 - 1}, "JSON number out of range"),
        ("int-2**128", {"x": 2**128}, overflow_text(2**128)),
        ("int--2**127-1", {"x": -2**127 - 1}, overflow_text(-2**127 - 1)),
        ("int-2**1000", {"x": [0, -2**1000]}, overflow_text(-2**1000)),
        ("bytes-key", {b"k": 1}, "unexpected type: 'bytes' object is not an instance of 'str'"),
        ("bytes-nested-key", {"a": {b"k": 1}}, "unexpected type: 'bytes' object is not an instance of 'str'"),
        ("bytes-value", {"a": [b"v"]}, "invalid type: byte array, expected any valid JSON value"),
        ("bytearray-value", {"a": bytearray(b"v")},
         "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
        ("raising-mapping", {"m": RaisingMapping()}, "ValueError: hostile"),
        ("raising-sequence", {"s": RaisingSequence()}, "ValueError: hostile"),
        ("raising-set", {"s": RaisingSet([1])}, "ValueError: hostile"),
        ("mapping-with-bad-items", {"m": BadItemsMapping()}, "'list' object is not an instance of 'tuple'"),
        ("unprintable-error", {"s": UnprintableSequence()}, "UnprintableError: <unprintable>"),
        ("deep-list", {"d": deep_list(DEEP)}, DEPTH_MESSAGE),
        ("deep-dict", deep_dict(DEEP), DEPTH_MESSAGE),
    ]


def accepted_payloads():
    """Payloads every dict write stores, with the stored bytes and entries."""
    return [
        ("nul-bytes", {"k\x00": "v\x00w"}, '{"k\\u0000":"v\\u0000w"}', ["k\x00.v\x00w"]),
        ("int-edges", {"a": 2**63 - 1, "b": 2**63, "c": 2**64 - 1, "d": -2**63, "e": -1},
         '{"a":9223372036854775807,"b":9223372036854775808,"c":18446744073709551615,'
         '"d":-9223372036854775808,"e":-1}',
         ["a.9223372036854775807", "b.9223372036854775808", "c.18446744073709551615",
          "d.-9223372036854775808", "e.-1"]),
        ("nan-and-infinities", {"n": float("nan"), "p": float("inf"), "m": [float("-inf")]},
         '{"m":[null],"n":null,"p":null}', []),
        ("float-edges", {"z": -0.0, "t": 5e-324, "h": 1.7976931348623157e308},
         '{"h":1.7976931348623157e+308,"t":5e-324,"z":-0.0}',
         ["h.17976931348623157" + "0" * 292, "t.0." + "0" * 323 + "5", "z.-0"]),
        ("big-string", {"s": BIG_TEXT}, '{"s":"' + BIG_TEXT + '"}', ["s." + BIG_TEXT]),
        ("big-key", {BIG_TEXT: True}, '{"' + BIG_TEXT + '":true}', [BIG_TEXT + ".true"]),
        # Subclasses of dict and list convert by their own contents, not their methods.
        ("raising-dict-subclass-nested", {"d": RaisingDict(a=1)}, '{"d":{"a":1}}', ["d.a.1"]),
        ("raising-list-subclass", {"l": RaisingList([1, "x"])}, '{"l":[1,"x"]}', ["l.0.1", "l.1.x"]),
    ]


def build_cases():
    cases = []
    # One converter serves every dict write: the payloads go through insert.
    for name, payload, reason in refused_payloads():
        cases.append(Case(f"insert-{name}", write("insert", "u.1", payload), raises=conversion("u.1", reason)))
    for name, payload, text, entries in accepted_payloads():
        cases.append(Case(f"insert-{name}", write("insert", "u", payload), stored={"u": text.encode()},
                          entries={(entry, "u") for entry in entries}))
    for method in ("insert", "insert_many"):
        cases.append(Case(f"{method}-id-with-nul", write(method, "a\x00b", {"v": 1}),
                          stored={"a\x00b": b'{"v":1}'}, entries={("v.1", "a\x00b")}))
        cases.append(Case(f"{method}-big-id", write(method, BIG_ID, {"v": 1}),
                          stored={BIG_ID: b'{"v":1}'}, entries={("v.1", BIG_ID)}))
        cases.append(Case(f"{method}-surrogate-id", write(method, "\ud800", {}),
                          raises=(UnicodeEncodeError, surrogate_text("\ud800").split(": ", 1)[1],
                                  "records" if method == "insert_many" else "id")))
    cases += [
        Case("upsert-mapping-payload", lambda db: db.upsert("u", RaisingMapping()),
             raises=(TypeError, "'RaisingMapping' object is not an instance of 'dict'", "payload")),
        Case("insert-raising-dict-payload", lambda db: db.insert("u", RaisingDict(a=1)),
             stored={"u": b'{"a":1}'}, entries={("a.1", "u")}),
        Case("delete-surrogate-id", lambda db: db.delete("\udc00"),
             raises=(UnicodeEncodeError, surrogate_text("\udc00").split(": ", 1)[1], "id")),
        Case("delete-id-with-nul", lambda db: db.delete("a\x00b"), rows={"a\x00b": b'{"v":1}', "a": b'{"v":1}'},
             index=[("v.1", "a\x00b"), ("v.1", "a")], removed=["a\x00b"]),
        Case("delete-big-id", lambda db: db.delete(BIG_ID), rows={BIG_ID: b"{}"}, removed=[BIG_ID]),
        # insert_json and insert_many_json
        Case("insert_json-surrogate-text", lambda db: db.insert_json("u", '"\ud800"'),
             raises=(UnicodeEncodeError, surrogate_text('"\ud800').split(": ", 1)[1], "json_payload")),
        Case("insert_json-raw-nul", lambda db: db.insert_json("u", '{"a":"\x00"}'),
             raises=(RuntimeError, "Validation error at u.control character (\\u0000-\\u001F) found while "
                                   "parsing a string at line 1 column 6", None)),
        Case("insert_json-nan", lambda db: db.insert_json("u", '{"a":NaN}'),
             raises=(RuntimeError, "Validation error at u.expected value at line 1 column 6", None)),
        Case("insert_json-infinity", lambda db: db.insert_json("u", "[-Infinity]"),
             raises=(RuntimeError, "Validation error at u.invalid number at line 1 column 3", None)),
        Case("insert_json-escaped-nul", lambda db: db.insert_json("a\x00", '{"k\\u0000":"\\u0000"}'),
             stored={"a\x00": b'{"k\\u0000":"\\u0000"}'}, entries={("k\x00.\x00", "a\x00")}),
        Case("insert_json-integers-beyond-64-bits", lambda db: db.insert_json("u", '{"a":18446744073709551616}'),
             stored={"u": b'{"a":18446744073709551616}'}),
        Case("insert_json-float-beyond-range", lambda db: db.insert_json("u", '{"a":1e400,"b":-1e999}'),
             stored={"u": b'{"a":1e400,"b":-1e999}'}),
        Case("insert_json-lone-surrogate-escape", lambda db: db.insert_json("u", '{"a":"\\udc00"}'),
             stored={"u": b'{"a":"\\udc00"}'}),
        Case("insert_json-big", lambda db: db.insert_json("u", '["' + BIG_TEXT + '"]'),
             stored={"u": ('["' + BIG_TEXT + '"]').encode()}, entries={("0." + BIG_TEXT, "u")}),
        Case("insert_json-deep-array", lambda db: db.insert_json("u", DEEP_ARRAY_TEXT),
             stored={"u": DEEP_ARRAY_TEXT.encode()}, entries={(DEEP_ARRAY_PATH + ".1", "u")}),
        Case("insert_json-deep-object", lambda db: db.insert_json("u", DEEP_OBJECT_TEXT),
             stored={"u": DEEP_OBJECT_TEXT.encode()}, entries={(DEEP_OBJECT_PATH + ".2", "u")}),
        Case("insert_json-deep-unclosed", lambda db: db.insert_json("u", "[" * DEEP),
             raises=(RuntimeError, f"Validation error at u.EOF while parsing a list at line 1 column {DEEP}", None)),
        Case("insert_many_json-deep", lambda db: db.insert_many_json([("u", DEEP_ARRAY_TEXT), ("v", "{}")]),
             stored={"u": DEEP_ARRAY_TEXT.encode(), "v": b"{}"}, entries={(DEEP_ARRAY_PATH + ".1", "u")}),
        Case("insert_many_json-surrogate-text", lambda db: db.insert_many_json([("v", "{}"), ("u", "\udc00")]),
             raises=(UnicodeEncodeError, surrogate_text("\udc00").split(": ", 1)[1], "records")),
        Case("insert_many_json-bytes-text", lambda db: db.insert_many_json([("u", b"{}")]),
             raises=(TypeError, "'bytes' object is not an instance of 'str'", "records")),
        Case("insert_many_json-nan", lambda db: db.insert_many_json([("v", "{}"), ("u", "[NaN]")]),
             raises=(RuntimeError, "Invalid json in payload for id u.expected value at line 1 column 2", None),
             stored={"v": b"{}"}),
        Case("insert_many-raising-records", lambda db: db.insert_many(RaisingSequence()),
             raises=(ValueError, "hostile", "records")),
        Case("insert_many_json-raising-records", lambda db: db.insert_many_json(RaisingSequence()),
             raises=(ValueError, "hostile", "records")),
        Case("insert_many-bytes-records", lambda db: db.insert_many(b"ab"),
             raises=(TypeError, "'int' object is not an instance of 'tuple'", "records")),
        Case("insert_many-empty-bytes-records", lambda db: db.insert_many(b""), stored={}),
        Case("insert_many-records-cleared-during-conversion", clear_records_while_converting,
             stored={"first": b'{"c":["cleared"]}', "second": b"{}"}, entries={("c.0.cleared", "first")}),
    ]
    cases += read_cases()
    return cases


def clear_records_while_converting(db):
    """Records are taken whole before any is converted, so clearing the list
    during the first conversion changes nothing."""
    records = []
    records += [("first", {"c": Clearing(records)}), ("second", {})]
    db.insert_many(records)


def read_cases():
    deep_rows = {"deep": DEEP_ARRAY_TEXT.encode(), "deepo": DEEP_OBJECT_TEXT.encode()}
    return [
        Case("get-surrogate-id", lambda db: db.get("\ud800"),
             raises=(UnicodeEncodeError, surrogate_text("\ud800").split(": ", 1)[1], "id")),
        Case("get-bytes-id", lambda db: db.get(b"base"),
             raises=(TypeError, "'bytes' object is not an instance of 'str'", "id")),
        Case("get-id-with-nul", lambda db: (db.get("a\x00b"), db.get("a"), db.get("a\x00")),
             rows={"a\x00b": b'{"v":"\\u0000"}'}, returns=({"v": "\x00"}, None, None)),
        Case("get-big-id", lambda db: (db.get(BIG_ID), db.get(BIG_ID[:-1])), rows={BIG_ID: b"{}"},
             returns=({}, None)),
        Case("get-big-document", lambda db: db.get("big"), rows={"big": ('{"s":"' + BIG_TEXT + '"}').encode()},
             returns={"s": BIG_TEXT}),
        Case("get-deep-array", lambda db: db.get("deep"), rows=deep_rows,
             raises=(RuntimeError, "Json parsing error " + DEEP_ARRAY_REASON, None)),
        Case("get-integers-beyond-64-bits", lambda db: db.get("n"),
             rows={"n": b'{"a":18446744073709551616,"b":-9223372036854775809}'},
             returns={"a": 18446744073709551616.0, "b": -9223372036854775809.0}),
        Case("get-lone-surrogate-escape", lambda db: db.get("s"), rows={"s": b'{"a":"\\udc00"}'},
             raises=(RuntimeError, "Json parsing error lone leading surrogate in hex escape at line 1 column 12",
                     None)),
        Case("scan_prefix-lone-surrogate-escape", lambda db: db.scan_prefix("s"), rows={"s": b'["\\ud800"]'},
             raises=(RuntimeError, "Json Parse Error unexpected end of hex escape at line 1 column 9", None)),
        Case("get_many-surrogate-id", lambda db: db.get_many(["base", "\udc00"]),
             raises=(UnicodeEncodeError, surrogate_text("\udc00").split(": ", 1)[1], "ids")),
        Case("get_many-bytes-ids", lambda db: db.get_many(b"ab"),
             raises=(TypeError, "'int' object is not an instance of 'str'", "ids")),
        Case("get_many-bytes-id", lambda db: db.get_many(["base", b"base"]),
             raises=(TypeError, "'bytes' object is not an instance of 'str'", "ids")),
        Case("get_many-raising-sequence", lambda db: db.get_many(RaisingSequence()),
             raises=(ValueError, "hostile", "ids")),
        Case("get_many-ids-with-nul", lambda db: db.get_many(["a\x00b", "a\x00", "a\x00b"]),
             rows={"a\x00b": b"{}"}, returns=[("a\x00b", {}), ("a\x00", None), ("a\x00b", {})]),
        Case("scan_prefix-surrogate", lambda db: db.scan_prefix("\ud800"),
             raises=(UnicodeEncodeError, surrogate_text("\ud800").split(": ", 1)[1], "prefix")),
        Case("scan_prefix-bytes", lambda db: db.scan_prefix(b""),
             raises=(TypeError, "'bytes' object is not an instance of 'str'", "prefix")),
        Case("scan_prefix-nul", lambda db: db.scan_prefix("a\x00"), rows={"a\x00b": b"{}", "a": b"{}", "a\x01": b"{}"},
             returns=[("a\x00b", {})]),
        Case("scan_prefix-big", lambda db: (db.scan_prefix(BIG_ID), db.scan_prefix(BIG_ID + "x")),
             rows={BIG_ID: b"{}"}, returns=([(BIG_ID, {})], [])),
        Case("filter_by_metadata-surrogate-key", lambda db: db.filter_by_metadata("\udc00", "v"),
             raises=(UnicodeEncodeError, surrogate_text("\udc00").split(": ", 1)[1], "index_key")),
        Case("filter_by_metadata-surrogate-value", lambda db: db.filter_by_metadata("k", "\udc00"),
             raises=(UnicodeEncodeError, surrogate_text("\udc00").split(": ", 1)[1], "index_value")),
        Case("filter_by_metadata-bytes-key", lambda db: db.filter_by_metadata(b"name", "base"),
             raises=(TypeError, "'bytes' object is not an instance of 'str'", "index_key")),
        Case("filter_by_metadata-bytes-value", lambda db: db.filter_by_metadata("name", b"base"),
             raises=(TypeError, "'bytes' object is not an instance of 'str'", "index_value")),
        Case("filter_by_metadata-nul", lambda db: db.filter_by_metadata("k\x00", "v\x00"),
             rows={"n": b'{"k\\u0000":"v\\u0000"}'}, index=[("k\x00.v\x00", "n"), ("k\x00.v", "m")],
             returns=[("n", {"k\x00": "v\x00"})]),
        Case("filter_by_metadata-big", lambda db: db.filter_by_metadata("s", BIG_TEXT),
             rows={"big": ('{"s":"' + BIG_TEXT + '"}').encode()}, index=[("s." + BIG_TEXT, "big")],
             returns=[("big", {"s": BIG_TEXT})]),
    ]


CASES = build_cases()


# ---------------------------------------------------------------------------

def file_state(path):
    """(documents, index pairs) of a file that passes SQLite's integrity check."""
    assert raw_rows(path, "PRAGMA integrity_check") == [("ok",)]
    return stored_documents(path), set(index_pairs(path))


@pytest.fixture(scope="module")
def baseline_path(tmp_path_factory):
    """A file holding the baseline documents, written once through the engine."""
    path = str(tmp_path_factory.mktemp("baseline") / "baseline.db")
    db = DBEngine(path)
    for doc_id, document in BASELINE.items():
        db.insert(doc_id, document)
    db.close_engine()
    del db
    gc.collect()
    return path


def prepare_file(baseline_path, path, case):
    """A copy of the baseline with the case's own rows written straight into
    it; returns the file's state."""
    shutil.copyfile(baseline_path, path)
    if case.rows or case.index:
        connection = sqlite3.connect(path)
        with connection:
            connection.executemany("INSERT INTO documents(id, body) VALUES (?, ?)", list(case.rows.items()))
            connection.executemany("INSERT INTO metadata_index(entry, id) VALUES (?, ?)", case.index)
        connection.close()
    return file_state(path)


def check_raised(excinfo, raises):
    kind, message, note = raises
    assert excinfo.type is kind, excinfo.value
    assert str(excinfo.value) == message
    notes = getattr(excinfo.value, "__notes__", [])
    if note is not None:
        assert notes == [f"while processing '{note}'"]


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_hostile_input(baseline_path, tmp_path, case):
    path = str(tmp_path / "bad.db")
    documents, pairs = prepare_file(baseline_path, path, case)
    db = DBEngine(path)
    if case.raises is not None:
        with pytest.raises(Exception) as excinfo:
            case.call(db)
        check_raised(excinfo, case.raises)  # records queued before the bad one stay queued
    else:
        assert case.call(db) == case.returns
    # The engine goes on writing: the writer survived whatever it applied.
    db.insert(*CANARY)
    db.close_engine()
    del db
    gc.collect()

    expected_documents = dict(documents)
    expected_pairs = set(pairs)
    expected_documents.update(case.stored)
    expected_pairs |= case.entries
    for doc_id in case.removed:
        del expected_documents[doc_id]
        expected_pairs = {pair for pair in expected_pairs if pair[1] != doc_id}
    expected_documents[CANARY[0]] = b'{"alive":true}'
    expected_pairs.add(("alive.true", CANARY[0]))
    after_documents, after_pairs = file_state(path)
    assert sorted(after_documents) == sorted(expected_documents)
    for doc_id, body in expected_documents.items():
        assert after_documents[doc_id] == body, doc_id[:40]
    assert after_pairs == expected_pairs
