"""sqlite3 + json that also keeps quillmere's index, maintained in Python:
one row (entry, id) per non-null scalar of every document, in a table of its
own, written in the same transaction as the documents and queried with SQL."""

import json

from bench.index_entries import index_entries
from bench.peers.sqlite_json import SqliteJson


class SqliteIndexed(SqliteJson):
    name = "sqlite3+json+index"

    def open(self, directory):
        super().open(directory)
        self.db.execute(
            "CREATE TABLE idx (entry TEXT NOT NULL, id TEXT NOT NULL, PRIMARY KEY (entry, id)) WITHOUT ROWID"
        )

    def insert_many(self, records):
        super().insert_many(records)
        self.db.executemany(
            "INSERT INTO idx VALUES (?, ?)",
            ((entry, doc_id) for doc_id, document in records for entry in index_entries(document)),
        )

    def insert(self, doc_id, document):
        super().insert(doc_id, document)
        self.db.executemany(
            "INSERT INTO idx VALUES (?, ?)", ((entry, doc_id) for entry in index_entries(document))
        )

    def find(self, query):
        rows = self.db.execute(
            "SELECT docs.id, docs.body FROM idx JOIN docs ON docs.id = idx.id"
            " WHERE idx.entry = ? ORDER BY idx.id",
            (f"{query.index_key}.{query.index_value}",),
        )
        return [(doc_id, json.loads(body)) for doc_id, body in rows]
