"""py-lmdb with JSON texts: a memory-mapped B+tree, ids ordered by bytes.
It has no query language: a field filter decodes every document."""

import json

import lmdb

from bench.peers.base import Peer

MAP_SIZE = 1 << 34  # address space only; the file grows with the data


class LmdbJson(Peer):
    name = "lmdb+json"
    threaded = True
    notes = (
        "lmdb+json: one write transaction for the inserts, synced at commit; one read transaction per call",
    )

    def open(self, directory):
        self.env = lmdb.open(str(directory / "lmdb"), map_size=MAP_SIZE)
        self.writer = self.env.begin(write=True)

    def insert_many(self, records):
        self.writer.cursor().putmulti(
            (doc_id.encode(), json.dumps(document).encode()) for doc_id, document in records
        )

    def insert(self, doc_id, document):
        self.writer.put(doc_id.encode(), json.dumps(document).encode())

    def commit(self):
        self.writer.commit()

    def get(self, doc_id):
        with self.env.begin() as txn:
            body = txn.get(doc_id.encode())
        return json.loads(body) if body is not None else None

    def get_many(self, ids):
        with self.env.begin() as txn:
            bodies = [txn.get(doc_id.encode()) for doc_id in ids]
        return [
            (doc_id, json.loads(body) if body is not None else None)
            for doc_id, body in zip(ids, bodies, strict=True)
        ]

    def scan_prefix(self, prefix):
        start = prefix.encode()
        rows = []
        with self.env.begin() as txn:
            cursor = txn.cursor()
            if cursor.set_range(start):
                for key, body in cursor:
                    if not key.startswith(start):
                        break
                    rows.append((key.decode(), json.loads(body)))
        return rows

    def find(self, query):
        rows = []
        with self.env.begin() as txn:
            for key, body in txn.cursor():
                document = json.loads(body)
                if query.matches(document):
                    rows.append((key.decode(), document))
        return rows

    def close(self):
        self.env.close()
