"""The bytes that end up in "documents": canonical JSON from dicts, the caller's
text from the JSON writes, and the messages of refused conversions."""

import collections
import collections.abc
import dataclasses
import decimal
import enum
import math
import random
import struct
import sys
import typing

import pytest

from conftest import stored_documents
from quillmere import DBEngine


def store(path, payloads, method="insert"):
    """Writes every (id, payload) with `method`, closes, and returns the stored bytes."""
    db = DBEngine(path)
    for doc_id, payload in payloads.items():
        getattr(db, method)(doc_id, payload)
    db.close_engine()
    return stored_documents(path)


def stored_one(path, payload, method="insert"):
    return store(path, {"k": payload}, method)["k"]


class Colour(enum.IntEnum):
    RED = 1


class Name(str):
    pass


class Ratio(float):
    pass


class Outer:
    class Inner:
        pass


class Record(dict):
    pass


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


class Pair(collections.abc.Sequence):
    def __getitem__(self, index):
        return ["first", 2][index]

    def __len__(self):
        return 2


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
    unit: typing.ClassVar[str] = "mm"


class FakeDataclass:
    __dataclass_fields__ = ["not", "a", "dict"]


Coordinates = collections.namedtuple("Coordinates", "lat lon")


@pytest.mark.parametrize(
    "payload, expected",
    [
    ({"b": 1, "a": {"d": True, "c": None}}, '{"a":{"c":null,"d":true},"b":1}'),
    ({}, "{}"),
    ({"e": {}, "l": []}, '{"e":{},"l":[]}'),
    ({"b": {"y": 1, "x": 2}, "a": [{"d": 1, "c": 2}]}, '{"a":[{"c":2,"d":1}],"b":{"x":2,"y":1}}'),
    ({"t": True, "f": False, "i": 1, "x": 1.0}, '{"f":false,"i":1,"t":true,"x":1.0}'),
    ({"max": 2**64 - 1, "min": -(2**63), "z": 0, "m": -1, "h": 2**63},
         '{"h":9223372036854775808,"m":-1,"max":18446744073709551615,"min":-9223372036854775808,"z":0}'),
    ({"nan": float("nan"), "inf": float("inf"), "ninf": float("-inf"), "nz": -0.0},
         '{"inf":null,"nan":null,"ninf":null,"nz":-0.0}'),
    ({"t": (1, 2), "n": Coordinates(1.5, "E"), "nested": [(), [None]]},
         '{"n":[1.5,"E"],"nested":[[],[null]],"t":[1,2]}'),
    ({"fs": frozenset(["only"])}, '{"fs":["only"]}'),
    ({"c": Colour.RED, "s": Name("named"), "r": Ratio(0.5)}, '{"c":1,"r":0.5,"s":"named"}'),
    ({"sub": Record(z=1, a=2)}, '{"sub":{"a":2,"z":1}}'),
    ({"m": FrozenMapping([("b", 2), ("a", (1,))])}, '{"m":{"a":[1],"b":2}}'),
    ({"m": FrozenMapping([("a", 1), ("b", 2), ("a", 3)])}, '{"m":{"a":3,"b":2}}'),
    ({"s": Pair()}, '{"s":["first",2]}'),
    ({"p": Point(y=3, x="q")}, '{"p":{"unit":"mm","x":"q","y":3}}'),
    ({"s": 'q"b\\n'}, r'{"s":"q\"b\\n"}'),
    ({"s": "\b\t\n\f\r"}, r'{"s":"\b\t\n\f\r"}'),
    ({"s": "\x00\x01\x1f\x7f"}, '{"s":"\\u0000\\u0001\\u001f\x7f"}'),
    ({"s": "a/b é中😀\u2028"}, '{"s":"a/b é中😀\u2028"}'),
    ({"é": 1, "z": 2, "Z": 3, "中": 4, "😀": 5, "ｚ": 6, "": 0, "a\x00": 7, "a": 8},
         '{"":0,"Z":3,"a":8,"a\\u0000":7,"z":2,"é":1,"中":4,"ｚ":6,"😀":5}'),
    ({"k\n\"": {"\\": 1}}, '{"k\\n\\"":{"\\\\":1}}'),
    ],
)
def test_dict_stored_in_canonical_form(db_path, payload, expected):
    assert stored_one(db_path, payload) == expected.encode()


def test_upsert_and_insert_many_store_the_same_bytes(tmp_path):
    payload = {"b": [1.5, {"y": None, "x": "é"}], "a": True}
    expected = '{"a":true,"b":[1.5,{"x":"é","y":null}]}'.encode()
    assert stored_one(str(tmp_path / "1"), payload, "upsert") == expected
    db = DBEngine(str(tmp_path / "2"))
    db.insert_many([("k", payload), ("j", Record(payload))])
    db.close_engine()
    assert stored_documents(str(tmp_path / "2")) == {"k": expected, "j": expected}


def test_set_stored_in_iteration_order(db_path):
    values = {100, 3, -7, 12345678, 0}
    stored = stored_one(db_path, {"s": values})
    assert stored == ('{"s":[' + ",".join(str(v) for v in values) + "]}").encode()


@pytest.mark.parametrize(
    "value, text",
    [
    (1e16, "1e+16"), (1.5e-7, "1.5e-7"), (0.00001, "0.00001"), (123.456, "123.456"),
    (1e15, "1000000000000000.0"), (9.999e-6, "9.999e-6"), (0.1, "0.1"), (2.0, "2.0"),
    (0.0, "0.0"), (-0.0, "-0.0"), (100.0, "100.0"), (-1.25, "-1.25"), (1e-6, "1e-6"),
    (1e300, "1e+300"), (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e+308"),
    (1.2345678901234568e17, "1.2345678901234568e+17"), (0.000123, "0.000123"), (1 / 3, "0.3333333333333333"),
    (-2.5e-10, "-2.5e-10"), (9007199254740992.0, "9007199254740992.0"),
    ],
)
def test_float_text(db_path, value, text):
    assert stored_one(db_path, {"f": value}) == ('{"f":' + text + "}").encode()


def float_text(x):
    """Shortest round-trip digits; plain notation from 1e-5 up to 1e16, exponent otherwise."""
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    point = len(digits) + exponent  # value = 0.digits * 10**point
    first = point - 1
    if -5 <= first <= 15:
        if exponent >= 0:
            return sign + digits + "0" * exponent + ".0"
        if point > 0:
            return sign + digits[:point] + "." + digits[point:]
        return sign + "0." + "0" * -point + digits
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{'+' if first >= 0 else '-'}{abs(first)}"


def test_random_floats_use_shortest_digits(db_path):
    generator = random.Random(1105)
    values = []
    while len(values) < 400:
        bits = generator.getrandbits(64)
        value = struct.unpack("<d", struct.pack("<Q", bits))[0]
        if math.isfinite(value):
            values.append(value)
    values += [generator.uniform(-1, 1) * 10.0 ** generator.randint(-8, 18) for _ in range(400)]
    stored = stored_one(db_path, {"f": values})
    assert stored == ('{"f":[' + ",".join(map(float_text, values)) + "]}").encode()


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
    ({"x": -(2**127) - 1}, "OverflowError: int too big to convert"),
    ({"x": [0, 2**200]}, "OverflowError: int too big to convert"),
    ({"x": b"1"}, "invalid type: byte array, expected any valid JSON value"),
    ({"a": [1, {"b": [b""]}]}, "invalid type: byte array, expected any valid JSON value"),
    ({"x": bytearray(b"1")}, "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
    ({"a": {1: 2}}, "unexpected type: 'int' object is not an instance of 'str'"),
    ({"a": {None: 2}}, "unexpected type: 'None' is not an instance of 'str'"),
    ({"a": {(1,): 2}}, "unexpected type: 'tuple' object is not an instance of 'str'"),
    ({"m": FrozenMapping([("ok", 1), (2.5, 1)])}, "unexpected type: 'float' object is not an instance of 'str'"),
    ({"x": object()}, "unsupported type object"),
    ({"x": Outer.Inner()}, "unsupported type Outer.Inner"),
    ({"x": 1j}, "unsupported type complex"),
    ({"x": [1, decimal.Decimal("1.5")]}, "unsupported type Decimal"),
    ({"x": "ok\ud800"}, exception_text(lambda: "ok\ud800".encode())),
    ({"\udc00": 1}, exception_text(lambda: "\udc00".encode())),
    ({"m": FailingItems([("a", 1)])}, "ValueError: no items today"),
    ({"s": BrokenSequence()}, "LookupError: element 1 is gone"),
]


@pytest.mark.parametrize("payload, reason", CONVERSION_FAILURES, ids=[r for _, r in CONVERSION_FAILURES])
@pytest.mark.parametrize("method", ["insert", "upsert"])
def test_conversion_failures(db_path, method, payload, reason):
    db = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        getattr(db, method)("u1", payload)
    assert str(excinfo.value) == "Error converting dict to Rust bytes for u1." + reason
    db.close_engine()
    assert stored_documents(db_path) == {}


def test_dataclass_fields_must_be_a_dict(db_path):
    db = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        db.insert("u1", {"d": FakeDataclass()})
    assert str(excinfo.value).startswith("Error converting dict to Rust bytes for u1.unexpected type: ")
    db.close_engine()
    assert stored_documents(db_path) == {}


def nested(depth, leaf):
    for _ in range(depth):
        leaf = {"a": leaf}
    return leaf


def test_recursion_is_refused_and_moderate_depth_is_stored(db_path):
    looping_dict = {}
    looping_dict["me"] = looping_dict
    looping_list = []
    looping_list.append(looping_list)
    message = "Error converting dict to Rust bytes for {}.RecursionError: maximum recursion depth exceeded while converting a document"
    db = DBEngine(db_path)
    for doc_id, payload in [("deep", nested(sys.getrecursionlimit() + 10, 1)),
                            ("dict", looping_dict), ("list", {"l": looping_list})]:
        with pytest.raises(RuntimeError) as excinfo:
            db.insert(doc_id, payload)
        assert str(excinfo.value) == message.format(doc_id)
    db.insert("fine", nested(200, 1))
    db.close_engine()
    assert stored_documents(db_path) == {"fine": ('{"a":' * 200 + "1" + "}" * 200).encode()}


JSON_TEXTS = [
    '  {"b":1, "a":2} ',
    '{"a":1,"a":2}',
    "3",
    "[1,2]",
    "null",
    '"just a string"',
    "\t\r\n{ \"a\" : [ ] , \"b\" : { } }\r\n",
    '{"n":123456789012345678901234567890}',
    "[1e999, -0, 0.5E-3, -12.0e+7]",
    '{"é":"中😀","esc":"\\u00e9\\ud800\\n\\/"}',
    "[" * 1000 + "]" * 1000,
]


@pytest.mark.parametrize("text", JSON_TEXTS, ids=range(len(JSON_TEXTS)))
def test_json_text_stored_byte_for_byte(db_path, text):
    assert stored_one(db_path, text, "insert_json") == text.encode()


VALIDATION_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\', "EOF while parsing a string at line 1 column 2"),
    ('"\\u12', "EOF while parsing a string at line 1 column 5"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{\n  "a": 1,\n  "b" 2\n}', "expected `:` at line 3 column 7"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ('["é" x]', "expected `,` or `]` at line 1 column 7"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ("trux", "expected ident at line 1 column 4"),
    ("nulL", "expected ident at line 1 column 4"),
    ("x", "expected value at line 1 column 1"),
    ("[1,]", "expected value at line 1 column 4"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("\x0c{}", "expected value at line 1 column 1"),
    ("\r\n\r\n x", "expected value at line 3 column 2"),
    ('"\\q"', "invalid escape at line 1 column 3"),
    ('"\\u12G4"', "invalid escape at line 1 column 7"),
    ("-", "invalid number at line 1 column 1"),
    ("01", "invalid number at line 1 column 2"),
    ("1.", "invalid number at line 1 column 2"),
    ("1e+x", "invalid number at line 1 column 4"),
    ('"a\x01b"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
    ('["a\nb"]', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ("{'a':1}", "key must be a string at line 1 column 2"),
    ('{"a":1,}', "key must be a string at line 1 column 8"),
    ("{} x", "trailing characters at line 1 column 4"),
    ("nullx", "trailing characters at line 1 column 5"),
    ("[]]", "trailing characters at line 1 column 3"),
]


@pytest.mark.parametrize("text, reason", VALIDATION_ERRORS, ids=[r for _, r in VALIDATION_ERRORS])
def test_json_text_validation_messages(db_path, text, reason):
    db = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        db.insert_json("k", text)
    assert str(excinfo.value) == "Validation error at k." + reason
    db.close_engine()
    assert stored_documents(db_path) == {}
