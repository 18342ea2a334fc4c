"""The write methods: the bytes stored (canonical JSON from dicts, the
caller's text from the JSON writes), the conversion and validation messages,
partial batches and writes from several threads."""

import collections
import collections.abc
import dataclasses
import decimal
import math
import random
import struct
import sys
import threading

import pytest

from conftest import index_pairs, stored_documents
from quillmere import DBEngine


def stored_one(path, payload, method="insert"):
    db = DBEngine(path)
    getattr(db, method)("k", payload)
    db.close_engine()
    return stored_documents(path)["k"]


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


class FailingItems(FrozenMapping):
    def items(self):
        raise ValueError("no items today")


class BrokenSequence(collections.abc.Sequence):
    def __getitem__(self, index):
        if index >= 1:
            raise LookupError("element 1 is gone")
        return 0

    def __len__(self):
        return 3


@dataclasses.dataclass
class Point:
    y: int
    x: str


class Outer:
    class Inner:
        pass


Coordinates = collections.namedtuple("Coordinates", "lat lon")


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"b": 1, "a": {"d": True, "c": None}}, '{"a":{"c":null,"d":true},"b":1}'),
        ({"e": {}, "l": []}, '{"e":{},"l":[]}'),
        ({"b": {"y": 1, "x": 2}, "a": [{"d": 1, "c": 2}]}, '{"a":[{"c":2,"d":1}],"b":{"x":2,"y":1}}'),
        ({"max": 2**64 - 1, "min": -(2**63), "f": False}, '{"f":false,"max":18446744073709551615,"min":-9223372036854775808}'),
        ({"nan": float("nan"), "inf": float("-inf"), "nz": -0.0, "x": 1.0}, '{"inf":null,"nan":null,"nz":-0.0,"x":1.0}'),
        ({"t": (1, 2), "n": Coordinates(1.5, "E"), "fs": frozenset(["only"])}, '{"fs":["only"],"n":[1.5,"E"],"t":[1,2]}'),
        ({"m": FrozenMapping([("b", 2), ("a", (1,)), ("b", 3)])}, '{"m":{"a":[1],"b":3}}'),
        ({"p": Point(y=3, x="q")}, '{"p":{"x":"q","y":3}}'),
        ({"s": 'q"b\\\b\t\n\f\r\x00\x1f\x7f/é😀\u2028'}, '{"s":"q\\"b\\\\\\b\\t\\n\\f\\r\\u0000\\u001f\x7f/é😀\u2028"}'),
        # Keys in ascending byte order of their UTF-8 form (U+FF5A before U+1F600).
        ({"é": 1, "z": 2, "Z": 3, "😀": 5, "ｚ": 6, "": 0, "a\x00": 7, "a": 8},
         '{"":0,"Z":3,"a":8,"a\\u0000":7,"z":2,"é":1,"ｚ":6,"😀":5}'),
    ],
)
def test_dict_stored_in_canonical_form(db_path, payload, expected):
    assert stored_one(db_path, payload) == expected.encode()


def float_text(x):
    """Shortest round-trip digits; plain notation from 1e-5 up to 1e16, exponent otherwise."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    digits, sign = "".join(map(str, digit_tuple)), "-" if x < 0 else ""
    point = len(digits) + exponent
    if -5 <= point - 1 <= 15:
        if exponent >= 0:
            return sign + digits + "0" * exponent + ".0"
        return sign + (digits[:point] + "." + digits[point:] if point > 0 else "0." + "0" * -point + digits)
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{'+' if point >= 1 else '-'}{abs(point - 1)}"


def test_floats_use_shortest_digits(db_path):
    generator = random.Random(1105)
    values = [1e16, 1e15, 1.5e-7, 0.00001, 9.999e-6, 5e-324, 1.7976931348623157e308, 0.1 + 0.2]
    while len(values) < 400:
        value = struct.unpack("<d", struct.pack("<Q", generator.getrandbits(64)))[0]
        if math.isfinite(value):
            values.append(value)
    values += [generator.uniform(-1, 1) * 10.0 ** generator.randint(-8, 18) for _ in range(400)]
    assert stored_one(db_path, {"f": values}) == ('{"f":[' + ",".join(map(float_text, values)) + "]}").encode()


def exception_text(action):
    try:
        action()
    except Exception as error:  # noqa: BLE001 - the interpreter's own text is wanted
        return f"{type(error).__name__}: {error}"
    raise AssertionError("expected an exception")


CONVERSION_FAILURES = [
    ({"x": 2**64}, "JSON number out of range"),
    ({"x": -(2**63) - 1}, "JSON number out of range"),
    ({"x": 2**128 - 1}, "JSON number out of range"),
    ({"x": -(2**127)}, "JSON number out of range"),
    ({"x": 2**128}, "OverflowError: int too big to convert"),
    ({"x": [0, -(2**127) - 1]}, "OverflowError: int too big to convert"),
    ({"a": [1, {"b": [b""]}]}, "invalid type: byte array, expected any valid JSON value"),
    ({"x": bytearray(b"1")}, "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
    ({"a": {1: 2}}, "unexpected type: 'int' object is not an instance of 'str'"),
    ({"a": {None: 2}}, "unexpected type: 'None' is not an instance of 'str'"),
    ({"m": FrozenMapping([("ok", 1), (2.5, 1)])}, "unexpected type: 'float' object is not an instance of 'str'"),
    ({"x": object()}, "unsupported type object"),
    ({"x": Outer.Inner()}, "unsupported type Outer.Inner"),
    ({"x": [1, decimal.Decimal("1.5")]}, "unsupported type Decimal"),
    ({"x": "ok\ud800"}, exception_text(lambda: "ok\ud800".encode())),
    ({"\udc00": 1}, exception_text(lambda: "\udc00".encode())),
    ({"m": FailingItems([("a", 1)])}, "ValueError: no items today"),
    ({"s": BrokenSequence()}, "LookupError: element 1 is gone"),
]


@pytest.mark.parametrize("payload, reason", CONVERSION_FAILURES, ids=[r for _, r in CONVERSION_FAILURES])
def test_conversion_failures(engine, db_path, payload, reason):
    with pytest.raises(RuntimeError) as excinfo:
        engine.insert("u.1", payload)
    assert str(excinfo.value) == "Error converting dict to Rust bytes for u.1." + reason
    engine.close_engine()
    assert stored_documents(db_path) == {}


def test_recursion_is_refused_and_moderate_depth_is_stored(engine, db_path):
    looping = {}
    looping["me"] = looping
    deep = {}
    for _ in range(sys.getrecursionlimit() + 10):
        deep = {"a": deep}
    for payload in (deep, looping):
        with pytest.raises(RuntimeError) as excinfo:
            engine.insert("d", payload)
        assert str(excinfo.value) == ("Error converting dict to Rust bytes for d.RecursionError: "
                                      "maximum recursion depth exceeded while converting a document")
    fine = {}
    for _ in range(200):
        fine = {"a": fine}
    engine.insert("fine", fine)
    engine.close_engine()
    assert stored_documents(db_path) == {"fine": ('{"a":' * 200 + "{}" + "}" * 200).encode()}


@pytest.mark.parametrize("text", ['  {"b":1, "a":2} ', '{"a":1,"a":2}', "3", "null", '"s"',
                                  '{"n":123456789012345678901234567890}', "[1e999, -0, 0.5E-3]",
                                  '{"é":"中😀","esc":"\\u00e9\\ud800\\n\\/"}', "[" * 1000 + "]" * 1000])
def test_json_text_stored_byte_for_byte(db_path, text):
    assert stored_one(db_path, text, "insert_json") == text.encode()


# Each method reaches its converter or checker and names the document in its
# own words; the reasons themselves are tabled above and in syntax_check_test.
MESSAGES = [
    (lambda db: db.insert("i.", {"x": b"1"}),
     "Error converting dict to Rust bytes for i..invalid type: byte array, expected any valid JSON value"),
    (lambda db: db.upsert("", {"v": 2**64}), "Error converting dict to Rust bytes for .JSON number out of range"),
    (lambda db: db.insert_many([("a", {}), ("b.", {"v": object()}), ("c", {})]),
     "Failed to serialize dict for b..unsupported type object"),
    (lambda db: db.insert_json("k", '{"a":1,}'), "Validation error at k.key must be a string at line 1 column 8"),
    (lambda db: db.insert_many_json([("a", "{}"), (".", "["), ("c", "{}")]),
     "Invalid json in payload for id ..EOF while parsing a list at line 1 column 1"),
]


@pytest.mark.parametrize("call, message", MESSAGES, ids=["insert", "upsert", "insert_many", "insert_json",
                                                         "insert_many_json"])
def test_refused_document_messages_and_the_records_before_it(engine, db_path, call, message, request):
    with pytest.raises(RuntimeError) as excinfo:
        call(engine)
    assert str(excinfo.value) == message
    engine.insert("after", {})
    engine.close_engine()
    queued_before = {"a": b"{}"} if "many" in request.node.callspec.id else {}
    assert stored_documents(db_path) == {**queued_before, "after": b"{}"}


def test_batches_keep_their_order_and_empty_ones_queue_nothing(engine, db_path):
    assert engine.insert_many([]) is None and engine.insert_many_json(()) is None
    engine.insert_many([("a", {"v": 1}), ("b", {}), ("a", {"v": 2})])
    engine.insert_many_json([("b", '{"w":1}'), ("b", '{"w":2}')])
    engine.delete("absent")
    engine.close_engine()
    assert stored_documents(db_path) == {"a": b'{"v":2}', "b": b'{"w":2}'}
    assert index_pairs(db_path) == [("v.1", "a"), ("v.2", "a"), ("w.1", "b"), ("w.2", "b")]


def test_writes_from_several_threads_all_arrive(engine, db_path):
    threads_count, per_thread = 8, 1500
    errors = []

    def work(t):
        try:
            for i in range(per_thread):
                if i % 3 == 0:
                    engine.insert(f"t{t}-{i}", {"t": t, "i": i})
                elif i % 3 == 1:
                    engine.insert_json(f"t{t}-{i}", f'{{"t":{t},"i":{i}}}')
                else:
                    engine.insert_many([(f"t{t}-{i}", {"t": t, "i": i})])
                engine.upsert(f"last-{t}", {"i": i})
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    engine.close_engine()
    documents = stored_documents(db_path)
    assert len(documents) == threads_count * (per_thread + 1)
    for t in range(threads_count):
        assert documents[f"last-{t}"] == f'{{"i":{per_thread - 1}}}'.encode()
        assert documents[f"t{t}-7"] == f'{{"t":{t},"i":7}}'.encode()
        assert documents[f"t{t}-8"] == f'{{"i":8,"t":{t}}}'.encode()
    last_entries = [entry for entry, doc_id in index_pairs(db_path) if doc_id.startswith("last-")]
    assert last_entries == [f"i.{per_thread - 1}"] * threads_count
