"""Shared by the stress scripts: an independent model of what DBEngine stores
(canonical bytes, index entries, a store applying operations in order), the
seed-determined operation sequences, and reading a database file back."""

import argparse
import json
import random
import shutil
import sqlite3
import sys
from contextlib import closing


def canonical_bytes(document):
    """The stored form of a dict payload: compact, keys in byte order."""
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True,
                      allow_nan=False).encode()


def index_entries(document, path=""):
    """The index entries of a document: path of keys and positions, ".", leaf text
    (floats are drawn so that repr writes them as plain decimals)."""
    if isinstance(document, (dict, list)):
        items = document.items() if isinstance(document, dict) else enumerate(document)
        return set().union(*(index_entries(v, f"{path}.{k}" if path else str(k)) for k, v in items))
    if document is None:
        return set()
    text = json.dumps(document) if isinstance(document, bool) else str(document)
    return {path + "." + (text.removesuffix(".0") if isinstance(document, float) else text)}


class Store:
    """The engine's rules: an insert leaves the replaced document's entries
    (stale); upsert and delete remove them first."""

    def __init__(self):
        self.documents, self.entries = {}, {}  # id -> dict, id -> entries listing it

    def apply(self, op):
        kind, doc_id = op[0], op[1]
        if kind != "insert" and doc_id in self.documents:
            self.entries[doc_id] -= index_entries(self.documents.pop(doc_id))
        if kind != "delete":
            self.documents[doc_id] = op[2]
            self.entries.setdefault(doc_id, set()).update(index_entries(op[2]))


KEYS = ["a", "b", "name", "tags", "n", "x.y", "", "é", "k\x00", "深", "z"]
STRINGS = ["", "red", "blue", "a.b", "with space", "nul\x00byte", "é中😀", "2", "true", "q\"uote\\"]
NUMBERS = [0, 1, -1, 2, 42, 2**63 - 1, -2**63, 2**64 - 1, 12.5, 3.0, 0.0001, 1e15, 123456.789]


def random_value(rng, depth=1):
    roll = rng.random()
    if depth < 3 and roll < 0.3:
        if roll < 0.15:
            return {rng.choice(KEYS): random_value(rng, depth + 1) for _ in range(rng.randrange(4))}
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if roll < 0.5:
        return rng.choice(STRINGS)
    if roll < 0.8:
        return rng.choice(NUMBERS + [rng.randrange(-10**6, 10**6), round(rng.uniform(1e-4, 1e6), rng.randrange(6))])
    return rng.choice([True, False, None])


def random_document(rng):
    return {rng.choice(KEYS): random_value(rng) for _ in range(rng.randrange(6))}


def operation_groups(seed, ids=300):
    """Endless seed-determined calls: ("insert"|"upsert", id, doc), ("delete", id),
    ("insert_many", [(id, doc), ...]) and ("close",) to close and reopen the engine."""
    rng = random.Random(seed)
    pool = [f"id{i}" for i in range(ids)] + ["a.b", "x\x00y", "é", ""]
    while True:
        for _ in range(rng.randrange(50, 3000)):
            roll = rng.random()
            if roll < 0.65:
                yield ("insert" if roll < 0.4 else "upsert", rng.choice(pool), random_document(rng))
            elif roll < 0.82:
                yield ("delete", rng.choice(pool))
            else:
                yield ("insert_many", [(rng.choice(pool), random_document(rng)) for _ in range(rng.randrange(40))])
        yield ("close",)


def single_operations(group):
    """The single-document operations one call queues, in order."""
    if group[0] == "insert_many":
        return [("insert", doc_id, document) for doc_id, document in group[1]]
    return [] if group[0] == "close" else [group]


def read_file(path):
    """(integrity check result, {id: body bytes}, set of (entry, id)) of a database file."""
    with closing(sqlite3.connect(path)) as connection:
        return (connection.execute("PRAGMA integrity_check").fetchall(),
                {doc_id: bytes(body) for doc_id, body in connection.execute("SELECT id, body FROM documents")},
                set(connection.execute("SELECT entry, id FROM metadata_index")))


def options(**defaults):
    """The command-line options, named and typed after their defaults."""
    parser = argparse.ArgumentParser()
    for name, default in defaults.items():
        parser.add_argument("--" + name.replace("_", "-"), type=type(default), default=default)
    return parser.parse_args()


def finish(name, failures, done, workdir=None):
    """Prints the failures and a summary, removes `workdir` when none, exits."""
    for failure in failures[:20]:
        print(failure)
    print(f"{name}: {len(failures)} failed ({done})")
    if workdir and not failures:
        shutil.rmtree(workdir)
    sys.exit(1 if failures else 0)

