"""quillmere's DBEngineWebServer: every write is framed into the WAL file by
one thread and applied by another; close_engine waits until both are done,
and reads keep working after it."""

from quillmere import DBEngineWebServer

from bench.peers.quillmere_engine import QuillmereEngine
from bench.stdout_lines import StdoutLines

WAL_SUBJECT = "quillmere-wal"


class WrongAnswer(Exception):
    pass


def open_web_server(path):
    """A DBEngineWebServer on `path`, its report of a replayed WAL file (if any)
    kept off the run's standard output."""
    with StdoutLines():
        return DBEngineWebServer(str(path))


class QuillmereWal(QuillmereEngine):
    name = WAL_SUBJECT
    threaded = True
    paged = True  # runs the paged filter, scan-all and backup workloads too (bench/web_server.py)
    notes = (
        "quillmere-wal: DBEngineWebServer, the same store behind a WAL file (written, not synced, "
        "before each batch is applied); made durable by close_engine like DBEngine",
    )

    def open(self, directory):
        self.path = directory / "quillmere-wal.db"
        self.db = open_web_server(self.path)

    def insert_many(self, records):
        failures = self.db.insert_many(records)
        if failures:
            raise WrongAnswer(f"{self.name}: insert_many refused {len(failures)} records: {failures[0]!r}")

    def find(self, query):
        return self.db.filter_by_metadata(query.index_key, query.index_value, None, None)

    def page(self, query, limit, offset):
        return self.db.filter_by_metadata(query.index_key, query.index_value, limit, offset)
