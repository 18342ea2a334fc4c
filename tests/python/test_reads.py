"""get, get_many and scan_prefix: absent ids, argument checks, order of the
document lists, prefix matching by bytes, reads after close_engine and the
round trip of a dict through insert and get."""

import collections.abc
import gc

import pytest

from conftest import open_with_rows, same_value
from quillmere import DBEngine

NOT_A_DICT = "Database entry is not a valid JSON/Dictionary"


def filled_engine(path, ids):
    """A closed engine holding {"id": <id>} under each of `ids`."""
    db = DBEngine(path)
    db.insert_many([(doc_id, {"id": doc_id}) for doc_id in ids])
    db.close_engine()
    return db


def test_get(db_path):
    db = DBEngine(db_path)
    db.insert("a", {"x": 1})
    db.insert_json("null", "null")
    db.insert_json("array", '[{"x":1}]')
    db.insert_json("spaced", ' {"x" : 2} ')
    db.close_engine()
    assert db.get("a") == {"x": 1}
    assert db.get("spaced") == {"x": 2}
    assert db.get("b") is None
    assert db.get("") is None
    assert db.get("A") is None
    assert db.get("a ") is None
    assert db.get(id="a") == {"x": 1}
    for doc_id in ("null", "array"):
        with pytest.raises(RuntimeError) as excinfo:
            db.get(doc_id)
        assert str(excinfo.value) == NOT_A_DICT
    # Every call builds new objects.
    first = db.get("a")
    first["x"] = 99
    assert db.get("a") == {"x": 1}


class IdSequence(collections.abc.Sequence):
    def __init__(self, *ids):
        self._ids = ids

    def __len__(self):
        return len(self._ids)

    def __getitem__(self, index):
        return self._ids[index]


class Name(str):
    pass


def test_get_many(db_path):
    db = filled_engine(db_path, ["a", "b", "c"])
    a, b = ("a", {"id": "a"}), ("b", {"id": "b"})
    assert db.get_many([]) == []
    assert db.get_many(()) == []
    assert db.get_many(["b", "a"]) == [b, a]
    assert db.get_many(["a", "a"]) == [a, a]
    assert db.get_many(["a", "zz", "b", "zz"]) == [a, ("zz", None), b, ("zz", None)]
    assert db.get_many(("b", "x")) == [b, ("x", None)]
    assert db.get_many(IdSequence("a", "b")) == [a, b]
    assert db.get_many([Name("a")]) == [a]
    assert db.get_many(ids=["a"]) == [a]
    result = db.get_many(["a", "missing"])
    assert type(result) is list
    assert all(type(row) is tuple and type(row[0]) is str for row in result)
    # Equal rows are distinct objects.
    twice = db.get_many(["a", "a"])
    assert twice[0][1] is not twice[1][1]


def ids_of(rows):
    return [doc_id for doc_id, _ in rows]


def test_scan_prefix_stops_at_the_first_id_past_the_prefix(db_path):
    db = filled_engine(db_path, ["ba", "b", "ab", "a", "a2", "a10", "A"])
    cases = [
        ("a", ["a", "a10", "a2", "ab"]),
        ("", ["A", "a", "a10", "a2", "ab", "b", "ba"]),
        ("abc", []),
        ("ab", ["ab"]),
        ("b", ["b", "ba"]),
        ("ba", ["ba"]),
        ("a1", ["a10"]),
        ("A", ["A"]),
        ("c", []),
        ("0", []),
    ]
    for prefix, expected in cases:
        rows = db.scan_prefix(prefix)
        assert ids_of(rows) == expected, prefix
        assert all(document == {"id": doc_id} for doc_id, document in rows)
    assert db.scan_prefix(prefix="b") == [("b", {"id": "b"}), ("ba", {"id": "ba"})]


def test_scan_prefix_compares_utf8_bytes(db_path):
    ids = ["a", "a\x00", "a\x00b", "a\x01", "\x7f", "\x7fa", "\x80", "e", "é", "éa", "f", "中", "中文", "丫",
           "\ue000", "\U0001F600", "\U0001F600x", "\U0010FFFF", "\x00", ""]
    db = filled_engine(db_path, ids)
    by_bytes = sorted(ids, key=lambda doc_id: doc_id.encode())
    assert ids_of(db.scan_prefix("")) == by_bytes
    cases = [
        ("a", ["a", "a\x00", "a\x00b", "a\x01"]),
        ("a\x00", ["a\x00", "a\x00b"]),
        ("\x00", ["\x00"]),
        ("\x7f", ["\x7f", "\x7fa"]),
        ("é", ["é", "éa"]),
        ("e", ["e"]),
        ("中", ["中", "中文"]),
        ("\U0001F600", ["\U0001F600", "\U0001F600x"]),
        ("\U0010FFFF", ["\U0010FFFF"]),
        ("\ue000", ["\ue000"]),
    ]
    for prefix, expected in cases:
        assert ids_of(db.scan_prefix(prefix)) == expected, repr(prefix)
    assert db.get("a\x00") == {"id": "a\x00"}
    assert db.get("") == {"id": ""}
    assert db.get_many(["中文", "\x00"]) == [("中文", {"id": "中文"}), ("\x00", {"id": "\x00"})]


def test_empty_database(engine):
    assert engine.scan_prefix("") == []
    assert engine.scan_prefix("a") == []
    assert engine.get("a") is None
    assert engine.get_many(["a"]) == [("a", None)]
    assert engine.filter_by_metadata("a", "1") == []


def test_reads_after_close_engine(db_path):
    db = DBEngine(db_path)
    db.insert("a", {"v": 1})
    db.insert_many([("b", {"v": 2}), ("c", {"v": 1})])
    db.upsert("a", {"v": 3})
    db.delete("c")
    assert db.close_engine() is None
    assert db.get("a") == {"v": 3}
    assert db.get("c") is None
    assert db.get_many(["c", "b", "a"]) == [("c", None), ("b", {"v": 2}), ("a", {"v": 3})]
    assert db.scan_prefix("") == [("a", {"v": 3}), ("b", {"v": 2})]
    assert db.filter_by_metadata("v", "3") == [("a", {"v": 3})]
    assert db.filter_by_metadata("v", "1") == []
    with pytest.raises(RuntimeError):
        db.close_engine()
    assert db.get("b") == {"v": 2}


def test_reads_on_a_reopened_file(db_path):
    db = DBEngine(db_path)
    db.insert("k", {"n": [1, 2]})
    db.close_engine()
    del db
    reopened = DBEngine(db_path)
    assert reopened.get("k") == {"n": [1, 2]}
    assert reopened.scan_prefix("k") == [("k", {"n": [1, 2]})]
    reopened.close_engine()


def test_round_trip_of_a_rich_dict(db_path):
    payload = {
        "zeta": {"é": 1, "a": [1, 2.0, -0.0, True, None], "Z": {"inner": {"b": [], "a": {}}}},
        "中文": "値\x00\x1f\"\\/\n\u2028\U0001F600",
        "": "",
        "ints": [0, -1, 2**64 - 1, -2**63, 2**63, 2**53 + 1],
        "floats": [0.1, 1e300, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -1.5e-7, 1e16, 123.456,
                   float(2**64), 0.30000000000000004],
        "specials": [float("nan"), float("inf"), float("-inf")],
        "tuple": (1, (2, "x")),
        "bools": {"t": True, "f": False},
        "key\x00with nul": 1,
        "\U0001F600": 2,
        "\ue000": 3,
    }
    expected = {
        "": "",
        "bools": {"f": False, "t": True},
        "floats": [0.1, 1e300, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, -1.5e-7, 1e16, 123.456,
                   18446744073709551616.0, 0.30000000000000004],
        "ints": [0, -1, 2**64 - 1, -2**63, 2**63, 2**53 + 1],
        "key\x00with nul": 1,
        "specials": [None, None, None],
        "tuple": [1, [2, "x"]],
        "zeta": {"Z": {"inner": {"a": {}, "b": []}}, "a": [1, 2.0, -0.0, True, None], "é": 1},
        "中文": "値\x00\x1f\"\\/\n\u2028\U0001F600",
        "\ue000": 3,
        "\U0001F600": 2,
    }
    db = DBEngine(db_path)
    db.insert("rich", payload)
    db.close_engine()
    assert same_value(db.get("rich"), expected)


def test_reads_leave_the_garbage_collector_as_they_found_it(db_path):
    db = open_with_rows(db_path, {"good": '{"a":[{"b":1}]}', "bad": '{"a":'},
                        [("a.0.b.1", "good"), ("a.0.b.1", "bad")])
    reads = [
        lambda: db.get("good"), lambda: db.get("bad"),
        lambda: db.get_many(["good"]), lambda: db.get_many(["good", "bad"]),
        lambda: db.scan_prefix("g"), lambda: db.scan_prefix(""),
        lambda: db.filter_by_metadata("a.0.b", "1"),
    ]
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            for read in reads:
                try:
                    read()
                except RuntimeError:
                    pass
                assert gc.isenabled() is enabled
    finally:
        gc.enable()
