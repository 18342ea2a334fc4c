"""MontyDB, a MongoDB-like store in pure Python, on its LMDB storage
("lightning"). Every lookup is a MongoDB query: by "_id", "$in", "$regex" or
a dotted field path."""

import re

from montydb import ASCENDING, MontyClient, set_storage

from bench.peers.base import Peer
from bench.peers.lmdb_json import MAP_SIZE


class MontydbCollection(Peer):
    name = "montydb"
    max_docs = 20_000
    max_single = 2_000
    notes = (
        "montydb: decodes every document for each query, lookups by _id included: it gets at most "
        "20k documents and 2k single inserts (insert_one commits each)",
    )

    def open(self, directory):
        repository = str(directory / "montydb")
        set_storage(repository, storage="lightning", map_size=MAP_SIZE)
        self.client = MontyClient(repository)
        self.docs = self.client.db.docs

    def insert_many(self, records):
        self.docs.insert_many([{"_id": doc_id, **document} for doc_id, document in records])

    def insert(self, doc_id, document):
        self.docs.insert_one({"_id": doc_id, **document})

    def commit(self):
        pass  # every insert call has committed

    def get(self, doc_id):
        return self.docs.find_one({"_id": doc_id})

    def get_many(self, ids):
        found = {document["_id"]: document for document in self.docs.find({"_id": {"$in": ids}})}
        return [(doc_id, found.get(doc_id)) for doc_id in ids]

    def scan_prefix(self, prefix):
        found = self.docs.find({"_id": {"$regex": "^" + re.escape(prefix)}}).sort("_id", ASCENDING)
        return [(document["_id"], document) for document in found]

    def find(self, query):
        found = self.docs.find({query.index_key: query.value}).sort("_id", ASCENDING)
        return [(document["_id"], document) for document in found]

    def close(self):
        self.client.close()
