"""Writes at the store's real length limit (not in `make test`: gigabyte
documents). For each class: a write one byte too large is refused by every
write method and the stored document stays; a write of the largest size
accepted is stored, indexed and read back."""

import gc
import json
import os
import tempfile

from model import finish
from quillmere import DBEngine, DBEngineWebServer

MOST = 1_000_000_000 - 1024  # id and document together, with Debian's libsqlite3
ID = "k"
FILLER = len('{"v":""}')


def padded(size):
    """The stored text of a document of `size` bytes."""
    return '{"v":"' + "x" * (size - FILLER) + '"}'


WRITES = {
    "insert": lambda db, text: db.insert(ID, json.loads(text)),
    "upsert": lambda db, text: db.upsert(ID, json.loads(text)),
    "insert_json": lambda db, text: db.insert_json(ID, text),
    "insert_many": lambda db, text: db.insert_many([(ID, json.loads(text))]),
    "insert_many_json": lambda db, text: db.insert_many_json([(ID, text)]),
}


def reopened(cls, path):
    gc.collect()
    return cls(path)


def limit_problems(cls, folder):
    path = os.path.join(folder, cls.__name__)
    problems = []
    db = cls(path)
    db.insert(ID, {"v": "old"})
    over = padded(MOST - len(ID) + 1)
    for method, write in WRITES.items():
        try:
            failures = write(db, over)
            message = failures[0][2] if failures else "accepted"
        except RuntimeError as error:
            message = str(error)
        if "is too large for the store" not in message:
            problems.append(f"{cls.__name__}.{method}: not refused ({message[:80]})")
    del over
    db.insert("after", {"v": 1})
    db.close_engine()
    del db
    db = reopened(cls, path)
    if db.get(ID) != {"v": "old"} or db.get("after") != {"v": 1}:
        problems.append(f"{cls.__name__}: the stored documents changed after the refusals")
    largest = padded(MOST - len(ID))
    db.insert_json(ID, largest)
    db.close_engine()
    del db
    db = reopened(cls, path)
    stored = db.get(ID)
    if stored is None or len(stored["v"]) != len(largest) - FILLER:
        problems.append(f"{cls.__name__}: the largest document accepted was not stored")
    del stored
    paging = () if cls is DBEngine else (None, None)
    if [i for i, _ in db.filter_by_metadata("v", "x" * (len(largest) - FILLER), *paging)] != [ID]:
        problems.append(f"{cls.__name__}: the largest document accepted was not indexed")
    db.close_engine()
    return problems


with tempfile.TemporaryDirectory() as folder:
    found = [problem for cls in (DBEngine, DBEngineWebServer) for problem in limit_problems(cls, folder)]
finish("store limit test", found, "both classes")
