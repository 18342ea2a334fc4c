"""Crash test: a child (this script with --child) writes a seed's operations
through DBEngine, or DBEngineWebServer with --engine web, until SIGKILL. The
file must open (the web engine replaying its WAL file), pass integrity_check,
and hold exactly what a prefix of the operations gives that reaches the last
close_engine and every write a read had seen. Each trial runs, and is checked,
in a process of its own."""

import os
import random
import struct
import subprocess
import sys
import tempfile
import time

from model import (Store, canonical_bytes, finish, operation_groups, options, read_file, run_job, run_jobs,
                   single_operations)
from quillmere import DBEngine, DBEngineWebServer

MARK = "~seen"  # a document the child polls for: what precedes it has been applied


def child(path, side_path, seed, engine_class):
    """Keeps "seen issued" in the side file: the operations applied when a read last saw the
    mark (or when close_engine last returned), and the operations issued so far."""
    side = os.open(side_path, os.O_WRONLY)
    engine, seen, issued = engine_class(path), 0, 0
    for number, group in enumerate(operation_groups(seed)):
        if group[0] == "close":
            engine.close_engine()
            del engine  # releases the file lock for the next engine
            engine, seen = engine_class(path), issued
        elif number % 25 == 24:
            engine.upsert(MARK, {"n": number})
            while engine.get(MARK) != {"n": number}:
                pass
            seen = issued
        issued += len(single_operations(group))
        os.pwrite(side, f"{seen:12}{issued:12}".encode(), 0)  # one write: SIGKILL cannot split it
        if group[0] != "close":
            getattr(engine, group[0])(*group[1:])


def has_matching_prefix(seed, closed, upper, documents, pairs):
    """Whether the seed's first n operations, closed <= n <= upper, give exactly
    `documents` and `pairs`; an id is compared again when an operation changes it."""
    store, file_entries = Store(), {}
    for entry, doc_id in pairs:
        file_entries.setdefault(doc_id, set()).add(entry)

    def differs(doc_id):
        modelled = store.documents.get(doc_id)
        return (documents.get(doc_id) != (None if modelled is None else canonical_bytes(modelled))
                or store.entries.get(doc_id, set()) != file_entries.get(doc_id, set()))

    differing = {doc_id for doc_id in set(documents) | set(file_entries) if differs(doc_id)}
    operations = (op for group in operation_groups(seed) for op in single_operations(group))
    for applied in range(upper + 1):
        if applied >= closed and not differing:
            return True
        op = next(operations)
        store.apply(op)
        (differing.add if differs(op[1]) else differing.discard)(op[1])
    return False


def run_trial(trial, seed, workdir, engine):
    engine_class, rng = ENGINES[engine], random.Random(seed)
    directory = tempfile.mkdtemp(prefix=f"trial{trial}_", dir=workdir)
    path, side_path = os.path.join(directory, "crash.db"), os.path.join(directory, "side.txt")
    open(side_path, "w").close()
    with subprocess.Popen([sys.executable, __file__, "--child", path, side_path, str(seed), engine],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as process:
        deadline, during_start_up = time.monotonic() + 30, rng.random() < 0.1
        while not during_start_up and not os.path.getsize(side_path) and time.monotonic() < deadline:
            time.sleep(0.005)  # now and then the kill comes during start-up
        time.sleep(rng.uniform(0, 0.3 if during_start_up else 2.5))
        if process.poll() is not None:
            return f"trial {trial}: the child ended ({process.returncode}): {process.stderr.read()[-2000:]!r}"
        process.kill()
    with open(side_path) as side:
        closed, issued = map(int, side.read().split() or (0, 0))
    try:  # the engine must open the file and read every document back
        engine = engine_class(path)
        listed = {doc_id: canonical_bytes(value) for doc_id, value in engine.scan_prefix("")}
        engine.close_engine()
        documents, pairs = read_file(path)
        listed.pop(MARK, None), documents.pop(MARK, None)
        pairs = {pair for pair in pairs if pair[1] != MARK}
    except Exception as error:  # noqa: BLE001 - any failure is the finding
        return f"trial {trial}: {error!r}"
    if listed != documents:
        return f"trial {trial}: scan_prefix('') differs from the file"
    if not has_matching_prefix(seed, closed, issued, documents, pairs):
        return f"trial {trial}: no prefix of the operations in [{closed}, {issued}] gives {directory}"
    return None


def recovery_trial(trial, seed, workdir, frames=300_000):
    """A child replaying a WAL file of Insert frames is killed; the next open finishes the replay."""
    path = os.path.join(tempfile.mkdtemp(prefix=f"recovery{trial}_", dir=workdir), "crash.db")
    with open(path + ".wal", "wb") as wal:
        for i in range(frames):
            key, value = f"doc{i}".encode(), b'{"i":%d}' % (i % 7)
            wal.write(struct.pack("<BII", 1, len(key), len(value)) + key + value)
    with subprocess.Popen([sys.executable, "-c", "import sys, quillmere; quillmere.DBEngineWebServer(sys.argv[1])",
                           path], stdout=subprocess.DEVNULL) as process:
        time.sleep(random.Random(seed).uniform(0.05, 1.6))
        process.kill()
    DBEngineWebServer(path).close_engine()
    documents, pairs = read_file(path)
    if len(documents) != frames or pairs != {(f"i.{i % 7}", f"doc{i}") for i in range(frames)}:
        return (f"recovery trial {trial}: {len(documents)} documents and {len(pairs)} pairs after the replay"
                " was finished")
    return None if os.path.getsize(path + ".wal") == 0 else f"recovery trial {trial}: the WAL file was not emptied"


ENGINES = {"DBEngine": DBEngine, "DBEngineWebServer": DBEngineWebServer, "web": DBEngineWebServer}
if sys.argv[1:2] == ["--child"]:
    child(sys.argv[2], sys.argv[3], int(sys.argv[4]), ENGINES[sys.argv[5]])
elif sys.argv[1:2] == ["--job"]:
    run_job()
else:
    args = options(trials=200, jobs=4, seed=1, engine="DBEngine")
    workdir = tempfile.mkdtemp(prefix="quillmere_crash_")
    jobs = {f"trial {t}": ["run_trial", t, args.seed * 100000 + t, workdir, args.engine] for t in range(args.trials)}
    if args.engine != "DBEngine":  # and a kill during the replay of the WAL file itself
        jobs |= {f"recovery trial {t}": ["recovery_trial", t, args.seed * 100000 + t, workdir]
                 for t in range(args.trials // 4)}
    finish("crash test", run_jobs(jobs, args.jobs), f"{args.trials} trials", workdir)

