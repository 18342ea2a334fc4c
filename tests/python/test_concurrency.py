"""Borrow conflicts between threads: a close during a read is refused."""

import threading

from conftest import wait_until
from quillmere import DBEngine


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
