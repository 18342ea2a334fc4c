"""The contract every store in the benchmark fulfils.

A peer wraps one store and does each job the way that store's users would:
its own bulk call, its own query language where it has one, a scan of
everything where it has none. A peer object serves one store directory from
`open` to `close`.
"""

from abc import ABC, abstractmethod
from operator import itemgetter

by_id = itemgetter(0)  # sort key of (id, document) rows


class Peer(ABC):
    name = ""  # the column of the results table
    max_docs = None  # largest store it is given (None: the whole data set)
    max_single = None  # most single insert calls it is given (None: all asked for)
    threaded = False  # whether `reader()` may be used from several threads at once
    notes = ()  # how it does what it has no natural call for, and other caveats

    @abstractmethod
    def open(self, directory):
        """Creates an empty store inside `directory`, a pathlib.Path."""

    @abstractmethod
    def insert_many(self, records):
        """Writes a list of (id, document) with the store's bulk call."""

    @abstractmethod
    def insert(self, doc_id, document):
        """Writes one document with one call."""

    @abstractmethod
    def commit(self):
        """Makes everything written so far durable (commit or sync)."""

    @abstractmethod
    def get(self, doc_id):
        """The document stored under `doc_id`, or None."""

    @abstractmethod
    def get_many(self, ids):
        """[(id, document or None)] in the order of `ids`."""

    @abstractmethod
    def scan_prefix(self, prefix):
        """[(id, document)] of every id that starts with `prefix`, by id."""

    @abstractmethod
    def find(self, query):
        """[(id, document)] of every document that `query` (datasets.Query) matches, by id."""

    def reader(self):
        """A get function for one reader thread."""
        return self.get

    def many_reader(self):
        """A get_many function for one reader thread."""
        return self.get_many

    @abstractmethod
    def close(self):
        """Releases the store."""
