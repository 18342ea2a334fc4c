"""diskcache's Cache: a dict on disk (SQLite underneath, values pickled).
Its keys have no order one can seek in and its values no fields one can
query: prefix scans and field filters walk every key."""

import diskcache

from bench.peers.base import Peer, by_id


class DiskcacheStore(Peer):
    name = "diskcache"
    threaded = True
    notes = (
        "diskcache: WAL with synchronous=NORMAL (its default); each single set is its own transaction; "
        "scan_prefix and filters walk every key",
    )

    def open(self, directory):
        self.cache = diskcache.Cache(str(directory / "diskcache"))

    def insert_many(self, records):
        with self.cache.transact():
            for doc_id, document in records:
                self.cache.set(doc_id, document)

    def insert(self, doc_id, document):
        self.cache.set(doc_id, document)

    def commit(self):
        pass  # every set and every transact block commits by itself

    def get(self, doc_id):
        return self.cache.get(doc_id)

    def get_many(self, ids):
        return [(doc_id, self.cache.get(doc_id)) for doc_id in ids]

    def scan_prefix(self, prefix):
        return [(key, self.cache[key]) for key in sorted(key for key in self.cache if key.startswith(prefix))]

    def find(self, query):
        rows = ((key, self.cache[key]) for key in self.cache)
        return sorted(((key, document) for key, document in rows if query.matches(document)), key=by_id)

    def close(self):
        self.cache.close()
