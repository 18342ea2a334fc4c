"""A model of what DBEngine stores: the deterministic operation sequences the
stress scripts issue, the canonical bytes of a dict payload, and the metadata
index entries of a document, computed independently of the engine."""

import json
import random
import sqlite3

# Floats are drawn from a range in which Python's repr and the engine's
# canonical form both write plain decimals ("0.0001", "12.5", "3.0").
FLOAT_LOW, FLOAT_HIGH = 1e-4, 1e15


def canonical_bytes(document):
    """The stored form of a dict payload: compact, keys in byte order."""
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True,
                      allow_nan=False).encode()


def leaf_text(value):
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        text = repr(value)
        assert "e" not in text and "inf" not in text and "nan" not in text, text
        return text[:-2] if text.endswith(".0") else text
    return value


def index_entries(document, path=""):
    """The set of index entries of a document: path, ".", leaf text."""
    entries = set()
    if isinstance(document, dict):
        for key, value in document.items():
            entries |= index_entries(value, key if not path else path + "." + key)
    elif isinstance(document, list):
        for position, value in enumerate(document):
            entries |= index_entries(value, str(position) if not path else f"{path}.{position}")
    elif document is not None:
        entries.add(path + "." + leaf_text(document))
    return entries


class Store:
    """Documents and index pairs after applying single-document operations
    in order, with the engine's rules: an insert leaves the replaced
    document's entries (stale), upsert and delete remove them first."""

    def __init__(self):
        self.documents = {}  # id -> dict
        self.entries = {}    # id -> set of the index entries listing it

    def apply(self, op):
        kind, doc_id = op[0], op[1]
        if kind in ("upsert", "delete") and doc_id in self.documents:
            self.entries[doc_id] -= index_entries(self.documents.pop(doc_id))
        if kind in ("insert", "upsert"):
            self.documents[doc_id] = op[2]
            self.entries.setdefault(doc_id, set()).update(index_entries(op[2]))


KEYS = ["a", "b", "name", "tags", "n", "x.y", "", "é", "k\x00", "深", "z"]
STRINGS = ["", "red", "blue", "a.b", "with space", "nul\x00byte", "é中😀", "2", "true", "q\"uote\\"]


def random_value(rng, depth):
    roll = rng.random()
    if depth < 3 and roll < 0.15:
        return {rng.choice(KEYS): random_value(rng, depth + 1) for _ in range(rng.randrange(0, 4))}
    if depth < 3 and roll < 0.3:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(0, 4))]
    if roll < 0.5:
        return rng.choice(STRINGS)
    if roll < 0.65:
        return rng.choice([0, 1, -1, 2, 42, 2**63 - 1, -2**63, 2**64 - 1, rng.randrange(-10**6, 10**6)])
    if roll < 0.78:
        if rng.random() < 0.5:
            return float(rng.randrange(0, 1000)) + rng.choice([0.0, 0.5, 0.25])
        return round(rng.uniform(FLOAT_LOW, 1e6), rng.randrange(0, 6)) or 1.5
    if roll < 0.9:
        return rng.choice([True, False])
    return None


def random_document(rng):
    return {rng.choice(KEYS): random_value(rng, 1) for _ in range(rng.randrange(0, 6))}


def operation_groups(seed, ids=300):
    """An endless, seed-determined sequence of calls: ("insert", id, doc),
    ("upsert", id, doc), ("delete", id), ("insert_many", [(id, doc), ...]),
    and ("close",) where the writer should close and reopen its engine."""
    rng = random.Random(seed)
    id_pool = [f"id{i}" for i in range(ids)] + ["a.b", "x\x00y", "é", ""]
    until_close = rng.randrange(50, 3000)
    while True:
        until_close -= 1
        if until_close <= 0:
            until_close = rng.randrange(50, 3000)
            yield ("close",)
            continue
        roll = rng.random()
        if roll < 0.4:
            yield ("insert", rng.choice(id_pool), random_document(rng))
        elif roll < 0.65:
            yield ("upsert", rng.choice(id_pool), random_document(rng))
        elif roll < 0.82:
            yield ("delete", rng.choice(id_pool))
        else:
            count = rng.randrange(0, 40)
            yield ("insert_many", [(rng.choice(id_pool), random_document(rng)) for _ in range(count)])


def single_operations(group):
    """The single-document operations one call queues, in queue order."""
    if group[0] == "insert_many":
        return [("insert", doc_id, document) for doc_id, document in group[1]]
    if group[0] == "close":
        return []
    return [group]


def read_file(path):
    """(integrity check result, {id: body bytes}, set of (entry, id)) of a database file."""
    connection = sqlite3.connect(path)
    try:
        integrity = connection.execute("PRAGMA integrity_check").fetchall()
        documents = {doc_id: bytes(body) for doc_id, body in connection.execute("SELECT id, body FROM documents")}
        return integrity, documents, set(connection.execute("SELECT entry, id FROM metadata_index"))
    finally:
        connection.close()
