"""Reads running beside the background writer and beside close_engine on other
threads: snapshots show writes in queue order, a close during a read is
refused, and nothing else fails."""

import collections
import threading

from conftest import wait_until
from quillmere import DBEngine

BORROWED = "Already borrowed"
CLOSED_TWICE = "Failed to send shutdown signal sending on a disconnected channel"


def close_while_others_read(db, refusals, timeout=60.0):
    """Calls close_engine until it succeeds; a read in progress makes it fail."""
    finished = wait_until(lambda: _try_close(db, refusals), timeout=timeout)
    assert finished, collections.Counter(refusals)


def _try_close(db, refusals):
    try:
        db.close_engine()
        return True
    except RuntimeError as error:
        refusals.append(str(error))
        return False


def run_threads(targets):
    """Runs each target on its own thread; returns what they raised."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported by the test
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive()
    return errors


def test_reads_see_writes_in_queue_order(db_path):
    """Documents become visible in the order they were queued: whenever
    document i is visible, so is every document queued before it."""
    db = DBEngine(db_path)
    total, per_call = 20000, 10
    ids = [f"s{i:06d}" for i in range(total)]
    sample = ids[::499]
    writing_done = threading.Event()
    refusals = []
    seen_counts = collections.defaultdict(list)

    def writer():
        try:
            for start in range(0, total, per_call):
                db.insert_many([(ids[i], {"i": i, "call": start // per_call}) for i in range(start, start + per_call)])
                if start % 2000 == 0:
                    # Now and then let the background writer catch up, so that
                    # the readers meet many different states.
                    assert wait_until(lambda: db.get(ids[start]) is not None)
            close_while_others_read(db, refusals)
        finally:
            writing_done.set()

    def scanning_reader():
        while not writing_done.is_set():
            rows = db.scan_prefix("s")
            visible = [doc_id for doc_id, _ in rows]
            assert visible == ids[:len(visible)]
            assert all(document == {"i": i, "call": i // per_call} for i, (_, document) in enumerate(rows))
            seen_counts["scan"].append(len(visible))

    def sampling_reader():
        while not writing_done.is_set():
            flags = [document is not None for _, document in db.get_many(sample)]
            assert flags == sorted(flags, reverse=True), flags
            seen_counts["sample"].append(flags.count(True))
            visible = len(db.scan_prefix("s"))
            call = (visible // per_call) if visible < total else total // per_call - 1
            in_call = [doc_id for doc_id, _ in db.filter_by_metadata("call", str(call))]
            assert in_call == ids[call * per_call:call * per_call + len(in_call)]

    errors = run_threads([writer, scanning_reader, sampling_reader])
    assert errors == []
    assert set(refusals) <= {BORROWED}
    for counts in seen_counts.values():
        assert counts == sorted(counts)  # a later snapshot never shows less
    assert [doc_id for doc_id, _ in db.scan_prefix("s")] == ids
    assert db.get(ids[-1]) == {"i": total - 1, "call": total // per_call - 1}


def test_close_engine_during_a_long_read_is_refused(db_path):
    count = 200_000
    db = DBEngine(db_path)
    db.insert_many_json([(f"r{i:07d}", "{}") for i in range(count)])
    assert wait_until(lambda: db.get(f"r{count - 1:07d}") is not None, timeout=120)

    outcomes = collections.Counter()
    for _ in range(5):
        started = threading.Event()
        result = {}

        def reader():
            started.set()
            try:
                result["rows"] = db.scan_prefix("")
            except BaseException as error:  # noqa: BLE001 - checked below
                result["error"] = error

        thread = threading.Thread(target=reader)
        thread.start()
        started.wait()
        while thread.is_alive():
            try:
                db.close_engine()
                outcomes["closed"] += 1
            except RuntimeError as error:
                outcomes[str(error)] += 1
            # A read beside the running read proceeds.
            assert db.get("r0000000") == {}
        thread.join()
        assert "error" not in result, result.get("error")
        assert len(result["rows"]) == count
        assert result["rows"][0] == ("r0000000", {}) and result["rows"][-1] == (f"r{count - 1:07d}", {})
        if outcomes[BORROWED]:
            break
    assert outcomes[BORROWED] >= 1, outcomes
    assert set(outcomes) <= {BORROWED, "closed", CLOSED_TWICE}, outcomes
    assert outcomes["closed"] <= 1
    if not outcomes["closed"]:
        db.close_engine()
    assert len(db.scan_prefix("r000000")) == 10
