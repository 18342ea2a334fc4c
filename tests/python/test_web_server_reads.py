"""DBEngineWebServer: bulk inserts with failure lists, the in-place reads, paged queries."""

import collections.abc
import gc
import threading

import pytest

from conftest import wait_until
from quillmere import DBEngine, DBEngineWebServer

CRASHED = "Background write worker has crashed!"


@pytest.fixture
def server(db_path):
    db = DBEngineWebServer(db_path)
    yield db
    db.close_engine()
    del db
    gc.collect()


def test_insert_many_returns_refused_records_in_order(server):
    bad_b, bad_d = {"k": {1: "x"}}, {2: "y"}
    refused = server.insert_many([("a", {"v": 1}), ("b", bad_b), ("c", {"v": 3}), ("a", {"v": 4}), ("d", bad_d)])
    key_error = "Python dict parsing error unexpected type: 'int' object is not an instance of 'str'"
    assert refused == [("b", bad_b, key_error), ("d", bad_d, key_error)]
    assert refused[0][1] is bad_b and refused[1][1] is bad_d  # the caller's own dicts
    assert server.insert_many([]) is None
    assert server.insert_many([("e", {"v": 5})]) is None
    assert [r[0] for r in server.insert_many([("x", {1: 1}), ("y", {2: 2})])] == ["x", "y"]
    server.close_engine()
    assert server.scan_prefix("") == [("a", {"v": 4}), ("c", {"v": 3}), ("e", {"v": 5})]
    with pytest.raises(RuntimeError, match=f"^{CRASHED}$"):
        server.insert_many([])


def test_insert_many_json_validates_every_record(server):
    texts = ["[1, 2]", "3", "x", '{"v": 1}', "{"]
    failures = server.insert_many_json([(f"k{i}", text) for i, text in enumerate(texts)])
    assert failures == [("k2", "x", "Invalid JSON structure expected value at line 1 column 1"),
                        ("k4", "{", "Invalid JSON structure EOF while parsing an object at line 1 column 1")]
    assert server.insert_many_json([("k5", "{}")]) is None
    server.close_engine()
    assert server.scan_prefix("k3") == [("k3", {"v": 1})]
    with pytest.raises(RuntimeError, match="^Database entry is not a valid JSON/Dictionary$"):
        server.get("k0")


@pytest.mark.parametrize("method, records, message", [
    ("insert_many", [("a", ["not", "a", "dict"])], "'list' object is not an instance of 'dict'"),
    ("insert_many_json", [("a", {})], "'dict' object is not an instance of 'str'"),
    ("insert_many", "ab", "Can't extract `str` to `Vec`"),
])
def test_bulk_records_of_the_wrong_type_fail_the_call(server, method, records, message):
    with pytest.raises(TypeError) as raised:
        getattr(server, method)(records)
    assert (str(raised.value), raised.value.__notes__) == (message, ["while processing 'records'"])


NUMBERS = [  # stored text of member n, what DBEngineWebServer reads, what DBEngine reads
    ("18446744073709551615", 18446744073709551615, 18446744073709551615),
    ("-9223372036854775808", -9223372036854775808, -9223372036854775808),
    ("-0", 0, -0.0),
    ("-0.0", -0.0, -0.0),
    ("0.1", 0.1, 0.1),
    ("18446744073709551616", "InvalidNumber at character 5 ('1')", 1.8446744073709552e19),
    ("-9223372036854775809", "InvalidNumber at character 5 ('-')", -9.223372036854776e18),
    ("1e400", "InvalidNumber at character 5 ('1')", "number out of range at line 1 column 10"),
]


def read_number(read, prefix):
    """n of the document `read` returns, or the error text after `prefix`."""
    try:
        return read()["n"]
    except RuntimeError as error:
        assert str(error).startswith(prefix)
        return str(error)[len(prefix):]


def test_number_rules_against_dbengine_on_the_same_file(db_path):
    server = DBEngineWebServer(db_path)
    server.insert_many_json([(f"n{i}", '{"n":%s}' % text) for i, (text, _, _) in enumerate(NUMBERS)])
    server.close_engine()
    for i, (_, expected, _) in enumerate(NUMBERS):
        for read, prefix in [(lambda: server.get(f"n{i}"), "Json parsing error "),
                             (lambda: server.get_many([f"n{i}"])[0][1], "Json parsing error "),
                             (lambda: server.scan_prefix(f"n{i}")[0][1], "Json Parse Error ")]:
            got = read_number(read, prefix)
            assert (type(got), repr(got)) == (type(expected), repr(expected))
    del server
    gc.collect()
    plain = DBEngine(db_path)
    for i, (_, _, expected) in enumerate(NUMBERS):
        got = read_number(lambda: plain.get(f"n{i}"), "Json parsing error ")
        assert (type(got), repr(got)) == (type(expected), repr(expected))


def test_deep_documents_are_refused_without_recursion(server):
    depth = 100_000
    server.insert_json("deep", '{"a":' + "[" * depth + "]" * depth + "}")
    server.close_engine()
    for read, prefix in [(lambda: server.get("deep"), "Json parsing error "),
                         (lambda: server.get_many(["deep"]), "Json parsing error "),
                         (lambda: server.scan_prefix("deep"), "Json Parse Error ")]:
        with pytest.raises(RuntimeError) as raised:
            read()
        assert str(raised.value) == prefix + "RecursionLimitExceeded at character 131 ('[')"


def test_reads_after_close(server):
    server.insert_many([("a", {"x": 1}), ("ab", {"x": 2}), ("b", {"x": 3})])
    server.close_engine()
    assert server.get("a") == {"x": 1} and server.get("zz") is None
    assert server.get_many(["a", "x", "a"]) == [("a", {"x": 1}), ("x", None), ("a", {"x": 1})]
    assert server.get_many([]) == []
    assert [doc_id for doc_id, _ in server.scan_prefix("a")] == ["a", "ab"]
    assert server.scan_prefix("c") == []


def test_paged_query_counts_index_ids(db_path):
    server = DBEngineWebServer(db_path)
    server.insert_many([("a", {"k": "v"}), ("b", {"k": "v"}), ("c", {"k": "v"})])
    # An unindexable document over b keeps b's entry; deleting it leaves the entry stale.
    server.insert_json("b", '{"k":"v","n":18446744073709551616}')
    server.delete("b")
    server.close_engine()
    ids = lambda limit, offset: [d for d, _ in server.filter_by_metadata("k", "v", limit, offset)]
    assert ids(2, 0) == ["a"]
    assert ids(2, 2) == ["c"]
    assert ids(1, 1) == []
    assert ids(0, 0) == []
    assert ids(None, 3) == [] and ids(5, 10) == []
    assert ids(None, None) == ["a", "c"]
    assert ids(True, None) == ["a"]  # a bool is an int
    assert ids(None, 1) == ["c"]
    assert server.filter_by_metadata("k", "nothing", None, None) == []
    for bad in [{"limit": -1}, {"offset": -1}, {"limit": 2**64}]:
        arguments = {"limit": None, "offset": None, **bad}
        with pytest.raises(OverflowError):
            server.filter_by_metadata("k", "v", **arguments)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'offset'"):
        server.filter_by_metadata("k", "v", None)
    with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
        server.filter_by_metadata("k", "v", 1.5, None)
    everything = server.filter_by_metadata("k", "v", None, None)
    del server, ids
    gc.collect()
    assert DBEngine(db_path).filter_by_metadata("k", "v") == everything


class CallsBack(collections.abc.Sequence):
    """A list-like value whose reading runs `callback` while the converter holds the borrow."""

    def __init__(self, callback):
        self.callback = callback

    def __len__(self):
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        self.callback()
        return 0


def test_close_from_another_thread_during_a_bulk_insert_is_refused(server):
    seen = []

    def close_elsewhere():
        def close():
            try:
                server.close_engine()
                seen.append("closed")
            except RuntimeError as error:
                seen.append(str(error))
        thread = threading.Thread(target=close)
        thread.start()
        thread.join()

    assert server.insert_many([("a", {"v": CallsBack(close_elsewhere)})]) is None
    assert seen == ["Already borrowed"]


def test_close_from_another_thread_during_reads_is_refused(server):
    server.insert_many([(f"k{i:05}", {"i": i}) for i in range(20000)])
    assert wait_until(lambda: server.queue_size == 0)
    stop = threading.Event()
    reader = threading.Thread(target=lambda: [server.scan_prefix("k") for _ in iter(stop.is_set, True)])
    reader.start()
    refusals = []

    def refused():
        try:
            server.close_engine()
            return False
        except RuntimeError as error:
            refusals.append(str(error))
            return True

    try:
        assert wait_until(refused)
    finally:
        stop.set()
        reader.join()
    assert set(refusals) == {"Already borrowed"}
