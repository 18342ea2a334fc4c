"""The rows of "metadata_index", kept in step with the documents by insert,
upsert and delete, and filter_by_metadata, which looks them up."""

from conftest import applied, index_pairs, open_with_rows, stored_documents


def test_lookup_joins_key_and_value_and_finds_ids_in_byte_order(db_path):
    ids = ["b", "中", "a", "A", "é", "a\x00", "a0", "\U0001F600", "\ue000", ""]
    db = applied(db_path, *[("insert", i, {"t": 1}) for i in ids], ("insert", "other", {"t": 2}),
                 ("insert", "v", {"a": "b.c"}), ("insert", "w", {"a": {"b": "c"}}), ("insert_json", "x", '{"a.b":"c"}'),
                 ("insert_json", "s", '{"n":"2"}'), ("insert", "f", {"n": 2.0}))
    assert [i for i, _ in db.filter_by_metadata("t", "1")] == sorted(ids, key=str.encode)
    both = [("v", {"a": "b.c"}), ("w", {"a": {"b": "c"}}), ("x", {"a.b": "c"})]
    assert db.filter_by_metadata("a", "b.c") == db.filter_by_metadata("a.b", "c") == both
    assert db.filter_by_metadata("n", "2") == [("f", {"n": 2.0}), ("s", {"n": "2"})]
    for key, value in [("a.b.c", ""), ("", "a.b.c"), ("n", "2.0"), ("n", " 2"), ("n", '"2"'), ("t", "True")]:
        assert db.filter_by_metadata(key, value) == []


def test_insert_over_insert_leaves_stale_entries_and_upsert_removes_them(db_path):
    applied(db_path, ("insert", "a", {"x": 1, "keep": "k"}), ("insert", "a", {"x": 2}))
    assert stored_documents(db_path) == {"a": b'{"x":2}'}
    assert index_pairs(db_path) == [("keep.k", "a"), ("x.1", "a"), ("x.2", "a")]
    db = applied(db_path, ("upsert", "a", {"x": 3}), ("upsert", "new", {"x": [1]}))
    # The upsert walks the stored {"x":2} only; the older entries stay.
    assert index_pairs(db_path) == [("keep.k", "a"), ("x.0.1", "new"), ("x.1", "a"), ("x.3", "a")]
    assert stored_documents(db_path) == {"a": b'{"x":3}', "new": b'{"x":[1]}'}
    assert db.filter_by_metadata("x", "1") == [("a", {"x": 3})]  # the stale entry still finds a


def test_operations_apply_in_queue_order_and_delete_removes_only_that_documents_entries(db_path):
    applied(db_path, ("insert", "b", {"x": 1, "only": "b"}), ("insert", "c", {"x": 1, "only": "c"}),
            ("insert_json", "t", '{"x":1,"x":1.0,"y":[true]}'), ("delete", "b"), ("delete", "t"),
            ("delete", "never-stored"), ("insert", "a", {"v": 1}), ("delete", "a"), ("insert", "a", {"v": 2}),
            ("upsert", "u", {"w": 1}), ("delete", "u"), ("delete", "u"), ("insert_json", "u", '{"w":3}'))
    assert stored_documents(db_path) == {"a": b'{"v":2}', "c": b'{"only":"c","x":1}', "u": b'{"w":3}'}
    assert index_pairs(db_path) == [("only.c", "c"), ("v.2", "a"), ("w.3", "u"), ("x.1", "c")]


def test_unparsable_documents_add_and_remove_no_entries(db_path):
    big = '{"n":-123456789012345678901234567890,"s":"x"}'
    applied(db_path, ("insert", "big", {"s": "x"}), ("insert_json", "big", big), ("insert_json", "b2", big))
    assert stored_documents(db_path) == {"big": big.encode(), "b2": big.encode()}
    assert index_pairs(db_path) == [("s.x", "big")]
    db = applied(db_path, ("delete", "big"))
    assert index_pairs(db_path) == [("s.x", "big")]
    assert db.filter_by_metadata("s", "x") == []  # the stale entry's id has no document


def test_entries_without_documents_are_skipped(db_path):
    db = open_with_rows(db_path, {"a": '{"v":9}', "c": '{"other":true}'},
                        [("v.9", "a"), ("v.9", "b"), ("v.9", "c"), ("v.9", "d"), ("v.9", ""), ("w.1", "gone")])
    # The query trusts the index: c is listed, so it is returned as it is now.
    assert db.filter_by_metadata("v", "9") == [("a", {"v": 9}), ("c", {"other": True})]
    assert db.filter_by_metadata("w", "1") == []
