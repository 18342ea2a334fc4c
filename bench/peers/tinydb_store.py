"""TinyDB with its default JSON file storage: every write rewrites the whole
file (and syncs it), every query reads and decodes the whole file. Ids are
kept in an "_id" field and found with TinyDB's own queries."""

from tinydb import Query, TinyDB, where

from bench.peers.base import Peer, by_id


class TinydbStore(Peer):
    name = "tinydb"
    max_docs = 10_000
    max_single = 1_000
    notes = (
        "tinydb: too slow for the full sizes (each insert rewrites its file, each query reads it): "
        "it gets at most 10k documents and 1k single inserts; its query cache is off so that repeated "
        "queries are measured",
    )

    def open(self, directory):
        self.db = TinyDB(directory / "tinydb.json")
        self.table = self.db.table("docs", cache_size=0)

    def insert_many(self, records):
        self.table.insert_multiple({"_id": doc_id, **document} for doc_id, document in records)

    def insert(self, doc_id, document):
        self.table.insert({"_id": doc_id, **document})

    def commit(self):
        pass  # every insert call has written and synced the file

    def get(self, doc_id):
        return self.table.get(where("_id") == doc_id)

    def get_many(self, ids):
        found = {document["_id"]: document for document in self.table.search(where("_id").one_of(ids))}
        return [(doc_id, found.get(doc_id)) for doc_id in ids]

    def scan_prefix(self, prefix):
        found = self.table.search(where("_id").test(str.startswith, prefix))
        return sorted(((document["_id"], document) for document in found), key=by_id)

    def find(self, query):
        field = Query()
        for step in query.path:
            field = field[step]
        found = self.table.search(field == query.value)
        return sorted(((document["_id"], document) for document in found), key=by_id)

    def close(self):
        self.db.close()
