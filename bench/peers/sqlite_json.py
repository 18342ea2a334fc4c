"""Python's sqlite3 with a table of JSON texts: the store most programs start
with. Field filters use SQLite's json_extract, a scan of the whole table."""

import json
import sqlite3

from bench.peers.base import Peer


def prefix_end(prefix):
    """The first text after every text that starts with `prefix` (which is not empty)."""
    return prefix[:-1] + chr(ord(prefix[-1]) + 1)


def json_path(path):
    return "$" + "".join(f"[{step}]" if isinstance(step, int) else f".{step}" for step in path)


class SqliteJson(Peer):
    name = "sqlite3+json"
    threaded = True
    notes = (
        "sqlite3 peers: default rollback journal and synchronous=FULL; single inserts share one transaction",
    )

    def open(self, directory):
        self.path = directory / "sqlite.db"
        self.db = sqlite3.connect(self.path)
        self.db.execute("CREATE TABLE docs (id TEXT PRIMARY KEY, body TEXT NOT NULL)")

    def insert_many(self, records):
        self.db.executemany(
            "INSERT INTO docs VALUES (?, ?)", ((doc_id, json.dumps(document)) for doc_id, document in records)
        )

    def insert(self, doc_id, document):
        self.db.execute("INSERT INTO docs VALUES (?, ?)", (doc_id, json.dumps(document)))

    def commit(self):
        self.db.commit()

    def get(self, doc_id):
        return get_from(self.db, doc_id)

    def get_many(self, ids):
        return get_many_from(self.db, ids)

    def scan_prefix(self, prefix):
        rows = self.db.execute(
            "SELECT id, body FROM docs WHERE id >= ? AND id < ? ORDER BY id", (prefix, prefix_end(prefix))
        )
        return [(doc_id, json.loads(body)) for doc_id, body in rows]

    def find(self, query):
        rows = self.db.execute(
            "SELECT id, body FROM docs WHERE json_extract(body, ?) = ? ORDER BY id",
            (json_path(query.path), query.value),
        )
        return [(doc_id, json.loads(body)) for doc_id, body in rows]

    def reader(self):
        connection = sqlite3.connect(self.path, check_same_thread=False)  # used by one thread only
        return lambda doc_id: get_from(connection, doc_id)

    def many_reader(self):
        connection = sqlite3.connect(self.path, check_same_thread=False)  # used by one thread only
        return lambda ids: get_many_from(connection, ids)

    def close(self):
        self.db.close()


def get_from(connection, doc_id):
    row = connection.execute("SELECT body FROM docs WHERE id = ?", (doc_id,)).fetchone()
    return json.loads(row[0]) if row else None


def get_many_from(connection, ids):
    placeholders = ",".join("?" * len(ids))
    bodies = dict(connection.execute(f"SELECT id, body FROM docs WHERE id IN ({placeholders})", ids))
    return [(doc_id, json.loads(bodies[doc_id]) if doc_id in bodies else None) for doc_id in ids]
