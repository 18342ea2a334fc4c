"""The rows of "metadata_index": one (entry, id) pair per non-null scalar of a
document, kept in step with the documents by insert, upsert and delete."""

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


# The entry grammar is tabled in metadata_index_test; these rows check that
# both write paths reach it and that the rows land byte for byte.
@pytest.mark.parametrize(
    "method, payload, expected",
    [
        ("insert_json", '{"k\\u0000":"v\\u0000w","é":"中","a":[true,null,{}]}', ["a.0.true", "k\x00.v\x00w", "é.中"]),
        ("insert", {"b": {"y": 1.0, "x": -3}, "a": [None, "s", True], "f": 1e16}, ["a.1.s", "a.2.true", "b.x.-3", "b.y.1", "f.10000000000000000"]),
    ],
)
def test_entries_of_a_document(db_path, method, payload, expected):
    run_writes(db_path, (method, "d\x00.", payload))
    assert index_pairs(db_path) == [(entry, "d\x00.") for entry in sorted(expected)]


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
