"""The write methods: canonical bytes and index entries stored from dicts, the
caller's text from the JSON writes, conversion failures, each method's
message, interrupts during a conversion, batches and writes from several
threads."""

import collections
import collections.abc
import functools
import threading
import traceback

import pytest

from conftest import CallsBack, applied, index_pairs, stored_documents
from quillmere import DBEngine, DBEngineWebServer

BIG = "é" * (5 * 1024 * 1024)  # 10 MiB of UTF-8
DEEP = 100_000


def hostile(*_args, **_kwargs):
    raise ValueError("hostile")


def throw(error):
    raise error


class FrozenMapping(collections.abc.Mapping):
    def __init__(self, items):
        self._items = list(items)

    def __getitem__(self, key):
        return dict(self._items)[key]

    def __iter__(self):
        return iter(key for key, _ in self._items)

    def __len__(self):
        return len(self._items)

    def items(self):
        return list(self._items)


class BadItems(FrozenMapping):
    def items(self):
        return [["k", 1], ("a", 2, 3)]


class RaisingMapping(collections.abc.Mapping):
    __getitem__ = __iter__ = __len__ = items = keys = values = __contains__ = hostile


class RaisingSequence(collections.abc.Sequence):
    __getitem__ = __iter__ = __len__ = __contains__ = __reversed__ = hostile


class RaisingDict(dict):
    """Overridden methods raise; the dict's own items convert."""
    __getitem__ = __iter__ = __len__ = items = keys = values = hostile


class RaisingList(list):
    __getitem__ = __iter__ = __len__ = hostile


class UnprintableError(Exception):
    def __str__(self):
        raise ValueError("no text either")


class UnprintableSequence(collections.abc.Sequence):
    def __len__(self):
        raise UnprintableError()

    __getitem__ = __len__


class TextRaises(Exception):
    """An error whose text cannot be read: reading it raises `error`."""

    def __init__(self, error):
        super().__init__()
        self.error = error

    def __str__(self):
        throw(self.error)


class Outer:
    class Inner:
        pass


Coordinates = collections.namedtuple("Coordinates", "lat lon")


def nested(depth, make):
    value = make(None)
    for _ in range(depth - 1):
        value = make(value)
    return value


CANONICAL = [
    ({"b": 1, "l": [{"d": 1, "c": 2}], "a": {"d": True, "c": None}}, '{"a":{"c":null,"d":true},"b":1,"l":[{"c":2,"d":1}]}'),
    ({"a": 2**63 - 1, "b": 2**63, "c": 2**64 - 1, "d": -2**63, "f": False},
     '{"a":9223372036854775807,"b":9223372036854775808,"c":18446744073709551615,"d":-9223372036854775808,'
     '"f":false}'),
    ({"nan": float("nan"), "inf": float("-inf"), "p": [float("inf")], "nz": -0.0, "x": 1.0},
     '{"inf":null,"nan":null,"nz":-0.0,"p":[null],"x":1.0}'),
    ({"t": (1, 2), "n": Coordinates(1.5, "E"), "fs": frozenset(["only"])}, '{"fs":["only"],"n":[1.5,"E"],"t":[1,2]}'),
    ({"m": FrozenMapping([("b", 2), ("a", (1,)), ("b", 3)])}, '{"m":{"a":[1],"b":3}}'),
    ({"d": RaisingDict(a=1), "l": RaisingList([1, "x"])}, '{"d":{"a":1},"l":[1,"x"]}'),
    ({"s": 'q"b\\\b\t\n\f\r\x00\x1f\x7f/é😀\u2028'}, '{"s":"q\\"b\\\\\\b\\t\\n\\f\\r\\u0000\\u001f\x7f/é😀\u2028"}'),
    # Keys in ascending byte order of their UTF-8 form (U+FF5A before U+1F600).
    ({"é": 1, "z": 2, "Z": 3, "😀": 5, "ｚ": 6, "": 0, "a\x00": 7, "a": 8},
     '{"":0,"Z":3,"a":8,"a\\u0000":7,"z":2,"é":1,"ｚ":6,"😀":5}'),
    ({"s": BIG, BIG: True}, '{"s":"' + BIG + '","' + BIG + '":true}'),
    (nested(200, lambda inner: {"a": inner} if inner is not None else {}), '{"a":' * 199 + "{}" + "}" * 199),
]


@pytest.mark.parametrize("payload, expected", CANONICAL, ids=range(len(CANONICAL)))
def test_dict_stored_in_canonical_form(db_path, payload, expected):
    applied(db_path, ("insert", "k", payload))
    assert stored_documents(db_path)["k"] == expected.encode()


@pytest.mark.parametrize("method, payload, expected", [
    ("insert_json", '{"k\\u0000":"v\\u0000w","é":"中","a":[true,null,{}]}', ["a.0.true", "k\x00.v\x00w", "é.中"]),
    ("insert", {"b": {"y": 1.0, "x": -3}, "a": [None, "s", True]}, ["a.1.s", "a.2.true", "b.x.-3", "b.y.1"]),
])
def test_index_entries_of_each_write_path(db_path, method, payload, expected):
    applied(db_path, (method, "d\x00.", payload))
    assert index_pairs(db_path) == [(entry, "d\x00.") for entry in sorted(expected)]


SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\{}' in position {}: surrogates not allowed"
DEPTH = "RecursionError: maximum recursion depth exceeded while converting a document"
CONVERSION_FAILURES = [
    ({"x": 2**64}, "JSON number out of range"),
    ({"x": -(2**63) - 1}, "JSON number out of range"),
    ({"x": 2**128}, "OverflowError: int too big to convert"),
    ({"x": [0, -(2**127) - 1]}, "OverflowError: int too big to convert"),
    ({"a": [1, {"b": [b""]}]}, "invalid type: byte array, expected any valid JSON value"),
    ({"x": bytearray(b"1")}, "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
    ({"a": {1: 2}}, "unexpected type: 'int' object is not an instance of 'str'"),
    ({"a": {None: 2}}, "unexpected type: 'None' is not an instance of 'str'"),
    ({"m": FrozenMapping([("ok", 1), (2.5, 1)])}, "unexpected type: 'float' object is not an instance of 'str'"),
    ({"m": BadItems([("k", 1)])}, "'list' object is not an instance of 'tuple'"),
    ({"x": object()}, "unsupported type object"),
    ({"x": Outer.Inner()}, "unsupported type Outer.Inner"),
    ({"x": "ok\ud800"}, SURROGATE.format("ud800", "2")),
    ({"a": [{"\udc00": 1}]}, SURROGATE.format("udc00", "0")),
    ({"m": RaisingMapping()}, "ValueError: hostile"),
    ({"s": RaisingSequence()}, "ValueError: hostile"),
    ({"s": UnprintableSequence()}, "UnprintableError: <unprintable>"),
    ({"d": nested(DEEP, lambda inner: [inner] if inner is not None else [])}, DEPTH),
    (nested(DEEP, lambda inner: {"k": inner} if inner is not None else {}), DEPTH),
]


@pytest.mark.parametrize("payload, reason", CONVERSION_FAILURES, ids=range(len(CONVERSION_FAILURES)))
def test_conversion_failures(engine, db_path, payload, reason):
    with pytest.raises(RuntimeError) as raised:
        engine.insert("u.1", payload)
    assert str(raised.value) == "Error converting dict to Rust bytes for u.1." + reason
    engine.insert("after", {})  # the engine goes on writing
    engine.close_engine()
    assert stored_documents(db_path) == {"after": b"{}"}


# Each method reaches its converter or checker and names the document in its
# own words; records queued before the refused one stay queued.
MESSAGES = [
    (DBEngine, lambda db: db.insert("i.", {"x": b"1"}),
     "Error converting dict to Rust bytes for i..invalid type: byte array, expected any valid JSON value", {}),
    (DBEngine, lambda db: db.upsert("", {"v": 2**64}), "Error converting dict to Rust bytes for .JSON number out of range", {}),
    (DBEngine, lambda db: db.insert_many([("a", {}), ("b.", {"v": object()}), ("c", {})]),
     "Failed to serialize dict for b..unsupported type object", {"a": b"{}"}),
    (DBEngine, lambda db: db.insert_json("k", '{"a":1,}'), "Validation error at k.key must be a string at line 1 column 8", {}),
    (DBEngine, lambda db: db.insert_many_json([("a", "{}"), (".", "["), ("c", "{}")]),
     "Invalid json in payload for id ..EOF while parsing a list at line 1 column 1", {"a": b"{}"}),
    (DBEngineWebServer, lambda db: db.insert("a", {1: "x"}),
     "Error converting dict to Rust bytes for a.unexpected type: 'int' object is not an instance of 'str'", {}),
    (DBEngineWebServer, lambda db: db.upsert("a", {"x": object()}),
     "Error converting dict to Rust bytes for a.unsupported type object", {}),
    (DBEngineWebServer, lambda db: db.insert_json("a", "x"), "Validation error at a.expected value at line 1 column 1", {}),
]


@pytest.mark.parametrize("cls, call, message, queued", MESSAGES, ids=range(len(MESSAGES)))
def test_each_method_names_the_refused_document(db_path, cls, call, message, queued):
    db = cls(db_path)
    with pytest.raises(RuntimeError) as raised:
        call(db)
    assert str(raised.value) == message
    db.insert("after", {})
    db.close_engine()
    assert stored_documents(db_path) == {**queued, "after": b"{}"}


# Where the caller's code raises during a conversion: reading an item, or
# the text of the error that reading raised.
INTERRUPTED_AT = {
    "item": lambda error: {"l": CallsBack(functools.partial(throw, error))},
    "error text": lambda error: {"l": CallsBack(functools.partial(throw, TextRaises(error)))},
}
# (class, method, what stays queued when record "b" of a, b, c is interrupted)
INTERRUPTED_WRITES = [(DBEngine, "insert", {}), (DBEngine, "upsert", {}), (DBEngine, "insert_many", {"a": b"{}"}),
                      (DBEngineWebServer, "insert", {}), (DBEngineWebServer, "upsert", {}),
                      (DBEngineWebServer, "insert_many", {})]


@pytest.mark.parametrize("cls, method, queued", INTERRUPTED_WRITES,
                         ids=[f"{cls.__name__}.{method}" for cls, method, _ in INTERRUPTED_WRITES])
@pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("place", INTERRUPTED_AT)
def test_interrupts_during_a_conversion_propagate_unchanged(db_path, cls, method, queued, kind, place):
    error = kind("stop")
    payload = INTERRUPTED_AT[place](error)
    db = cls(db_path)
    with pytest.raises(kind) as raised:
        if method == "insert_many":
            db.insert_many([("a", {}), ("b", payload), ("c", {})])
        else:
            getattr(db, method)("b", payload)
    assert raised.value is error and not hasattr(error, "__notes__")
    assert traceback.extract_tb(error.__traceback__)[-1].name == "throw"
    db.insert("after", {})
    db.close_engine()
    assert stored_documents(db_path) == {**queued, "after": b"{}"}


DEEP_ARRAY = "[" * DEEP + "1" + "]" * DEEP


@pytest.mark.parametrize("method, text", [
    ("insert_json", t) for t in ['  {"b":1, "a":2, "a":3} ', "[1e999, -0, 0.5E-3]", '{"é":"中😀","esc":"\\u00e9\\ud800\\n\\/"}',
                                 '{"k":' * DEEP + "2" + "}" * DEEP, '["' + BIG + '"]']
] + [("insert_many_json", DEEP_ARRAY)])
def test_json_text_stored_byte_for_byte(db_path, method, text):
    args = ([("k", text)],) if method == "insert_many_json" else ("k", text)
    applied(db_path, (method, *args), ("insert", "after", {"x": 1}))
    assert stored_documents(db_path) == {"k": text.encode(), "after": b'{"x":1}'}


def test_odd_ids_are_stored_as_given(db_path):
    big_id = "i" * (10 * 1024 * 1024)
    applied(db_path, ("insert", "a\x00b", {"v": 1}), ("insert_many", [(big_id, {"v": 2})]))
    assert stored_documents(db_path) == {"a\x00b": b'{"v":1}', big_id: b'{"v":2}'}
    assert index_pairs(db_path) == [("v.1", "a\x00b"), ("v.2", big_id)]


def test_batches_keep_their_order_and_are_taken_whole(engine, db_path):
    assert engine.insert_many([]) is None and engine.insert_many_json(()) is None
    engine.insert_many([("a", {"v": 1}), ("b", {}), ("a", {"v": 2})])
    engine.insert_many_json([("b", '{"w":1}'), ("b", '{"w":2}')])
    engine.delete("absent")
    records = []
    records += [("c", {"l": CallsBack(records.clear)}), ("d", {})]  # cleared while "c" converts
    engine.insert_many(records)
    engine.close_engine()
    assert stored_documents(db_path) == {"a": b'{"v":2}', "b": b'{"w":2}', "c": b'{"l":[0]}', "d": b"{}"}
    assert index_pairs(db_path) == [("l.0.0", "c"), ("v.1", "a"), ("v.2", "a"), ("w.1", "b"), ("w.2", "b")]


def test_writes_from_several_threads_all_arrive(engine, db_path):
    def work(t):
        for i in range(1500):
            engine.insert_many([(f"t{t}-{i}", {"t": t, "i": i})])
            engine.upsert(f"last-{t}", {"i": i})

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    engine.close_engine()
    documents = stored_documents(db_path)
    assert len(documents) == 8 * 1501
    assert all(documents[f"last-{t}"] == b'{"i":1499}' and documents[f"t{t}-8"] == f'{{"i":8,"t":{t}}}'.encode()
               for t in range(8))
    assert [entry for entry, doc_id in index_pairs(db_path) if doc_id.startswith("last-")] == ["i.1499"] * 8
