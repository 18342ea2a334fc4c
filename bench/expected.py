"""What a correct answer holds, worked out from the records a store was given.
The warm-up of every read workload checks each peer's answers with it, so
that every peer is seen to do the same work."""

PEER_ONLY_KEYS = ("_id", "__id")  # fields that document stores add to a document


class WrongResult(Exception):
    pass


class Expected:
    def __init__(self, peer_name, stored):
        self.peer_name = peer_name
        self.documents = dict(stored)
        self.ids = sorted(self.documents)

    def prefixed(self, prefix):
        return [doc_id for doc_id in self.ids if doc_id.startswith(prefix)]

    def matching(self, query):
        return [doc_id for doc_id in self.ids if query.matches(self.documents[doc_id])]

    def check_document(self, found, doc_id):
        own = (
            None
            if found is None
            else {key: value for key, value in found.items() if key not in PEER_ONLY_KEYS}
        )
        if own != self.documents[doc_id]:
            raise WrongResult(f"{self.peer_name}: wrong document for {doc_id!r}")

    def check_rows(self, rows, ids, asked):
        if [doc_id for doc_id, _ in rows] != ids:
            raise WrongResult(f"{self.peer_name}: wrong ids for {asked!r}")
        for doc_id, found in rows:
            self.check_document(found, doc_id)

    def check_get_many(self, rows, ids):
        self.check_rows(rows, ids, "get_many")

    def check_scan(self, rows, prefix):
        self.check_rows(rows, self.prefixed(prefix), prefix)

    def check_find(self, rows, query):
        self.check_rows(rows, self.matching(query), query)
