"""Argument checks of every method: one table of wrong types (message and
the note naming the parameter) and of wrong counts and keywords. Checked
before anything is queued, also on a closed engine."""

import pytest

from conftest import stored_documents
from quillmere import DBEngine

NOT_STR = "'{}' object is not an instance of 'str'"

TYPE_ERRORS = [
    (lambda db: DBEngine(b"x"), NOT_STR.format("bytes"), "path"),
    (lambda db: DBEngine(7), NOT_STR.format("int"), "path"),
    (lambda db: db.insert(1, {}), NOT_STR.format("int"), "id"),
    (lambda db: db.insert("a", [1]), "'list' object is not an instance of 'dict'", "payload"),
    (lambda db: db.upsert("a", "{}"), "'str' object is not an instance of 'dict'", "payload"),
    (lambda db: db.upsert(None, {}), "'None' is not an instance of 'str'", "id"),
    (lambda db: db.delete(b"a"), NOT_STR.format("bytes"), "id"),
    (lambda db: db.insert_json("a", {}), NOT_STR.format("dict"), "json_payload"),
    (lambda db: db.insert_json(1.5, "{}"), NOT_STR.format("float"), "id"),
    (lambda db: db.insert_many("ab"), "Can't extract `str` to `Vec`", "records"),
    (lambda db: db.insert_many(iter([])), "'list_iterator' object is not an instance of 'Sequence'", "records"),
    (lambda db: db.insert_many([("a", {}), ["b", {}]]), "'list' object is not an instance of 'tuple'", "records"),
    (lambda db: db.insert_many([("a", {}), (2, {})]), NOT_STR.format("int"), "records"),
    (lambda db: db.insert_many([("b", [])]), "'list' object is not an instance of 'dict'", "records"),
    (lambda db: db.insert_many_json("ab"), "Can't extract `str` to `Vec`", "records"),
    (lambda db: db.insert_many_json([("a", "{}"), ("b", {})]), NOT_STR.format("dict"), "records"),
    (lambda db: db.get(1), NOT_STR.format("int"), "id"),
    (lambda db: db.get_many("ab"), "Can't extract `str` to `Vec`", "ids"),
    (lambda db: db.get_many(["a", b"b"]), NOT_STR.format("bytes"), "ids"),
    (lambda db: db.scan_prefix(["a"]), NOT_STR.format("list"), "prefix"),
    (lambda db: db.filter_by_metadata(1, "x"), NOT_STR.format("int"), "index_key"),
    (lambda db: db.filter_by_metadata("x", True), NOT_STR.format("bool"), "index_value"),
]


@pytest.mark.parametrize("call, message, note", TYPE_ERRORS, ids=range(len(TYPE_ERRORS)))
@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
def test_wrong_types(db_path, call, message, note, closed):
    db = DBEngine(db_path)
    if closed:
        db.close_engine()
    with pytest.raises(TypeError) as excinfo:
        call(db)
    assert (str(excinfo.value), excinfo.value.__notes__) == (message, [f"while processing '{note}'"])
    if not closed:
        db.close_engine()
    assert stored_documents(db_path) == {}


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda db: db.insert_many([("a", {}), ("b", {}, 1)]), "expected tuple of length 2, but got tuple of length 3"),
        (lambda db: db.insert_many_json([("b",)]), "expected tuple of length 2, but got tuple of length 1"),
    ],
)
def test_records_must_be_pairs(engine, db_path, call, message):
    with pytest.raises(ValueError) as excinfo:
        call(engine)
    assert (str(excinfo.value), excinfo.value.__notes__) == (message, ["while processing 'records'"])
    engine.close_engine()
    assert stored_documents(db_path) == {}


COUNT_ERRORS = [
    (lambda db: DBEngine(), "DBEngine.__new__() missing 1 required positional argument: 'path'"),
    (lambda db: DBEngine("a", path="a"), "DBEngine.__new__() got multiple values for argument 'path'"),
    (lambda db: db.insert("a"), "DBEngine.insert() missing 1 required positional argument: 'payload'"),
    (lambda db: db.insert("a", {}, {}), "DBEngine.insert() takes 2 positional arguments but 3 were given"),
    (lambda db: db.upsert(id="a", body={}), "DBEngine.upsert() got an unexpected keyword argument 'body'"),
    (lambda db: db.delete(), "DBEngine.delete() missing 1 required positional argument: 'id'"),
    (lambda db: db.get_many(), "DBEngine.get_many() missing 1 required positional argument: 'ids'"),
    (lambda db: db.filter_by_metadata("x", "y", index_key="x"),
     "DBEngine.filter_by_metadata() got multiple values for argument 'index_key'"),
    (lambda db: db.close_engine(1), "DBEngine.close_engine() takes 0 positional arguments but 1 was given"),
]


@pytest.mark.parametrize("call, message", COUNT_ERRORS, ids=range(len(COUNT_ERRORS)))
def test_wrong_counts_and_keywords(engine, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(engine)
    assert str(excinfo.value) == message


def test_every_parameter_by_keyword(tmp_path):
    path = str(tmp_path / "db")
    db = DBEngine(path=path)
    results = [db.insert(id="k1", payload={"v": 1}), db.upsert(payload={"v": 2}, id="k2"),
               db.insert_json(json_payload='{"v":3}', id="k3"), db.insert_many(records=(("k4", {"v": 4}),)),
               db.insert_many_json(records=[("k5", '{"v":5}')]), db.delete(id="k1")]
    assert results == [None] * 6
    db.close_engine()
    assert db.get(id="k2") == {"v": 2}
    assert db.get_many(ids=["k3"]) == [("k3", {"v": 3})]
    assert db.scan_prefix(prefix="k4") == [("k4", {"v": 4})]
    assert db.filter_by_metadata(index_value="5", index_key="v") == [("k5", {"v": 5})]
