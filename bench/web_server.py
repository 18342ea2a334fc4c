"""The workloads of DBEngineWebServer alone: paged filters, a backup of the
loaded store and the replay of a WAL file at construction.

- Paged filter at 1%: for each 1% query, a page of 50 at offset 0 and a page
  of 50 at an offset 90% deep into the query's index ids (counted in the
  store's own metadata_index table), or at n - 50 when 90% would leave fewer
  than 50 ids, so both pages return 50 documents and differ only in the ids
  passed over. Every answer of the warm-up is checked against the expected
  page: the ids, their order and the documents.
- scan_prefix(""): every document of the loaded store in one call; the rate
  a backup is measured against.
- Backup: the loaded store reopened, then the time from trigger_backup to the
  line "Database backup is successful to {path}" on standard output. The copy
  is then opened with sqlite3 and its documents and index compared row by row
  with the source's (untimed).
- WAL replay: a WAL file of N Insert frames (the synthetic documents cycled,
  each frame with an id of its own), written and synced before the clock
  starts, then the time of the DBEngineWebServer construction that replays
  it in one transaction. Afterwards the store must hold N documents, the WAL
  file must be empty, and a sample of ids must read back their documents.
"""

import json
import os
import random
import sqlite3
import struct
import time

from quillmere import DBEngineWebServer

from bench.datasets import record_id
from bench.expected import Expected, WrongResult
from bench.measure import Measurement, timed
from bench.peers.quillmere_wal import WAL_SUBJECT
from bench.stdout_lines import StdoutLines

PAGE_SIZE = 50
DEEP_SHARE = 0.9
FIRST_PAGE = "filter 1%, page at offset 0"
DEEP_PAGE = "filter 1%, page 90% deep"
SCAN_ALL = 'scan_prefix(""), all'
BACKUP = "backup"
WAL_REPLAY = "WAL replay"
WEB_SERVER_WORKLOADS = (FIRST_PAGE, DEEP_PAGE, SCAN_ALL, BACKUP, WAL_REPLAY)

INSERT_OP = 1
RECOVERED = "WAL Recover: Successfully written all records to database!"
BACKUP_TIMEOUT = 1800.0
REPLAY_SAMPLE = 2000


def canonical(document):
    """The stored text of a document: sorted keys, compact, UTF-8."""
    return json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def index_ids(store_path, query):
    """The number of index ids of a query, counted in the store's own table."""
    connection = sqlite3.connect(f"file:{store_path}?mode=ro", uri=True)
    try:
        ((count,),) = connection.execute(
            "SELECT count(*) FROM metadata_index WHERE entry = ?",
            (f"{query.index_key}.{query.index_value}",),
        )
    finally:
        connection.close()
    return count


def page_workloads(peer, dataset, stored):
    """The two ReadWorkloads of the paged filter at 1%, each answer checked
    against the expected page."""
    from bench.workloads import ReadWorkload  # noqa: PLC0415 (bench.workloads imports this module)

    expected = Expected(peer.name, stored)
    queries = dataset.filters["1%"]
    matching = {query: expected.matching(query) for query in queries}
    deep = {}
    for query in queries:
        count = index_ids(peer.path, query)
        if count != len(matching[query]):
            raise WrongResult(f"{peer.name}: {count} index ids for {query!r}, {len(matching[query])} matches")
        deep[query] = max(0, min(int(count * DEEP_SHARE), count - PAGE_SIZE))

    def workload(name, offset_of):
        def check(rows, query):
            offset = offset_of(query)
            expected.check_rows(rows, matching[query][offset : offset + PAGE_SIZE], (query, offset))

        return ReadWorkload(
            name, "queries/s", lambda query: peer.page(query, PAGE_SIZE, offset_of(query)), queries, check
        )

    return [workload(FIRST_PAGE, lambda query: 0), workload(DEEP_PAGE, deep.__getitem__)]


def scan_all_workload(peer, stored):
    from bench.workloads import ReadWorkload  # noqa: PLC0415

    expected = Expected(peer.name, stored)
    return ReadWorkload(
        SCAN_ALL, "docs/s", peer.scan_prefix, [""], expected.check_scan, units_of=lambda _: len(stored)
    )


def rows_of(path, sql):
    connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return connection.execute(sql).fetchall()
    finally:
        connection.close()


def backup(peer, dataset_name, stored, directory):
    """Reopens the peer's loaded store and times a backup of it."""
    peer.close()
    target = directory / "backup.db"
    with StdoutLines() as output:
        db = DBEngineWebServer(str(peer.path))
        started = time.perf_counter()
        db.trigger_backup(str(target))
        finished = output.wait_for(f"Database backup is successful to {target}", BACKUP_TIMEOUT)
        db.close_engine()
        del db
    for sql in (
        "SELECT id, body FROM documents ORDER BY id",
        "SELECT entry, id FROM metadata_index ORDER BY entry, id",
    ):
        if rows_of(target, sql) != rows_of(peer.path, sql):
            raise WrongResult(f"{WAL_SUBJECT}: the backup differs from its source in {sql!r}")
    target.unlink()
    return Measurement(
        dataset_name, BACKUP, WAL_SUBJECT, "docs/s", len(stored), finished - started, len(stored)
    )


def write_wal(wal_path, records, frames):
    """Writes `frames` Insert frames of the records' documents, cycled, with
    distinct ascending ids; returns the ids and the record of each frame."""
    texts = [canonical(document) for _, document in records]
    ids = [record_id(position, frames, f"{position:08d}") for position in range(frames)]
    with open(wal_path, "wb", buffering=1 << 20) as wal:
        for position, doc_id in enumerate(ids):
            key = doc_id.encode()
            value = texts[position % len(texts)]
            wal.write(struct.pack("<BII", INSERT_OP, len(key), len(value)))
            wal.write(key)
            wal.write(value)
        wal.flush()
        os.fsync(wal.fileno())
    return ids


def wal_replay(dataset, frames, seed, directory):
    """Times the construction of a DBEngineWebServer that replays `frames` frames."""
    directory.mkdir(parents=True)
    path = directory / "replay.db"
    wal_path = f"{path}.wal"
    ids = write_wal(wal_path, dataset.records, frames)
    with StdoutLines() as output:
        db = None

        def construct():
            nonlocal db
            db = DBEngineWebServer(str(path))

        seconds = timed(construct)
    if RECOVERED not in output.texts():
        raise WrongResult(f"{WAL_SUBJECT}: no {RECOVERED!r} on standard output: {output.texts()!r}")
    if os.path.getsize(wal_path) != 0:
        raise WrongResult(f"{WAL_SUBJECT}: the WAL file is not empty after its replay")
    ((count,),) = rows_of(path, "SELECT count(*) FROM documents")
    if count != frames:
        raise WrongResult(f"{WAL_SUBJECT}: {count} documents after replaying {frames} frames")
    rng = random.Random(seed)
    for position in rng.sample(range(frames), min(REPLAY_SAMPLE, frames)):
        if db.get(ids[position]) != dataset.records[position % len(dataset.records)][1]:
            raise WrongResult(f"{WAL_SUBJECT}: wrong document for {ids[position]!r} after the replay")
    db.close_engine()
    del db
    for leftover in directory.iterdir():
        leftover.unlink()
    directory.rmdir()
    return Measurement(dataset.name, WAL_REPLAY, WAL_SUBJECT, "docs/s", frames, seconds, frames)
