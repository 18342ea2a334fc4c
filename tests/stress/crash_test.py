"""Crash test: a child process (this script with --child) writes a seed's
operations through DBEngine and is killed with SIGKILL at a random moment.
The file must then open, pass the integrity check, and hold exactly the
documents and index pairs of a prefix of the issued operations that reaches
the child's last completed close_engine.

    python tests/stress/crash_test.py [--trials 200] [--jobs 4] [--seed 1]
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

from model import Store, canonical_bytes, finish, operation_groups, read_file, single_operations
from quillmere import DBEngine


def child(path, side_path, seed):
    """Notes "issued n" before each call and "closed n" after each close."""
    side = os.open(side_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    engine, issued = DBEngine(path), 0
    os.write(side, b"started\n")
    for group in operation_groups(seed):
        if group[0] == "close":
            engine.close_engine()
            os.write(side, f"closed {issued}\n".encode())
            del engine  # releases the file lock for the next engine
            engine = DBEngine(path)
            continue
        issued += len(single_operations(group))
        os.write(side, f"issued {issued}\n".encode())
        getattr(engine, group[0])(*group[1:])


def read_side_file(side_path):
    """{"started", "closed", "issued"} -> the last complete value noted."""
    notes = {"closed": 0, "issued": 0}
    if os.path.exists(side_path):
        with open(side_path) as side:
            for line in side.read().split("\n")[:-1]:  # the kill may cut the last line
                notes[line.split()[0]] = int(line.split()[1]) if " " in line else 1
    return notes


def matching_prefix(seed, closed, upper, documents, pairs):
    """The length of a prefix of the seed's operations in [closed, upper] that
    gives exactly `documents` and `pairs`, or None; compared one id at a time."""
    store = Store()
    operations = (op for group in operation_groups(seed) for op in single_operations(group))
    file_entries = {}
    for entry, doc_id in pairs:
        file_entries.setdefault(doc_id, set()).add(entry)
    differing = set()

    def refresh(doc_id):
        modelled = store.documents.get(doc_id)
        same = documents.get(doc_id) == (None if modelled is None else canonical_bytes(modelled))
        if same and store.entries.get(doc_id, set()) == file_entries.get(doc_id, set()):
            differing.discard(doc_id)
        else:
            differing.add(doc_id)

    for doc_id in set(documents) | set(file_entries):
        refresh(doc_id)
    for applied in range(upper + 1):
        if applied >= closed and not differing:
            return applied
        op = next(operations)
        store.apply(op)
        refresh(op[1])
    return None


def run_trial(trial, seed, workdir):
    rng = random.Random(seed)
    directory = tempfile.mkdtemp(prefix=f"trial{trial}_", dir=workdir)
    path, side_path = os.path.join(directory, "crash.db"), os.path.join(directory, "side.txt")
    process = subprocess.Popen([sys.executable, __file__, "--child", path, side_path, str(seed)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline, during_start_up = time.monotonic() + 30, rng.random() < 0.1
        while not during_start_up and "started" not in read_side_file(side_path) and time.monotonic() < deadline:
            time.sleep(0.005)  # now and then the kill comes during start-up
        time.sleep(rng.uniform(0, 0.3 if during_start_up else 2.5))
        if process.poll() is not None:
            return f"trial {trial}: the child ended ({process.returncode}): {process.stderr.read()[-2000:]!r}"
    finally:
        process.kill()
        process.wait()
        process.stderr.close()
    notes = read_side_file(side_path)
    try:  # the engine must open the file and read every document back
        engine = DBEngine(path)
        listed = engine.scan_prefix("")
        engine.close_engine()
        del engine
    except Exception as error:  # noqa: BLE001 - any failure is the finding
        return f"trial {trial}: reopening failed: {error!r}"
    integrity, documents, pairs = read_file(path)
    if integrity != [("ok",)]:
        return f"trial {trial}: integrity_check gave {integrity!r}"
    if {doc_id: canonical_bytes(value) for doc_id, value in listed} != documents:
        return f"trial {trial}: scan_prefix('') does not match the file"
    if matching_prefix(seed, notes["closed"], notes["issued"], documents, pairs) is None:
        return (f"trial {trial}: no prefix of the operations in [{notes['closed']}, {notes['issued']}] gives "
                f"the file's {len(documents)} documents and {len(pairs)} index pairs (seed {seed}, {directory})")
    return None


def main():
    if sys.argv[1:2] == ["--child"]:
        return child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=200)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="quillmere_crash_")
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = pool.map(lambda t: run_trial(t, args.seed * 100000 + t, workdir), range(args.trials))
        finish("crash test", [r for r in results if r], f"{args.trials} trials", workdir)


if __name__ == "__main__":
    main()
