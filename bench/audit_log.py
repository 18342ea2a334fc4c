"""The audit log of DBEngineWebServer against one writer.

One thread makes `batches` insert_many calls of 10,000 records, then
`singles` single inserts, into a DBEngineWebServer with enable_logging=True,
and closes it. Each call offers one record to the log thread, which reads the
clock once per record and writes a line per id. A record that finds the log
channel full (10,000 records waiting) is dropped, so a log thread that falls
behind its writer loses lines. The documents are the smallest ({"n": i}):
the faster the writer, the harder the log thread's task.

- audit log: writer: ids per second of the writer's calls.
- audit log: log thread: lines per second over the time between the first
  and the last line's own time stamps (when the log thread handled them).

Both run on the machine as it is, and again beside BUSY_PROCESSES CPU-bound
processes, started before the engine and ended after close_engine. Every run
checks that the log holds one line per id, in the order written; a missing
line stops the workload with a wrong result.
"""

import json
import subprocess
import sys
import time
from datetime import datetime

from quillmere import DBEngineWebServer

from bench.expected import WrongResult
from bench.measure import Measurement
from bench.peers.quillmere_wal import WAL_SUBJECT

BATCH = 10_000  # records per insert_many call: what the log channel holds
BUSY_PROCESSES = 4
WRITER = "audit log: writer"
LOG_THREAD = "audit log: log thread"
BUSY = f", beside {BUSY_PROCESSES} busy processes"
AUDIT_LOG_WORKLOADS = (WRITER, LOG_THREAD, WRITER + BUSY, LOG_THREAD + BUSY)
DATASET = "smallest documents"


def write(path, batches, singles):
    """The writer's calls; returns the ids in order and the seconds they took."""
    ids = [f"{batch}:{n:05d}" for batch in range(batches) for n in range(BATCH)]
    ids += [f"single:{n:06d}" for n in range(singles)]
    db = DBEngineWebServer(str(path), enable_logging=True)
    started = time.perf_counter()
    for first in range(0, batches * BATCH, BATCH):
        chunk = ids[first : first + BATCH]
        failures = db.insert_many([(doc_id, {"n": n}) for n, doc_id in enumerate(chunk)])
        if failures:
            raise WrongResult(f"{WAL_SUBJECT}: insert_many refused {len(failures)} records: {failures[0]!r}")
    for n, doc_id in enumerate(ids[batches * BATCH :]):
        db.insert(doc_id, {"n": n})
    seconds = time.perf_counter() - started
    db.close_engine()
    return ids, seconds


def logged(log_path, ids):
    """The seconds between the first and the last line's time stamps, once
    every id is seen logged in order."""
    with open(log_path, encoding="utf-8") as log:
        lines = [json.loads(line) for line in log]
    if [line["id"] for line in lines] != ids:
        raise WrongResult(
            f"{WAL_SUBJECT}: the audit log holds {len(lines):,} of {len(ids):,} lines, or not in order"
        )
    first, last = (datetime.fromisoformat(lines[index]["timestamp"]) for index in (0, -1))
    return (last - first).total_seconds()


def audit_log(directory, batches, singles):
    """The writer's and the log thread's rates, alone and beside busy processes."""
    directory.mkdir(parents=True)
    results = []
    for suffix, busy in (("", 0), (BUSY, BUSY_PROCESSES)):
        burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(busy)]
        try:
            path = directory / f"audit{busy}.db"
            ids, seconds = write(path, batches, singles)
        finally:
            for burner in burners:
                burner.kill()
                burner.wait()
        span = logged(f"{path}.jsonl", ids)
        results += [
            Measurement(DATASET, workload + suffix, WAL_SUBJECT, "records/s", len(ids), elapsed, len(ids))
            for workload, elapsed in ((WRITER, seconds), (LOG_THREAD, span))
        ]
    for leftover in directory.iterdir():
        leftover.unlink()
    directory.rmdir()
    return results
