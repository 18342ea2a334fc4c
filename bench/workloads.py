"""The store workloads: inserts, reads and reads from several threads, run
the same way on every peer.

Inserts start from an empty store and are timed until the peer's commit
returns, so the documents are durable (for quillmere: insert_many or insert
calls, then close_engine). Reads run on the store the bulk insert built.
Before a read workload is timed, a short untimed warm-up makes the same calls
and checks every answer against the data set. A read workload is timed in a
few passes and the fastest counts, which keeps out most of the noise of other
work on the machine.
"""

import random
import shutil
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

from bench.expected import Expected
from bench.measure import Measurement, run_bounded, timed
from bench.web_server import backup, page_workloads, scan_all_workload

BULK = "bulk insert"
SINGLE = "single inserts"
GET = "random get"
GET_MANY = "get_many, 100 ids"
SCAN = "scan_prefix, 10%"
FILTERS = {"1%": "filter 1%", "0.01%": "filter 0.01%"}
THREAD_COUNTS = (1, 2, 4)
STORE_WORKLOADS = (BULK, SINGLE, GET, GET_MANY, SCAN, *FILTERS.values())


def threads_workload(count, call="get"):
    return f"{call}, {count} thread{'s' if count > 1 else ''}"


MANY = "get_many 100"
THREAD_WORKLOADS = tuple(threads_workload(count, call) for call in ("get", MANY) for count in THREAD_COUNTS)


@dataclass
class ReadWorkload:
    name: str
    unit: str
    op: Callable  # one call of the store
    items: list  # the argument of each call
    check: Callable  # check(answer, item) raises WrongResult
    units_of: Callable = None  # units of work done by the call on an item; None: one

    def units(self, done):
        items = self.items[:done]
        return len(items) if self.units_of is None else sum(map(self.units_of, items))


def store_workloads(peer_class, dataset, sizes, directory):
    """Every store workload of one peer on one data set."""
    stored = dataset.records[: peer_class.max_docs]
    singles = dataset.records[: min(sizes.single_inserts, peer_class.max_single or sizes.single_inserts)]
    results = [single_inserts(peer_class, dataset.name, singles, directory / "single")]
    peer = peer_class()
    (directory / "bulk").mkdir(parents=True)
    peer.open(directory / "bulk")
    try:
        results.append(bulk_insert(peer, dataset.name, stored))
        results += reads(peer, dataset, stored, sizes)
        if peer.threaded:
            rng = random.Random(sizes.seed)
            stored_ids = [doc_id for doc_id, _ in stored]
            ids = rng.choices(stored_ids, k=sizes.thread_gets)
            results += threaded_gets(peer, dataset.name, ids, len(stored), sizes)
            many = min(sizes.get_many_ids, len(stored_ids))
            batches = [rng.sample(stored_ids, many) for _ in range(sizes.thread_gets // many)]
            results += threaded_gets(peer, dataset.name, batches, len(stored), sizes, MANY, many)
        if getattr(peer, "paged", False):
            workloads = [*page_workloads(peer, dataset, stored), scan_all_workload(peer, stored)]
            results += timed_reads(workloads, dataset.name, len(stored), sizes, peer.name)
            results.append(backup(peer, dataset.name, stored, directory))
    finally:
        peer.close()
        shutil.rmtree(directory)
    return results


def single_inserts(peer_class, dataset_name, records, directory):
    peer = peer_class()
    directory.mkdir(parents=True)
    peer.open(directory)

    def write():
        for doc_id, document in records:
            peer.insert(doc_id, document)
        peer.commit()

    try:
        seconds = timed(write)
    finally:
        peer.close()
    return Measurement(dataset_name, SINGLE, peer.name, "docs/s", len(records), seconds, len(records))


def bulk_insert(peer, dataset_name, records):
    def write():
        peer.insert_many(records)
        peer.commit()

    return Measurement(dataset_name, BULK, peer.name, "docs/s", len(records), timed(write), len(records))


def reads(peer, dataset, stored, sizes):
    rng = random.Random(sizes.seed)
    expected = Expected(peer.name, stored)
    ids = expected.ids
    many = min(sizes.get_many_ids, len(ids))
    workloads = [
        ReadWorkload(GET, "docs/s", peer.get, rng.choices(ids, k=sizes.gets), expected.check_document),
        ReadWorkload(
            GET_MANY,
            "docs/s",
            peer.get_many,
            [rng.sample(ids, many) for _ in range(sizes.get_many_calls)],
            expected.check_get_many,
            units_of=len,
        ),
        ReadWorkload(
            SCAN,
            "docs/s",
            peer.scan_prefix,
            dataset.prefixes,
            expected.check_scan,
            units_of=lambda prefix: len(expected.prefixed(prefix)),
        ),
        *(
            ReadWorkload(name, "queries/s", peer.find, dataset.filters[label], expected.check_find)
            for label, name in FILTERS.items()
        ),
    ]
    return timed_reads(workloads, dataset.name, len(stored), sizes, peer.name)


def timed_reads(workloads, dataset_name, stored_count, sizes, subject):
    """A checked warm-up and the fastest timed pass of each ReadWorkload."""
    results = []
    for workload in workloads:
        warm_up(workload, sizes.warmup)
        units, seconds = fastest_pass(workload, sizes)
        results.append(
            Measurement(dataset_name, workload.name, subject, workload.unit, units, seconds, stored_count)
        )
    return results


def fastest_pass(workload, sizes):
    """(units, seconds) of the fastest of up to `sizes.passes` timed passes over
    the items; a pass that the budget cuts short is the last one."""
    passes = []
    while len(passes) < sizes.passes:
        done, seconds = run_bounded(workload.op, workload.items, sizes.budget)
        passes.append((workload.units(done), seconds))
        if done < len(workload.items):
            break
    return max(passes, key=lambda units_and_seconds: units_and_seconds[0] / units_and_seconds[1])


def warm_up(workload, seconds):
    """Untimed calls, each answer checked, for about `seconds` (at least one call)."""
    deadline = time.perf_counter() + seconds
    for item in workload.items:
        workload.check(workload.op(item), item)
        if time.perf_counter() > deadline:
            break


def threaded_gets(peer, dataset_name, items, stored_count, sizes, call="get", docs_per_item=1):
    """`items` shared out among 1, 2 and 4 threads that call get (each item an
    id) or get_many (each item a list of ids) at the same time. Each is timed
    in up to `sizes.passes` runs, repeated only while a run stays within the
    budget, and the fastest counts."""
    results = []
    for count in THREAD_COUNTS:
        share = len(items) // count
        jobs = [
            (peer.reader() if call == "get" else peer.many_reader(), items[index * share : (index + 1) * share])
            for index in range(count)
        ]
        runs = [run_together(jobs)]
        while len(runs) < sizes.passes and runs[-1] < sizes.budget:
            runs.append(run_together(jobs))
        seconds = min(runs)
        workload = threads_workload(count, call)
        units = share * count * docs_per_item
        results.append(Measurement(dataset_name, workload, peer.name, "docs/s", units, seconds, stored_count))
    return results


def run_together(jobs):
    """Runs each (call, items) job on a thread of its own, all released at once,
    and returns the seconds until the last one has finished."""
    start = threading.Barrier(len(jobs) + 1)

    def work(call, items):
        start.wait()
        for item in items:
            call(item)

    threads = [threading.Thread(target=work, args=job) for job in jobs]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - began
