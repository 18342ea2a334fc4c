"""Borrow conflicts between threads: a close during a read is refused; a call during a close
waits for it."""

import threading

import pytest

from conftest import CRASHED, wait_until
from quillmere import DBEngine, DBEngineWebServer


def race(main, other, wanted, rounds=20):
    """Runs `other` on a thread while calling `main` until it finishes, until
    `main` met the RuntimeError text `wanted`; returns the texts it met."""
    seen = set()
    for _ in range(rounds):
        thread = threading.Thread(target=other)
        thread.start()
        while thread.is_alive():
            try:
                main()
            except RuntimeError as error:
                seen.add(str(error))
        thread.join()
        if wanted in seen:
            return seen
    return seen


def test_close_engine_during_a_long_read_is_refused(db_path):
    count = 200_000
    db = DBEngine(db_path)
    db.insert_many_json([(f"r{i:07d}", "{}") for i in range(count)])
    assert wait_until(lambda: db.get(f"r{count - 1:07d}") is not None, timeout=120)
    rows = []
    refused = race(db.close_engine, lambda: rows.append(len(db.scan_prefix(""))), "Already borrowed")
    assert "Already borrowed" in refused
    assert refused <= {"Already borrowed", "Failed to send shutdown signal sending on a disconnected channel"}
    assert rows[-1] == count  # the read beside the refused close is whole


# call -> (the call, the outcomes it may have once a close has begun: a result's type, or an error)
AFTER_CLOSE = {
    "get": (lambda db: db.get("000000"), {"dict"}),
    "insert": (lambda db: db.insert("late", {}), {"NoneType", CRASHED}),
    "queue_size": (lambda db: db.queue_size, {"int"}),
}


@pytest.mark.parametrize("cls, call", [(DBEngine, "get"), (DBEngine, "insert")]
                         + [(DBEngineWebServer, call) for call in AFTER_CLOSE])
def test_a_call_that_meets_a_close_in_progress_waits_for_it(db_path, cls, call):
    db = cls(db_path)
    db.insert_many([(f"{i:06}", {"i": i}) for i in range(50_000)])  # the close commits them
    method, allowed = AFTER_CLOSE[call]
    closing, outcomes = threading.Event(), []

    def caller():
        closing.wait()
        for _ in range(100):
            try:
                outcomes.append(type(method(db)).__name__)
            except RuntimeError as error:
                outcomes.append(str(error))

    thread = threading.Thread(target=caller)
    thread.start()
    closing.set()
    while True:  # a call of the thread's that got in first refuses the close until it ends
        try:
            db.close_engine()
            break
        except RuntimeError as error:
            assert str(error) == "Already borrowed"
    thread.join()
    assert len(outcomes) == 100 and set(outcomes) <= allowed
