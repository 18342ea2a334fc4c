"""UnQLite's JSON document collections. A collection numbers its records
itself, so the peer keeps a dict from id to record number, as a program
would; prefix scans and field filters run as Jx9 scripts (UnQLite's query
language) that walk the collection."""

from unqlite import UnQLite

from bench.peers.base import Peer, by_id

SCAN = """
$match = function($record) { return substr($record._id, 0, strlen($want)) == $want; };
$found = db_fetch_all('docs', $match);
"""
FILTER = """
$match = function($record) {{ return {field} == $want; }};
$found = db_fetch_all('docs', $match);
"""


def jx9_field(path):
    return "$record" + "".join(f"[{step}]" if isinstance(step, int) else f".{step}" for step in path)


class UnqliteCollection(Peer):
    name = "unqlite"
    notes = (
        "unqlite: ids map to record numbers through a Python dict; scan_prefix and filters are Jx9 scripts "
        "that walk the collection",
    )

    def open(self, directory):
        self.db = UnQLite(str(directory / "unqlite.db"))
        self.docs = self.db.collection("docs")
        self.docs.create()
        self.numbers = {}

    def insert_many(self, records):
        last = self.docs.store([{"_id": doc_id, **document} for doc_id, document in records])
        first = last - len(records) + 1
        self.numbers.update((doc_id, first + offset) for offset, (doc_id, _) in enumerate(records))

    def insert(self, doc_id, document):
        self.numbers[doc_id] = self.docs.store({"_id": doc_id, **document})

    def commit(self):
        self.db.commit()

    def get(self, doc_id):
        number = self.numbers.get(doc_id)
        return None if number is None else self.docs.fetch(number)

    def get_many(self, ids):
        return [(doc_id, self.get(doc_id)) for doc_id in ids]

    def scan_prefix(self, prefix):
        return self.run(SCAN, prefix)

    def find(self, query):
        return self.run(FILTER.format(field=jx9_field(query.path)), query.value)

    def run(self, script, want):
        with self.db.vm(script) as vm:
            vm["want"] = want
            vm.execute()
            found = vm["found"]
        return sorted(((document["_id"], document) for document in found), key=by_id)

    def close(self):
        self.db.close()
