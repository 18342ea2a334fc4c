"""Turning stored documents into dicts: key order, repeated keys, number
classes, nesting depth, white space, non-object documents, and the two message
sets of the reads (get/get_many versus scan_prefix/filter_by_metadata).

Most documents here are written straight into the file, so that texts which
the write methods would refuse can be read back."""

import re

import pytest

from conftest import open_with_rows, same_value
from quillmere import DBEngine

GET_SET = "Json parsing error "
SCAN_SET = "Json Parse Error "
NOT_A_DICT = "Database entry is not a valid JSON/Dictionary"


def plant(db_path, body):
    """An engine whose only document "d" holds `body`, listed under the entry "k.v"."""
    return open_with_rows(db_path, {"d": body}, [("k.v", "d")])


def read_four_ways(db):
    """Document "d" as returned by get, get_many, scan_prefix and filter_by_metadata."""
    return [
        db.get("d"),
        db.get_many(["d"])[0][1],
        db.scan_prefix("d")[0][1],
        db.filter_by_metadata("k", "v")[0][1],
    ]


def failures_four_ways(db):
    """The RuntimeError messages of the same four reads of "d"."""
    messages = []
    for read in (lambda: db.get("d"), lambda: db.get_many(["d"]),
                 lambda: db.scan_prefix("d"), lambda: db.filter_by_metadata("k", "v")):
        with pytest.raises(RuntimeError) as excinfo:
            read()
        assert type(excinfo.value) is RuntimeError
        messages.append(str(excinfo.value))
    return messages


def nested_lists(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


CONVERSIONS = [
    ('{"b":1,"a":{"d":true,"c":null}}', {"a": {"c": None, "d": True}, "b": 1}),
    ('{"a":1,"a":2}', {"a": 2}),
    ('{"b":{"x":1},"a":0,"b":[3]}', {"a": 0, "b": [3]}),
    ('{"k":{"z":1,"y":2},"k":{"x":3}}', {"k": {"x": 3}}),
    # Keys come back in ascending byte order of their UTF-8 form, which is code
    # point order: U+E000 sorts before U+1F600 (unlike in UTF-16).
    ('{"中":1,"é":2,"a":3,"Z":4,"":5,"aa":6,"\ue000":7,"\U0001F600":8,"a\\u0000":9}',
     {"": 5, "Z": 4, "a": 3, "a\x00": 9, "aa": 6, "é": 2, "中": 1, "\ue000": 7, "\U0001F600": 8}),
    ('{"\\u0062":1,"a":{"\\u00e9":2,"f":3}}', {"a": {"f": 3, "é": 2}, "b": 1}),
    (' \t\r\n{"a" : [ 1 , 2 ] ,\n "b":{ }}\n\t\r ', {"a": [1, 2], "b": {}}),
    ('{"s":"\\u00e9\\n\\"\\/\\\\\\ud83d\\ude00\\t","r":"中é"}', {"r": "中é", "s": 'é\n"/\\\U0001F600\t'}),
    ('{"l":[{"y":1,"x":[{"q":0,"p":1}]},[],{}],"t":true,"f":false}',
     {"f": False, "l": [{"x": [{"p": 1, "q": 0}], "y": 1}, [], {}], "t": True}),
    ('{"a":' + "[" * 126 + "]" * 126 + "}", {"a": nested_lists(126)}),
    ('{"a":' + "[" * 126 + "]" * 126 + ',"b":' + "[" * 126 + "]" * 126 + "}",
     {"a": nested_lists(126), "b": nested_lists(126)}),
    ("{}", {}),
]


@pytest.mark.parametrize("body, expected", CONVERSIONS, ids=range(len(CONVERSIONS)))
def test_stored_text_converts(db_path, body, expected):
    assert same_value(plant(db_path, body).get("d"), expected)


def test_every_read_converts_and_reports_in_its_own_set(db_path):
    db = plant(db_path, '{"b":[1.5,-0],"a":{"y":1,"x":"s"}}')
    expected = {"a": {"x": "s", "y": 1}, "b": [1.5, -0.0]}
    assert all(same_value(value, expected) for value in read_four_ways(db))
    reason = "number out of range at line 1 column 10"
    db = plant(db_path + "2", '{"a":1e400}')
    assert failures_four_ways(db) == [GET_SET + reason] * 2 + [SCAN_SET + reason] * 2
    db = plant(db_path + "3", "[1]")
    assert failures_four_ways(db) == [NOT_A_DICT] * 4


INTEGER_TEXTS = ["0", "-1", "100", "18446744073709551615", "-9223372036854775808", "9007199254740993",
                 "9223372036854775808"]
FLOAT_TEXTS = [
    "1.0", "-0", "-0.0", "0.0", "1e2", "1E+2", "2.5e-3", "-1.5", "1e0",
    "18446744073709551616", "-9223372036854775809", "123456789012345678901234567890",
    "0.1", "2.2250738585072011e-308", "2.2250738585072014e-308", "1.7976931348623157e308",
    "1.7976931348623158e308", "4.9e-324", "5e-324", "2.4703282292062328e-324", "2.4703282292062327e-324",
    "1e-400", "-1e-400", "1e-99999999999999999999", "0e99999999999999999999",
    "3.14159265358979323846264338327950", "9007199254740993.0", "9007199254740993.00000000000000000001",
    "1" + "0" * 400 + "e-400", "0." + "0" * 400 + "1e400", "123456789012345678901234567890e-29",
]


@pytest.mark.parametrize("text", INTEGER_TEXTS + FLOAT_TEXTS)
def test_number_classes(db_path, text):
    expected = int(text) if text in INTEGER_TEXTS else float(text)
    db = plant(db_path, '{"v":%s,"w":[%s]}' % (text, text))
    assert same_value(db.get("d"), {"v": expected, "w": [expected]})


PARSE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("x", "expected value at line 1 column 1"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("\n\n", "EOF while parsing a value at line 3 column 0"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ("\x0c{}", "expected value at line 1 column 1"),
    ('{\n  "a": 1,\n  "b": x\n}', "expected value at line 3 column 8"),
    ('{"a":1} x', "trailing characters at line 1 column 9"),
    ('{"a":1}\n\n  x', "trailing characters at line 3 column 3"),
    ('{"a":1}{}', "trailing characters at line 1 column 8"),
    ('{"a":1}\x00', "trailing characters at line 1 column 8"),
    ("{}\x0c", "trailing characters at line 1 column 3"),
    ('{"a":1e400}', "number out of range at line 1 column 10"),
    ('{"a":\n  [1, -1e400]}', "number out of range at line 2 column 12"),
    ('{"a":1.7976931348623159e308}', "number out of range at line 1 column 27"),
    ('{"a":1' + "0" * 400 + "}", "number out of range at line 1 column 406"),
    # An exponent too long to count fails at its tenth digit.
    ('{"a":1e99999999999999999999}', "number out of range at line 1 column 17"),
    ('{"a":' + "[" * 127 + "]" * 127 + "}", "recursion limit exceeded at line 1 column 132"),
    ("[" * 1000 + "]" * 1000, "recursion limit exceeded at line 1 column 128"),
]


@pytest.mark.parametrize("body, reason", PARSE_ERRORS, ids=[r for _, r in PARSE_ERRORS])
def test_parse_error_messages(db_path, body, reason):
    with pytest.raises(RuntimeError) as excinfo:
        plant(db_path, body).get("d")
    assert str(excinfo.value) == GET_SET + reason


def test_text_stored_through_insert_json_is_checked_on_read(db_path):
    """insert_json checks syntax only: a lone surrogate escape, a huge number and
    deep nesting are stored, and refused when read."""
    db = DBEngine(db_path)
    db.insert_json("d1", '{"a":"\\ud800"}')
    db.insert_json("d2", '{"a":1e400}')
    db.insert_json("d3", "[" * 1000 + "]" * 1000)
    db.insert_json("d4", '{"ok":1}')
    db.close_engine()
    assert db.get("d4") == {"ok": 1}
    with pytest.raises(RuntimeError) as excinfo:
        db.get("d1")
    assert re.fullmatch(r"Json parsing error .+ at line 1 column \d+", str(excinfo.value))
    with pytest.raises(RuntimeError) as excinfo:
        db.get("d2")
    assert str(excinfo.value) == GET_SET + "number out of range at line 1 column 10"
    with pytest.raises(RuntimeError) as excinfo:
        db.scan_prefix("d3")
    assert str(excinfo.value) == SCAN_SET + "recursion limit exceeded at line 1 column 128"


def test_dict_nested_deeper_than_the_reader_allows(db_path):
    """insert stores a dict nested 128 levels deep; reading it back fails."""
    deep = {}
    for _ in range(127):
        deep = {"a": deep}
    shallow = deep["a"]
    db = DBEngine(db_path)
    db.insert("deep", deep)
    db.insert("shallow", shallow)
    db.close_engine()
    assert db.get("shallow") == shallow
    with pytest.raises(RuntimeError) as excinfo:
        db.get("deep")
    # Each level is written as {"a": (five bytes); the 128th brace opens at byte 636.
    assert str(excinfo.value) == GET_SET + "recursion limit exceeded at line 1 column 636"


@pytest.mark.parametrize("body", ["null", '[1,{"a":2}]', '""', "-0", "true", " null ", "[" * 127 + "]" * 127])
def test_non_object_documents_are_refused(db_path, body):
    with pytest.raises(RuntimeError, match=f"^{re.escape(NOT_A_DICT)}$"):
        plant(db_path, body).get("d")


def test_first_bad_row_fails_the_whole_list(db_path):
    db = open_with_rows(
        db_path,
        {"r1": '{"n":1}', "r2": "x", "r3": "", "r4": "[]", "s1": '{"n":1}'},
        [("k.v", "r1"), ("k.v", "r2"), ("k.v", "r3"), ("j.v", "r1"), ("j.v", "r4"), ("j.v", "s1")],
    )
    second = "expected value at line 1 column 1"
    third = "EOF while parsing a value at line 1 column 0"
    cases = [
        (lambda: db.get_many(["r1", "r2", "r3"]), GET_SET + second),
        (lambda: db.get_many(["r1", "missing", "r3", "r2"]), GET_SET + third),
        (lambda: db.get_many(["r4", "r2"]), NOT_A_DICT),
        (lambda: db.scan_prefix("r"), SCAN_SET + second),
        (lambda: db.scan_prefix(""), SCAN_SET + second),
        (lambda: db.filter_by_metadata("k", "v"), SCAN_SET + second),
        (lambda: db.filter_by_metadata("j", "v"), NOT_A_DICT),
    ]
    for read, message in cases:
        with pytest.raises(RuntimeError) as excinfo:
            read()
        assert str(excinfo.value) == message
    # Rows that are absent or good do not fail the call.
    assert db.get_many(["r1", "missing", "s1"]) == [("r1", {"n": 1}), ("missing", None), ("s1", {"n": 1})]
    assert db.scan_prefix("s") == [("s1", {"n": 1})]
    assert db.get_many([]) == []
