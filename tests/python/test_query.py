"""filter_by_metadata: the entry looked up, the order of its results, stale
entries left by insert over insert, argument checks and reads after a close."""

import pytest

from conftest import open_with_rows
from quillmere import DBEngine

NOT_A_DICT = "Database entry is not a valid JSON/Dictionary"


def applied(path, *writes):
    """A closed engine on `path` after the (method, *args) writes were applied."""
    db = DBEngine(path)
    for method, *args in writes:
        getattr(db, method)(*args)
    db.close_engine()
    return db


def ids_of(rows):
    return [doc_id for doc_id, _ in rows]


def test_numbers_and_strings_share_a_leaf_text(db_path):
    db = applied(db_path, ("insert_json", "c", '{"n":"2"}'), ("insert", "b", {"n": 2}), ("insert", "a", {"n": 2.0}))
    assert db.filter_by_metadata("n", "2") == [("a", {"n": 2.0}), ("b", {"n": 2}), ("c", {"n": "2"})]
    assert type(db.filter_by_metadata("n", "2")[0][1]["n"]) is float
    assert db.filter_by_metadata("n", "2.0") == []
    assert db.filter_by_metadata("n", " 2") == []
    assert db.filter_by_metadata("n", '"2"') == []


@pytest.mark.parametrize(
    "document, key, value, found",
    [
        ({"tags": ["red"]}, "tags", "red", False),
        ({"tags": ["red", "blue"]}, "tags.1", "blue", True),
        ({"ok": True}, "ok", "True", False),
        ({"v": None}, "v", "null", False),
        ({"": ""}, "", "", True),
        ({"a": {"b": "x"}}, "a", "b.x", True),
        ({"a": {"b": "x"}}, "A.b", "x", False),
        ({"x": {"": 1}}, "x.", "1", True),
    ],
)
def test_entry_made_of_key_and_value(db_path, document, key, value, found):
    db = applied(db_path, ("insert", "d", document))
    assert db.filter_by_metadata(key, value) == ([("d", document)] if found else [])


def test_full_stops_in_keys_and_values_are_not_told_apart(db_path):
    db = applied(db_path, ("insert", "v", {"a": "b.c"}), ("insert", "w", {"a": {"b": "c"}}),
                 ("insert_json", "x", '{"a.b":"c"}'), ("insert", "y", {"a": "b"}))
    both = [("v", {"a": "b.c"}), ("w", {"a": {"b": "c"}}), ("x", {"a.b": "c"})]
    assert db.filter_by_metadata("a", "b.c") == both
    assert db.filter_by_metadata("a.b", "c") == both
    assert db.filter_by_metadata("a.b.c", "") == []
    assert db.filter_by_metadata("", "a.b.c") == []
    assert db.filter_by_metadata(index_key="a", index_value="b") == [("y", {"a": "b"})]


def test_results_in_ascending_byte_order_of_ids(db_path):
    ids = ["b", "中", "a", "A", "é", "a\x00", "a0", "\U0001F600", "\ue000", ""]
    db = DBEngine(db_path)
    for doc_id in ids:
        db.insert(doc_id, {"t": 1, "id": doc_id})
    db.insert("other", {"t": 2})
    db.close_engine()
    rows = db.filter_by_metadata("t", "1")
    assert ids_of(rows) == sorted(ids, key=lambda doc_id: doc_id.encode())
    assert all(document == {"t": 1, "id": doc_id} for doc_id, document in rows)


def test_no_match(engine):
    engine.insert("a", {"v": 1})
    engine.close_engine()
    for key, value in [("v", "2"), ("w", "1"), ("", ""), ("v.", "1"), ("v", "1.0"), ("", "v.1")]:
        assert engine.filter_by_metadata(key, value) == []
    assert engine.filter_by_metadata("v", "1") == [("a", {"v": 1})]


def test_delete_removes_the_entries(db_path):
    db = DBEngine(db_path)
    db.insert("x", {"v": 1, "w": [2]})
    db.insert("y", {"v": 1})
    db.close_engine()
    del db
    db = applied(db_path, ("delete", "x"), ("delete", "never-stored"))
    assert db.filter_by_metadata("v", "1") == [("y", {"v": 1})]
    assert db.filter_by_metadata("w.0", "2") == []


def test_insert_over_insert_leaves_a_stale_entry(db_path):
    db = applied(db_path, ("insert", "x", {"v": 1}), ("insert", "x", {"v": 2}))
    assert db.filter_by_metadata("v", "1") == [("x", {"v": 2})]
    assert db.filter_by_metadata("v", "2") == [("x", {"v": 2})]
    del db
    # Deleting removes the entries of the current document only; the stale
    # entry still lists x, but x has no document any more and is skipped.
    db = applied(db_path, ("delete", "x"))
    assert db.filter_by_metadata("v", "1") == []
    assert db.filter_by_metadata("v", "2") == []
    assert db.scan_prefix("") == []


def test_upsert_over_insert_replaces_the_entries(db_path):
    db = applied(db_path, ("insert", "x", {"v": 1}), ("upsert", "x", {"v": 2}), ("upsert", "z", {"v": 1}))
    assert db.filter_by_metadata("v", "1") == [("z", {"v": 1})]
    assert db.filter_by_metadata("v", "2") == [("x", {"v": 2})]


def test_entries_without_documents_are_skipped(db_path):
    db = open_with_rows(
        db_path,
        {"a": '{"v":9}', "c": '{"other":true}'},
        [("v.9", "a"), ("v.9", "b"), ("v.9", "c"), ("v.9", "d"), ("v.9", ""), ("w.1", "gone")],
    )
    # The query trusts the index: c is listed, so it is returned as it is now.
    assert db.filter_by_metadata("v", "9") == [("a", {"v": 9}), ("c", {"other": True})]
    assert db.filter_by_metadata("w", "1") == []


def test_documents_that_are_not_objects(db_path):
    db = applied(db_path, ("insert_json", "s", '"hello"'), ("insert_json", "l", '[{"a":1}]'),
                 ("insert_json", "n", "7"), ("insert", "ok", {"a": 1}))
    for key, value in [("", "hello"), ("0.a", "1"), ("", "7")]:
        with pytest.raises(RuntimeError) as excinfo:
            db.filter_by_metadata(key, value)
        assert str(excinfo.value) == NOT_A_DICT
    assert db.filter_by_metadata("a", "1") == [("ok", {"a": 1})]


def test_query_after_close_engine(db_path):
    db = DBEngine(db_path)
    db.insert_many([(f"k{i}", {"g": i % 3}) for i in range(30)])
    db.close_engine()
    rows = db.filter_by_metadata("g", "1")
    assert ids_of(rows) == sorted(f"k{i}" for i in range(30) if i % 3 == 1)
    assert all(document == {"g": 1} for _, document in rows)
    with pytest.raises(RuntimeError):
        db.close_engine()
    assert len(db.filter_by_metadata("g", "0")) == 10


