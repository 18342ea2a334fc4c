"""quillmere's DBEngine: writes are queued and applied by its background
writer; close_engine waits until they are committed, and reads keep working
after it."""

from quillmere import DBEngine

from bench.peers.base import Peer


class QuillmereEngine(Peer):
    name = "quillmere"
    threaded = True

    def open(self, directory):
        self.db = DBEngine(str(directory / "quillmere.db"))

    def insert_many(self, records):
        self.db.insert_many(records)

    def insert(self, doc_id, document):
        self.db.insert(doc_id, document)

    def commit(self):
        self.db.close_engine()

    def get(self, doc_id):
        return self.db.get(doc_id)

    def get_many(self, ids):
        return self.db.get_many(ids)

    def scan_prefix(self, prefix):
        return self.db.scan_prefix(prefix)

    def find(self, query):
        return self.db.filter_by_metadata(query.index_key, query.index_value)

    def close(self):
        del self.db  # the file is released with the engine object
