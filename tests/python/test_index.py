"""The rows of "metadata_index": one (entry, id) pair per non-null scalar of a
document, kept in step with the documents by insert, upsert and delete."""

import json
import subprocess
import sys

import pytest

from conftest import index_pairs, stored_documents
from quillmere import DBEngine


def run_writes(path, *writes):
    """Applies (method, *args) calls in order and closes the engine."""
    db = DBEngine(path)
    for method, *args in writes:
        getattr(db, method)(*args)
    db.close_engine()


def entries_of(path, doc_id="d"):
    return sorted(entry for entry, listed in index_pairs(path) if listed == doc_id)


INDEXED_TEXTS = [
    ('{"a":{"b":"x"}}', ["a.b.x"]),
    ('{"tags":["red","blue"]}', ["tags.0.red", "tags.1.blue"]),
    ('{"n":2.0}', ["n.2"]),
    ('{"n":2}', ["n.2"]),
    ('{"n":"2"}', ["n.2"]),
    ('{"ok":true,"v":null,"e":[],"o":{}}', ["ok.true"]),
    ('{"v":null,"e":[],"o":{"p":[[],{}]}}', []),
    ('{"s":""}', ["s."]),
    ('{"m":[[1,2]]}', ["m.0.0.1", "m.0.1.2"]),
    ('[{"a":1}]', ["0.a.1"]),
    ('"hello"', [".hello"]),
    ("-12", [".-12"]),
    ("false", [".false"]),
    ("null", []),
    ("[]", []),
    ('{"a":"b.c"}', ["a.b.c"]),
    ('{"a.b":1}', ["a.b.1"]),
    ('{"":{"a":1}}', ["a.1"]),
    ('{"":1}', [".1"]),
    ('{"x":{"":1}}', ["x..1"]),
    ('{"f":1e300}', ["f." + "1" + "0" * 300]),
    ('{"f":5e-324}', ["f.0." + "0" * 323 + "5"]),
    ('{"a":1e21,"b":1e-7,"c":-0.0,"d":1.5,"e":0.1,"f":-2.50}',
     ["a.1000000000000000000000", "b.0.0000001", "c.-0", "d.1.5", "e.0.1", "f.-2.5"]),
    ('{"u":18446744073709551615,"i":-9223372036854775808,"z":0}',
     ["i.-9223372036854775808", "u.18446744073709551615", "z.0"]),
    ('{"q":"say \\"hi\\"\\n\\u00e9\\/\\\\"}', ['q.say "hi"\né/\\']),
    ('{"k\\u0000":"v\\u0000w","é":"中"}', ["k\x00.v\x00w", "é.中"]),
    ('{"a":1,"a":2}', ["a.1", "a.2"]),
    ('{"a":1,"a":1}', ["a.1"]),
    ('{"a":[true,{"b":[null,false]}]}', ["a.0.true", "a.1.b.1.false"]),
]


@pytest.mark.parametrize("text, expected", INDEXED_TEXTS, ids=[t[:40] for t, _ in INDEXED_TEXTS])
def test_entries_of_a_json_text(db_path, text, expected):
    run_writes(db_path, ("insert_json", "d", text))
    assert index_pairs(db_path) == [(entry, "d") for entry in sorted(expected)]


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"b": {"y": 1.0, "x": -3}, "a": [None, "s", True]}, ["a.1.s", "a.2.true", "b.x.-3", "b.y.1"]),
        ({"n": 2.0, "m": 2, "s": "2"}, ["m.2", "n.2", "s.2"]),
        ({"nan": float("nan"), "t": (1, (2,))}, ["t.0.1", "t.1.0.2"]),
        ({"f": 1e16, "g": 1.5e-7, "h": 123.456}, ["f.10000000000000000", "g.0.00000015", "h.123.456"]),
    ],
)
def test_entries_of_a_dict(db_path, payload, expected):
    run_writes(db_path, ("insert", "d", payload))
    assert entries_of(db_path) == sorted(expected)
    assert len(index_pairs(db_path)) == len(expected)


def test_many_members_and_elements_all_indexed(db_path):
    text = "{" + ",".join(f'"m{i}":{{"v":[{i},"{i}x"]}}' for i in range(100)) + "}"
    run_writes(db_path, ("insert_json", "d", text))
    expected = [f"m{i}.v.0.{i}" for i in range(100)] + [f"m{i}.v.1.{i}x" for i in range(100)]
    assert entries_of(db_path) == sorted(expected)


def test_insert_over_insert_leaves_stale_entries(db_path):
    run_writes(db_path, ("insert", "a", {"x": 1, "keep": "k"}), ("insert", "a", {"x": 2}))
    assert stored_documents(db_path) == {"a": b'{"x":2}'}
    assert index_pairs(db_path) == [("keep.k", "a"), ("x.1", "a"), ("x.2", "a")]


def test_upsert_removes_the_entries_of_the_replaced_document(db_path):
    run_writes(db_path, ("insert", "a", {"x": 1, "keep": "k"}), ("upsert", "a", {"x": 2}))
    assert stored_documents(db_path) == {"a": b'{"x":2}'}
    assert index_pairs(db_path) == [("x.2", "a")]


def test_upsert_removes_only_what_the_stored_document_holds(db_path):
    # The second insert leaves x.1 stale; the upsert walks the stored {"x":2} only.
    run_writes(db_path, ("insert", "a", {"x": 1}), ("insert", "a", {"x": 2}), ("upsert", "a", {"x": 3}))
    assert index_pairs(db_path) == [("x.1", "a"), ("x.3", "a")]


def test_upsert_of_an_absent_id_acts_as_insert(db_path):
    run_writes(db_path, ("upsert", "new", {"x": [1]}))
    assert stored_documents(db_path) == {"new": b'{"x":[1]}'}
    assert index_pairs(db_path) == [("x.0.1", "new")]


def test_delete_removes_only_that_documents_entries(db_path):
    run_writes(
        db_path,
        ("insert", "b", {"x": 1, "only": "b"}),
        ("insert", "c", {"x": 1, "only": "c"}),
        ("insert_json", "t", '{"x":1,"x":1.0,"y":[true]}'),
        ("delete", "b"),
        ("delete", "t"),
        ("delete", "never-stored"),
    )
    assert stored_documents(db_path) == {"c": b'{"only":"c","x":1}'}
    assert index_pairs(db_path) == [("only.c", "c"), ("x.1", "c")]


def test_operations_apply_in_queue_order(db_path):
    run_writes(
        db_path,
        ("insert", "a", {"v": 1}),
        ("delete", "a"),
        ("insert", "a", {"v": 2}),
        ("upsert", "b", {"w": 1}),
        ("delete", "b"),
        ("delete", "b"),
        ("insert_json", "b", '{"w":3}'),
    )
    assert stored_documents(db_path) == {"a": b'{"v":2}', "b": b'{"w":3}'}
    assert index_pairs(db_path) == [("v.2", "a"), ("w.3", "b")]


def test_integer_beyond_64_bits_is_stored_without_entries(db_path):
    big = '{"n":123456789012345678901234567890,"s":"x"}'
    run_writes(db_path, ("insert_json", "big", big), ("insert", "other", {"s": "x"}))
    assert stored_documents(db_path)["big"] == big.encode()
    assert index_pairs(db_path) == [("s.x", "other")]


def test_deleting_an_unparsable_document_removes_no_entries(db_path):
    big = '{"n":-123456789012345678901234567890,"s":"x"}'
    run_writes(
        db_path,
        ("insert", "big", {"s": "x"}),
        ("insert_json", "big", big),
        ("delete", "big"),
    )
    assert stored_documents(db_path) == {}
    assert index_pairs(db_path) == [("s.x", "big")]


def test_ids_and_values_stored_byte_for_byte(db_path):
    ids = ["a\x00b", "é中😀", "with.dots", "", " "]
    run_writes(db_path, *[("insert", doc_id, {"k": f"v\x00{doc_id}", "é": "ü"}) for doc_id in ids])
    documents = stored_documents(db_path)
    assert sorted(documents) == sorted(ids)
    for doc_id in ids:
        expected = json.dumps({"k": f"v\x00{doc_id}", "é": "ü"}, ensure_ascii=False, separators=(",", ":"))
        assert documents[doc_id] == expected.encode()
        assert entries_of(db_path, doc_id) == sorted([f"k.v\x00{doc_id}", "é.ü"])


def test_deep_nesting_does_not_stop_the_writer(tmp_path):
    """Texts nested 100000 levels deep are stored, and later writes still arrive."""
    path = str(tmp_path / "deep.db")
    deep_array = '{"d":' + "[" * 100000 + "1" + "]" * 100000 + "}"
    deep_object = '{"o":' + '{"k":' * 100000 + "2" + "}" * 100000 + "}"
    script = (
        "import sys\n"
        "from quillmere import DBEngine\n"
        "db = DBEngine(sys.argv[1])\n"
        "for doc_id, text in zip(('deep', 'obj'), sys.stdin.read().split('\\n')):\n"
        "    db.insert_json(doc_id, text)\n"
        "db.insert('after', {'x': 1})\n"
        "db.close_engine()\n"
    )
    run = subprocess.run([sys.executable, "-c", script, path], input=deep_array + "\n" + deep_object,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    assert stored_documents(path) == {"deep": deep_array.encode(), "obj": deep_object.encode(), "after": b'{"x":1}'}
    assert ("x.1", "after") in index_pairs(path)
