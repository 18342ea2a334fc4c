"""get, get_many and scan_prefix, and turning stored documents into dicts:
key order, repeated keys, number classes, the message set of each read."""

import pytest

from conftest import applied, open_with_rows, same_value
from quillmere import DBEngine, DBEngineWebServer

NOT_A_DICT = "Database entry is not a valid JSON/Dictionary"


def nested_lists(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


CONVERSIONS = [
    ('{"b":1,"a":{"d":true,"c":null}}', {"a": {"c": None, "d": True}, "b": 1}),
    ('{"b":{"x":1},"a":0,"b":[3]}', {"a": 0, "b": [3]}),
    # Ascending byte order of the UTF-8 keys: U+E000 before U+1F600 (unlike in UTF-16).
    ('{"中":1,"é":2,"a":3,"Z":4,"":5,"aa":6,"\ue000":7,"\U0001F600":8,"a\\u0000":9}',
     {"": 5, "Z": 4, "a": 3, "a\x00": 9, "aa": 6, "é": 2, "中": 1, "\ue000": 7, "\U0001F600": 8}),
    ('{"l":[{"y":1,"x":[{"q":0,"p":1}]},[],{}],"t":true,"f":false}',
     {"f": False, "l": [{"x": [{"p": 1, "q": 0}], "y": 1}, [], {}], "t": True}),
    ('{"a":' + "[" * 126 + "]" * 126 + "}", {"a": nested_lists(126)}),
]


@pytest.mark.parametrize("body, expected", CONVERSIONS, ids=range(len(CONVERSIONS)))
def test_stored_text_converts(db_path, body, expected):
    assert same_value(open_with_rows(db_path, {"d": body}).get("d"), expected)


NUMBERS = {  # stored text: what DBEngine reads
    "0": 0, "-1": -1, "18446744073709551615": 2**64 - 1, "-9223372036854775808": -2**63, "9223372036854775808": 2**63,
    "-0": -0.0, "1E+2": 100.0, "18446744073709551616": 1.8446744073709552e19, "-9223372036854775809": -9.223372036854776e18,
}


def test_number_classes(db_path):
    body = '{"v":[%s]}' % ",".join(NUMBERS)
    assert same_value(open_with_rows(db_path, {"d": body}).get("d"), {"v": list(NUMBERS.values())})


GOOD = '{"b":[1.5,-0,18446744073709551615],"a":{"y":1,"x":"s"}}'
GOOD_E = {"a": {"x": "s", "y": 1}, "b": [1.5, -0.0, 2**64 - 1]}
GOOD_W = {"a": {"x": "s", "y": 1}, "b": [1.5, 0, 2**64 - 1]}
RANGE = "number out of range at line 1 column 10"
STRICT = "InvalidNumber at character 5 ('1')"
# Each read converts in its class's dialect and reports in its own message set.
READS = [
    (DBEngine, lambda db, d: db.get(d), GOOD_E, "Json parsing error " + RANGE),
    (DBEngine, lambda db, d: db.get_many([d])[0][1], GOOD_E, "Json parsing error " + RANGE),
    (DBEngine, lambda db, d: db.scan_prefix(d)[0][1], GOOD_E, "Json Parse Error " + RANGE),
    (DBEngine, lambda db, d: db.filter_by_metadata("k", d)[0][1], GOOD_E, "Json Parse Error " + RANGE),
    (DBEngineWebServer, lambda db, d: db.get(d), GOOD_W, "Json parsing error " + STRICT),
    (DBEngineWebServer, lambda db, d: db.get_many([d])[0][1], GOOD_W, "Json parsing error " + STRICT),
    (DBEngineWebServer, lambda db, d: db.scan_prefix(d)[0][1], GOOD_W, "Json Parse Error " + STRICT),
    (DBEngineWebServer, lambda db, d: db.filter_by_metadata("k", d, None, None)[0][1], GOOD_E,
     "Json Parse Error " + RANGE),
]


@pytest.mark.parametrize("cls, read, expected, failure", READS, ids=range(len(READS)))
def test_every_read_converts_and_reports_in_its_own_set(db_path, cls, read, expected, failure):
    db = open_with_rows(db_path, {"good": GOOD, "range": '{"a":1e400}', "list": "[1]"},
                        [("k.good", "good"), ("k.range", "range"), ("k.list", "list")], cls=cls)
    assert same_value(read(db, "good"), expected)
    for doc_id, message in [("range", failure), ("list", NOT_A_DICT)]:
        with pytest.raises(RuntimeError) as raised:
            read(db, doc_id)
        assert str(raised.value) == message
    db.close_engine()


def test_first_bad_row_fails_the_whole_list(db_path):
    db = open_with_rows(db_path, {"r1": '{"n":1}', "r2": "x", "r3": "", "r4": "[]", "s1": '{"n":1}'},
                        [("k.v", "r1"), ("k.v", "r2"), ("k.v", "r3")])
    second, third = "expected value at line 1 column 1", "EOF while parsing a value at line 1 column 0"
    for read, message in [
        (lambda: db.get_many(["r1", "r2", "r3"]), "Json parsing error " + second),
        (lambda: db.get_many(["r1", "missing", "r3", "r2"]), "Json parsing error " + third),
        (lambda: db.get_many(["r4", "r2"]), NOT_A_DICT),
        (lambda: db.scan_prefix(""), "Json Parse Error " + second),
        (lambda: db.filter_by_metadata("k", "v"), "Json Parse Error " + second),
    ]:
        with pytest.raises(RuntimeError) as raised:
            read()
        assert str(raised.value) == message
    assert db.get_many(["r1", "missing", "s1"]) == [("r1", {"n": 1}), ("missing", None), ("s1", {"n": 1})]
    assert db.scan_prefix("s") == [("s1", {"n": 1})]


def test_get_and_get_many(db_path):
    db = applied(db_path, ("insert_many", [(i, {"id": i}) for i in ["a", "b", "a\x00b"]]))
    a, b = ("a", {"id": "a"}), ("b", {"id": "b"})
    assert [db.get(i) for i in ["b", "", "A", "a\x00", "a\x00b"]] == [{"id": "b"}, None, None, None, {"id": "a\x00b"}]
    first = db.get("a")
    first["id"] = 99
    assert db.get("a") == {"id": "a"}  # every call builds new objects
    assert db.get_many([]) == [] and db.get_many(("a", "b")) == [a, b]
    assert db.get_many(["b", "zz", "a", "a", "zz"]) == [b, ("zz", None), a, a, ("zz", None)]
    twice = db.get_many(["a", "missing", "a"])
    assert [type(row) for row in twice] == [tuple] * 3 and type(twice) is list
    assert twice[0][1] is not twice[2][1]


@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
def test_scan_prefix_stops_at_the_first_id_past_the_prefix_in_utf8_byte_order(db_path, cls):
    ids = ["ba", "b", "ab", "a", "a2", "a10", "A", "a\x00", "a\x00b", "a\x01", "\x7f", "\x7fa", "\x80", "e", "é",
           "éa", "f", "中", "中文", "丫", "\ue000", "\U0001F600", "\U0001F600x", "\U0010FFFF", "\x00", ""]
    db = applied(db_path, ("insert_many", [(i, {"id": i}) for i in ids]), cls=cls)
    assert [i for i, _ in db.scan_prefix("")] == sorted(ids, key=str.encode)
    for prefix, expected in [
        ("a", ["a", "a\x00", "a\x00b", "a\x01", "a10", "a2", "ab"]), ("a1", ["a10"]), ("abc", []), ("b", ["b", "ba"]),
        ("c", []), ("a\x00", ["a\x00", "a\x00b"]), ("\x00", ["\x00"]), ("\x7f", ["\x7f", "\x7fa"]),
        ("é", ["é", "éa"]), ("e", ["e"]), ("中", ["中", "中文"]), ("\U0001F600", ["\U0001F600", "\U0001F600x"]),
        ("\U0010FFFF", ["\U0010FFFF"]), ("\ue000", ["\ue000"]),
    ]:
        rows = db.scan_prefix(prefix)
        assert [i for i, _ in rows] == expected, repr(prefix)
        assert all(document == {"id": i} for i, document in rows)


@pytest.mark.parametrize("cls", [DBEngine, DBEngineWebServer])
def test_scan_prefix_stops_at_the_next_id_also_when_it_holds_the_prefix_later(db_path, cls):
    ids = ["a", "ab", "ba", "bab", "cb", "中", "中文", "文中"]  # each prefix's next id holds it later
    db = applied(db_path, ("insert_many", [(i, {"id": i}) for i in ids]), cls=cls)
    for prefix, expected in [("a", ["a", "ab"]), ("b", ["ba", "bab"]), ("中", ["中", "中文"])]:
        assert [i for i, _ in db.scan_prefix(prefix)] == expected, prefix


def test_empty_database_and_reads_after_close(engine):
    assert (engine.scan_prefix(""), engine.get("a"), engine.get_many(["a"]), engine.filter_by_metadata("a", "1")) == (
        [], None, [("a", None)], [])
    engine.insert_many([("a", {"v": 3}), ("b", {"v": 2})])
    engine.close_engine()
    assert (engine.get_many(["c", "b"]), engine.scan_prefix(""), engine.filter_by_metadata("v", "3")) == (
        [("c", None), ("b", {"v": 2})], [("a", {"v": 3}), ("b", {"v": 2})], [("a", {"v": 3})])
