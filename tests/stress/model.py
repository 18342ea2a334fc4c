"""Shared by the stress scripts: a model of what DBEngine stores, seeded
operation sequences, reading a database file back, runs in interpreters of
their own, options and summaries."""

import argparse
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from contextlib import closing


def canonical_bytes(document):
    """The stored form of a dict payload: compact, keys in byte order."""
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode()


def index_entries(document, path=""):
    """The index entries of a document: path of keys and positions, ".", leaf text
    (floats are drawn so that repr writes them as plain decimals)."""
    if isinstance(document, (dict, list)):
        items = document.items() if isinstance(document, dict) else enumerate(document)
        return set().union(*(index_entries(v, f"{path}.{k}" if path else str(k)) for k, v in items))
    text = json.dumps(document) if isinstance(document, bool) else str(document)
    return set() if document is None else {path + "." + (text.removesuffix(".0") if isinstance(document, float) else text)}


class Store:
    """An insert leaves the replaced document's entries (stale); upsert and delete remove them."""

    def __init__(self):
        self.documents, self.entries = {}, {}  # id -> dict, id -> entries listing it

    def apply(self, op):
        kind, doc_id = op[0], op[1]
        if kind != "insert" and doc_id in self.documents:
            self.entries[doc_id] -= index_entries(self.documents.pop(doc_id))
        if kind != "delete":
            self.documents[doc_id] = op[2]
            self.entries.setdefault(doc_id, set()).update(index_entries(op[2]))


KEYS = ["a", "b", "name", "tags", "n", "x.y", "", "é", "k\x00", "深", "z"]
STRINGS = ["", "red", "blue", "a.b", "with space", "nul\x00byte", "é中😀", "2", "true", "q\"uote\\"]
NUMBERS = [0, 1, -1, 2, 42, 2**63 - 1, -2**63, 2**64 - 1, 12.5, 3.0, 0.0001, 1e15, 123456.789]


def random_value(rng, depth=1):
    roll = rng.random()
    if depth < 3 and roll < 0.3:
        if roll < 0.15:
            return {rng.choice(KEYS): random_value(rng, depth + 1) for _ in range(rng.randrange(4))}
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if roll < 0.5:
        return rng.choice(STRINGS)
    if roll < 0.8:
        return rng.choice(NUMBERS + [rng.randrange(-10**6, 10**6), round(rng.uniform(1e-4, 1e6), rng.randrange(6))])
    return rng.choice([True, False, None])


def random_document(rng):
    return {rng.choice(KEYS): random_value(rng) for _ in range(rng.randrange(6))}


def operation_groups(seed, ids=300):
    """Endless seed-determined calls: ("insert"|"upsert", id, doc), ("delete", id),
    ("insert_many", [(id, doc), ...]) and ("close",) to close and reopen the engine."""
    rng = random.Random(seed)
    pool = [f"id{i}" for i in range(ids)] + ["a.b", "x\x00y", "é", ""]
    while True:
        for _ in range(rng.randrange(50, 3000)):
            roll = rng.random()
            if roll < 0.65:
                yield ("insert" if roll < 0.4 else "upsert", rng.choice(pool), random_document(rng))
            elif roll < 0.82:
                yield ("delete", rng.choice(pool))
            else:
                yield ("insert_many", [(rng.choice(pool), random_document(rng)) for _ in range(rng.randrange(40))])
        yield ("close",)


def single_operations(group):
    """The single-document operations one call queues, in order."""
    if group[0] == "insert_many":
        return [("insert", *pair) for pair in group[1]]
    return [] if group[0] == "close" else [group]


def read_file(path):
    """({id: body bytes}, set of (entry, id)) of a database file that passes integrity_check."""
    with closing(sqlite3.connect(path)) as connection:
        integrity = connection.execute("PRAGMA integrity_check").fetchall()
        assert integrity == [("ok",)], f"{path}: integrity_check gave {integrity}"
        return ({doc_id: bytes(body) for doc_id, body in connection.execute("SELECT id, body FROM documents")},
                set(connection.execute("SELECT entry, id FROM metadata_index")))


def run_jobs(jobs, workers, timeout=600):
    """The failures of `jobs`, {label: [function name, *arguments]}, each run `workers` at a
    time by this script with `--job` (see run_job) in an interpreter of its own: checks that
    read large files and replay models then wait on no other check's interpreter lock, and
    one whose process crashes or hangs is reported under its label and stops no other."""
    def run(label, job):
        try:
            result = subprocess.run([sys.executable, "-X", "faulthandler", sys.argv[0], "--job", json.dumps(job)],
                                    capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return f"{label}: no result within {timeout} s"
        if result.returncode:
            return f"{label}: the job ended ({result.returncode}): {result.stderr[-2000:]!r}"
        return result.stdout

    with ThreadPoolExecutor(max_workers=workers) as pool:
        return [failure for failure in pool.map(run, jobs, jobs.values()) if failure]


def run_job():
    """In a process of run_jobs: calls the job's function of the main script and writes the
    failure it returns (None writes nothing) on standard output, alone: what else the process
    prints there (the engines report a WAL replay) goes to standard error."""
    with os.fdopen(os.dup(1), "w") as result:
        os.dup2(2, 1)
        name, *arguments = json.loads(sys.argv[2])
        result.write(getattr(sys.modules["__main__"], name)(*arguments) or "")


def options(**defaults):
    """The command-line options, named and typed after their defaults."""
    parser = argparse.ArgumentParser()
    for name, default in defaults.items():
        parser.add_argument("--" + name.replace("_", "-"), type=type(default), default=default)
    return parser.parse_args()


def finish(name, failures, done, workdir=None):
    """Prints the failures and a summary, removes `workdir` when none, exits."""
    print("\n".join(failures[:20] + [f"{name}: {len(failures)} failed ({done})"]))
    if workdir and not failures:
        shutil.rmtree(workdir)
    sys.exit(1 if failures else 0)

