"""Crash test: a child process writes through DBEngine (crash_child.py) and is
killed with SIGKILL at a random moment; then the file must open, pass
SQLite's integrity check, hold every write issued before the child's last
completed close_engine, and hold exactly the documents and index pairs of
some prefix of the issued operations (batches commit whole and in order).

    python tests/stress/crash_test.py [--trials 200] [--jobs 4] [--seed 1]

Exits non-zero when any trial fails; prints one line per failure.
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from crash_child import PROGRESS_EVERY  # noqa: E402
from model import Store, canonical_bytes, operation_groups, read_file, single_operations  # noqa: E402
from quillmere import DBEngine  # noqa: E402


def read_side_file(side_path):
    """(the count at the last completed close, an upper bound of what was issued, started)."""
    closed, issued, started = 0, 0, False
    try:
        with open(side_path) as side:
            lines = side.read().split("\n")
    except FileNotFoundError:
        return closed, issued, started
    for line in lines[:-1]:  # the last piece may be cut short by the kill
        if line == "started":
            started = True
        elif line.startswith("closed "):
            closed = int(line.split()[1])
            issued = max(issued, closed)
        elif line.startswith("issued "):
            issued = max(issued, int(line.split()[1]))
    return closed, issued, started


def matching_prefix(seed, closed, upper, documents, pairs):
    """The length of a prefix of the seed's operations, at least `closed` and
    at most `upper`, whose result is exactly `documents` and `pairs`; None when
    there is none. Mismatches are counted incrementally, one id at a time."""
    store = Store()
    operations = (op for group in operation_groups(seed) for op in single_operations(group))

    def document_mismatch(doc_id):
        stored = documents.get(doc_id)
        modelled = store.documents.get(doc_id)
        return (stored is None) != (modelled is None) or (
            stored is not None and stored != canonical_bytes(modelled))

    # Pairs of the file grouped by id, and the ids whose state differs.
    file_entries = {}
    for entry, doc_id in pairs:
        file_entries.setdefault(doc_id, set()).add(entry)
    differing = set()

    def refresh(doc_id):
        if document_mismatch(doc_id) or store.entries.get(doc_id, set()) != file_entries.get(doc_id, set()):
            differing.add(doc_id)
        else:
            differing.discard(doc_id)

    for doc_id in set(documents) | set(file_entries):
        refresh(doc_id)
    applied = 0
    while True:
        if applied >= closed and not differing:
            return applied
        if applied >= upper:
            return None
        op = next(operations)
        store.apply(op)
        applied += 1
        refresh(op[1])


def run_trial(trial, seed, workdir):
    rng = random.Random(seed * 7919 + trial)
    directory = tempfile.mkdtemp(prefix=f"trial{trial}_", dir=workdir)
    path = os.path.join(directory, "crash.db")
    side_path = os.path.join(directory, "side.txt")
    child = subprocess.Popen([sys.executable, os.path.join(HERE, "crash_child.py"), path, side_path, str(seed)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        if rng.random() < 0.1:
            time.sleep(rng.uniform(0, 0.3))  # now and then during start-up
        else:
            deadline = time.monotonic() + 30
            while not read_side_file(side_path)[2] and child.poll() is None and time.monotonic() < deadline:
                time.sleep(0.005)
            time.sleep(rng.uniform(0, 2.5))
        if child.poll() is not None:
            return f"trial {trial}: the child ended by itself ({child.returncode}): {child.stderr.read()[-2000:]!r}"
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stderr.close()

    closed, issued, _ = read_side_file(side_path)
    # The child notes its count at most every PROGRESS_EVERY operations, and
    # a group (at most 40 operations) may straddle the note.
    upper = issued + PROGRESS_EVERY + 40

    # The file must open with the engine, which reads it back as dicts.
    try:
        engine = DBEngine(path)
        listed = engine.scan_prefix("")
        engine.close_engine()
        del engine
    except Exception as error:  # noqa: BLE001 - any failure is the finding
        return f"trial {trial}: reopening failed: {error!r}"

    integrity, documents, pairs = read_file(path)
    if integrity != [("ok",)]:
        return f"trial {trial}: integrity_check gave {integrity!r}"
    if len(listed) != len(documents) or any(
            canonical_bytes(value) != documents.get(doc_id) for doc_id, value in listed):
        return f"trial {trial}: scan_prefix('') does not match the file"
    prefix = matching_prefix(seed, closed, upper, documents, pairs)
    if prefix is None:
        return (f"trial {trial}: no prefix of the operations in [{closed}, {upper}] gives the file's "
                f"{len(documents)} documents and {len(pairs)} index pairs (seed {seed}, kept in {directory})")
    for name in os.listdir(directory):
        os.unlink(os.path.join(directory, name))
    os.rmdir(directory)
    return None, closed, prefix


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=200)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="quillmere_crash_")
    failures = []
    applied = []
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        # Each trial has its own seed, so the sequences differ between trials.
        results = pool.map(lambda t: run_trial(t, args.seed * 100000 + t, workdir), range(args.trials))
        for result in results:
            if isinstance(result, str):
                failures.append(result)
                print(result, flush=True)
            else:
                applied.append(result[1:])
    if applied:
        closes = sum(1 for closed, _ in applied if closed > 0)
        print(f"trials with a completed close before the kill: {closes}; "
              f"operations found applied: min {min(p for _, p in applied)}, "
              f"max {max(p for _, p in applied)}, mean {sum(p for _, p in applied) // len(applied)}")
    print(f"crash test: {args.trials - len(failures)} passed, {len(failures)} failed")
    if not failures:
        os.rmdir(workdir)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
