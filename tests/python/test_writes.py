"""The write methods: argument checks, per-document messages, partial batches
and writes from several threads."""

import threading

import pytest

from conftest import index_pairs, stored_documents
from quillmere import DBEngine

CRASHED = "Background write worker has crashed!"


@pytest.mark.parametrize(
    "call, error, message, note",
    [
        (lambda db: db.insert("a", [1]), TypeError, "'list' object is not an instance of 'dict'", "payload"),
        (lambda db: db.upsert("a", "{}"), TypeError, "'str' object is not an instance of 'dict'", "payload"),
        (lambda db: db.insert(1, {}), TypeError, "'int' object is not an instance of 'str'", "id"),
        (lambda db: db.delete(b"a"), TypeError, "'bytes' object is not an instance of 'str'", "id"),
        (lambda db: db.insert_json("a", {}), TypeError, "'dict' object is not an instance of 'str'", "json_payload"),
        (lambda db: db.insert_many("ab"), TypeError, "Can't extract `str` to `Vec`", "records"),
        (lambda db: db.insert_many_json("ab"), TypeError, "Can't extract `str` to `Vec`", "records"),
        (lambda db: db.insert_many([("a", {}), ["b", {}]]), TypeError,
         "'list' object is not an instance of 'tuple'", "records"),
        (lambda db: db.insert_many([("a", {}), ("b", {}, 1)]), ValueError,
         "expected tuple of length 2, but got tuple of length 3", "records"),
        (lambda db: db.insert_many([("a", {}), ("b",)]), ValueError,
         "expected tuple of length 2, but got tuple of length 1", "records"),
        (lambda db: db.insert_many([("a", {}), (2, {})]), TypeError, "'int' object is not an instance of 'str'", "records"),
        (lambda db: db.insert_many([("a", {}), ("b", [])]), TypeError,
         "'list' object is not an instance of 'dict'", "records"),
        (lambda db: db.insert_many_json([("a", "{}"), ("b", {})]), TypeError,
         "'dict' object is not an instance of 'str'", "records"),
    ],
    ids=["insert-payload", "upsert-payload", "insert-id", "delete-id", "insert_json-payload", "insert_many-str",
         "insert_many_json-str", "record-list", "record-3", "record-1", "record-id", "record-payload", "json-record"],
)
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
def test_argument_types_checked_first_and_nothing_queued(db_path, call, error, message, note, closed):
    db = DBEngine(db_path)
    if closed:
        db.close_engine()
    with pytest.raises(error) as excinfo:
        call(db)
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{note}'"]
    if not closed:
        db.close_engine()
    assert stored_documents(db_path) == {}


def test_argument_count_and_keywords(engine, db_path):
    with pytest.raises(TypeError) as excinfo:
        engine.insert("a")
    assert str(excinfo.value) == "DBEngine.insert() missing 1 required positional argument: 'payload'"
    for call in [lambda: engine.insert("a", {}, {}), lambda: engine.delete(), lambda: engine.delete("a", "b"),
                 lambda: engine.insert_json("a", "{}", extra=1), lambda: engine.insert_many(),
                 lambda: engine.upsert(id="a", body={}), lambda: engine.insert("a", {}, id="b")]:
        with pytest.raises(TypeError):
            call()
    results = [
        engine.insert(id="k1", payload={"v": 1}),
        engine.upsert(payload={"v": 2}, id="k2"),
        engine.insert_json(json_payload='{"v":3}', id="k3"),
        engine.insert_many(records=(("k4", {"v": 4}),)),
        engine.insert_many_json(records=[("k5", '{"v":5}')]),
        engine.delete(id="k1"),
    ]
    assert results == [None] * 6
    engine.close_engine()
    assert stored_documents(db_path) == {"k2": b'{"v":2}', "k3": b'{"v":3}', "k4": b'{"v":4}', "k5": b'{"v":5}'}


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.insert("u1", {"x": b"1"}),
        lambda db: db.upsert("u1", {"x": object()}),
        lambda db: db.insert_json("k", "x"),
        lambda db: db.insert_many([("a", {"x": b""})]),
        lambda db: db.insert_many_json([("a", "")]),
    ],
    ids=["insert", "upsert", "insert_json", "insert_many", "insert_many_json"],
)
def test_closed_engine_refuses_before_converting(db_path, call):
    db = DBEngine(db_path)
    db.close_engine()
    with pytest.raises(RuntimeError) as excinfo:
        call(db)
    assert str(excinfo.value) == CRASHED


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda db: db.insert("u1", {"x": b"1"}),
         "Error converting dict to Rust bytes for u1.invalid type: byte array, expected any valid JSON value"),
        (lambda db: db.upsert("u1", {"x": b"1"}),
         "Error converting dict to Rust bytes for u1.invalid type: byte array, expected any valid JSON value"),
        (lambda db: db.insert_json("k", "x"), "Validation error at k.expected value at line 1 column 1"),
        (lambda db: db.insert_json("a.b", ""), "Validation error at a.b.EOF while parsing a value at line 1 column 0"),
        (lambda db: db.upsert("x.y.", {"v": {1: 1}}),
         "Error converting dict to Rust bytes for x.y..unexpected type: 'int' object is not an instance of 'str'"),
        (lambda db: db.insert_many([("b.", {"v": object()})]), "Failed to serialize dict for b..unsupported type object"),
        (lambda db: db.insert_many_json([(".", "[")]), "Invalid json in payload for id ..EOF while parsing a list at line 1 column 1"),
        (lambda db: db.insert("", {"v": 2**64}), "Error converting dict to Rust bytes for .JSON number out of range"),
    ],
    ids=["insert", "upsert", "insert_json", "dotted-id", "dotted-upsert", "many-dotted", "many-json-dot", "empty-id"],
)
def test_conversion_and_validation_messages(db_path, call, message):
    db = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        call(db)
    assert str(excinfo.value) == message
    db.insert("after", {})
    db.close_engine()
    assert stored_documents(db_path) == {"after": b"{}"}


def test_insert_many_stops_at_the_first_bad_record(db_path):
    db = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        db.insert_many([("a", {}), ("b", {"v": object()}), ("c", {})])
    assert str(excinfo.value) == "Failed to serialize dict for b.unsupported type object"
    with pytest.raises(RuntimeError) as excinfo:
        db.insert_many([("d", {"n": 1}), ("e", {"n": 2}), ("f", {"n": 2**64}), ("g", {})])
    assert str(excinfo.value) == "Failed to serialize dict for f.JSON number out of range"
    db.close_engine()
    assert stored_documents(db_path) == {"a": b"{}", "d": b'{"n":1}', "e": b'{"n":2}'}
    assert index_pairs(db_path) == [("n.1", "d"), ("n.2", "e")]


def test_insert_many_json_stops_at_the_first_bad_record(db_path):
    db = DBEngine(db_path)
    with pytest.raises(RuntimeError) as excinfo:
        db.insert_many_json([("a", "{}"), ("b", "x"), ("c", "{}")])
    assert str(excinfo.value) == "Invalid json in payload for id b.expected value at line 1 column 1"
    with pytest.raises(RuntimeError) as excinfo:
        db.insert_many_json([("d", ' [1, 2] '), ("e", '{"a":1,}'), ("f", "3")])
    assert str(excinfo.value) == "Invalid json in payload for id e.key must be a string at line 1 column 8"
    db.close_engine()
    assert stored_documents(db_path) == {"a": b"{}", "d": b" [1, 2] "}


def test_empty_batches_queue_nothing(engine, db_path):
    assert engine.insert_many([]) is None
    assert engine.insert_many_json(()) is None
    engine.close_engine()
    assert stored_documents(db_path) == {}


def test_batch_records_keep_their_order(engine, db_path):
    engine.insert_many([("a", {"v": 1}), ("b", {}), ("a", {"v": 2})])
    engine.insert_many_json([("b", '{"w":1}'), ("b", '{"w":2}')])
    engine.close_engine()
    assert stored_documents(db_path) == {"a": b'{"v":2}', "b": b'{"w":2}'}
    assert index_pairs(db_path) == [("v.1", "a"), ("v.2", "a"), ("w.1", "b"), ("w.2", "b")]


def test_delete_of_an_absent_id(engine, db_path):
    engine.insert("kept", {"x": 1})
    assert engine.delete("absent") is None
    assert engine.delete("kept.x") is None
    engine.close_engine()
    assert stored_documents(db_path) == {"kept": b'{"x":1}'}
    assert index_pairs(db_path) == [("x.1", "kept")]


def test_large_batch_beyond_queue_capacity(engine, db_path):
    records = [(f"id{i:05}", {"i": i}) for i in range(25000)]
    engine.insert_many(records)
    engine.close_engine()
    documents = stored_documents(db_path)
    assert len(documents) == 25000
    assert documents["id24999"] == b'{"i":24999}'
    assert len(index_pairs(db_path)) == 25000


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
        assert documents[f"t{t}-6"] == f'{{"i":6,"t":{t}}}'.encode()
        assert documents[f"t{t}-7"] == f'{{"t":{t},"i":7}}'.encode()
        assert documents[f"t{t}-8"] == f'{{"i":8,"t":{t}}}'.encode()
    last_entries = [entry for entry, doc_id in index_pairs(db_path) if doc_id.startswith("last-")]
    assert last_entries == [f"i.{per_thread - 1}"] * threads_count
