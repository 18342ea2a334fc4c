"""sqlitedict: a dict on disk (one SQLite table, values pickled), committed
by hand. Prefix scans and field filters walk every key."""

from sqlitedict import SqliteDict

from bench.peers.base import Peer, by_id


class SqlitedictStore(Peer):
    name = "sqlitedict"
    threaded = True
    notes = (
        "sqlitedict: runs SQLite with synchronous=OFF (its default); scan_prefix and filters walk every key",
    )

    def open(self, directory):
        self.db = SqliteDict(str(directory / "sqlitedict.sqlite"))

    def insert_many(self, records):
        self.db.update(records)

    def insert(self, doc_id, document):
        self.db[doc_id] = document

    def commit(self):
        self.db.commit()

    def get(self, doc_id):
        return self.db.get(doc_id)

    def get_many(self, ids):
        return [(doc_id, self.db.get(doc_id)) for doc_id in ids]

    def scan_prefix(self, prefix):
        return [
            (key, self.db[key]) for key in sorted(key for key in self.db.keys() if key.startswith(prefix))
        ]

    def find(self, query):
        return sorted(
            ((key, document) for key, document in self.db.items() if query.matches(document)), key=by_id
        )

    def close(self):
        self.db.close()
