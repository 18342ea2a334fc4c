"""Stress: threads mixing every read, every write and close_engine on shared
engines for a while. A thread that closes the current engine puts a new one
(on a new file) in its place; the others keep using whichever engine they
took, closed or not. Every exception must carry one of the documented
messages; no thread may hang. Afterwards each file must open, pass the
integrity check, and list every entry of every stored document in its index.

    python tests/stress/stress_test.py [--seconds 60] [--threads 8]
"""

import argparse
import faulthandler
import json
import os
import random
import sys
import tempfile
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from model import index_entries, random_document, read_file  # noqa: E402
from quillmere import DBEngine  # noqa: E402

DOCUMENTED = {
    "Already borrowed",
    "Already mutably borrowed",
    "Background write worker has crashed!",
    "Failed to send shutdown signal sending on a disconnected channel",
    "Write queue full or closed. sending on a disconnected channel",
}
# Messages that name a document; the stress writes make none fail on purpose
# except through these prefixes.
DOCUMENTED_PREFIXES = ("Validation error at bad.", "Invalid json in payload for id bad.")


class Engines:
    """The current engine, replaced by a thread that closes it."""

    def __init__(self, directory):
        self.directory = directory
        self.lock = threading.Lock()
        self.generation = 0
        self.paths = []
        self.current = self._open()

    def _open(self):
        path = os.path.join(self.directory, f"gen{self.generation}.db")
        self.generation += 1
        self.paths.append(path)
        return DBEngine(path)

    def take(self):
        with self.lock:
            return self.current

    def replace(self, closed):
        with self.lock:
            if self.current is closed:
                self.current = self._open()


def close_engine(engine, counts):
    """Closes `engine`, trying again while reads on other threads hold it
    (each refusal is counted); raises what a close raises otherwise."""
    deadline = time.monotonic() + 5
    while True:
        try:
            engine.close_engine()
            return
        except RuntimeError as error:
            if str(error) != "Already borrowed" or time.monotonic() > deadline:
                raise
            counts["Already borrowed"] += 1
            time.sleep(0)


def worker(number, engines, stop, counts, problems, heartbeat):
    rng = random.Random(number)
    ids = [f"id{i}" for i in range(200)]
    while not stop.is_set():
        heartbeat[number] = time.monotonic()
        engine = engines.take()
        roll = rng.random()
        try:
            if roll < 0.15:
                engine.insert(rng.choice(ids), random_document(rng))
                kind = "insert"
            elif roll < 0.27:
                engine.upsert(rng.choice(ids), random_document(rng))
                kind = "upsert"
            elif roll < 0.35:
                engine.delete(rng.choice(ids))
                kind = "delete"
            elif roll < 0.40:
                engine.insert_many([(rng.choice(ids), random_document(rng)) for _ in range(rng.randrange(50))])
                kind = "insert_many"
            elif roll < 0.44:
                if rng.random() < 0.5:
                    engine.insert_json(rng.choice(ids), '{"j": [1, "two", {"three": 3.5}]}')
                else:
                    engine.insert_json("bad", '{"j": ')
                kind = "insert_json"
            elif roll < 0.47:
                engine.insert_many_json([(rng.choice(ids), '{"k": true}'), ("bad", "[1,]")])
                kind = "insert_many_json"
            elif roll < 0.62:
                engine.get(rng.choice(ids))
                kind = "get"
            elif roll < 0.72:
                engine.get_many(rng.sample(ids, 20))
                kind = "get_many"
            elif roll < 0.82:
                engine.scan_prefix(rng.choice(["id1", "id", "", "x"]))
                kind = "scan_prefix"
            elif roll < 0.995:
                engine.filter_by_metadata(rng.choice(["a", "b", "name", "tags.0"]), rng.choice(["red", "1", "true"]))
                kind = "filter_by_metadata"
            else:
                close_engine(engine, counts)
                engines.replace(engine)
                kind = "close_engine"
            counts[kind + " ok"] += 1
        except RuntimeError as error:
            message = str(error)
            if message in DOCUMENTED or message.startswith(DOCUMENTED_PREFIXES):
                counts[message if message in DOCUMENTED else "bad document refused"] += 1
            else:
                problems.append(f"thread {number}: undocumented RuntimeError {message!r}")
        except Exception as error:  # noqa: BLE001 - any other exception is the finding
            problems.append(f"thread {number}: {type(error).__name__}: {error}")


def check_file(path):
    integrity, documents, pairs = read_file(path)
    if integrity != [("ok",)]:
        return f"{path}: integrity_check gave {integrity!r}"
    for doc_id, body in documents.items():
        document = json.loads(body)
        if isinstance(document, dict):
            missing = {(entry, doc_id) for entry in index_entries(document)} - pairs
            if missing:
                return f"{path}: {doc_id} misses index pairs {sorted(missing)[:3]}"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()
    sys.setswitchinterval(0.0005)  # switch threads often, to meet more interleavings

    directory = tempfile.mkdtemp(prefix="quillmere_stress_")
    engines = Engines(directory)
    stop = threading.Event()
    counts = Counter()
    problems = []
    heartbeat = [time.monotonic()] * args.threads
    threads = [threading.Thread(target=worker, args=(n, engines, stop, counts, problems, heartbeat))
               for n in range(args.threads)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + args.seconds
    stalled = None
    while time.monotonic() < deadline and stalled is None:
        time.sleep(0.5)
        oldest = min(heartbeat)
        if time.monotonic() - oldest > 30:
            stalled = heartbeat.index(oldest)
    stop.set()
    for thread in threads:
        thread.join(timeout=60)
    if stalled is not None or any(thread.is_alive() for thread in threads):
        print(f"deadlock: thread {stalled} made no progress; stacks follow", flush=True)
        faulthandler.dump_traceback(all_threads=True)
        os._exit(1)

    final = engines.take()
    final.close_engine()
    del final, engines.current
    for path in engines.paths:
        problem = check_file(path)
        if problem:
            problems.append(problem)

    for name, count in sorted(counts.items()):
        print(f"  {name}: {count}")
    print(f"engines used: {len(engines.paths)}")
    for problem in problems[:20]:
        print(problem)
    print(f"stress test: {0 if problems else 1} passed, {1 if problems else 0} failed "
          f"({len(problems)} problems, {args.threads} threads, {args.seconds:g} s)")
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
