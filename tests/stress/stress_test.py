"""Stress: threads mix every read, every write and close_engine on a shared
engine; a thread that closes it puts a new one (on a new file) in its place,
while the others go on with whichever engine they took. Every exception must
carry a documented message and no thread may hang; afterwards each file must
pass the integrity check and index every entry of every stored document.

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

from model import finish, index_entries, random_document, read_file
from quillmere import DBEngine

DOCUMENTED = {
    "Already borrowed",
    "Already mutably borrowed",
    "Background write worker has crashed!",
    "Failed to send shutdown signal sending on a disconnected channel",
    "Write queue full or closed. sending on a disconnected channel",
}
# The only documents the writes make fail on purpose have the id "bad".
BAD_DOCUMENT = ("Validation error at bad.", "Invalid json in payload for id bad.")
IDS = [f"id{i}" for i in range(200)]
CALLS = [  # (share of the calls, name, arguments drawn from a Random)
    (15, "insert", lambda r: (r.choice(IDS), random_document(r))),
    (12, "upsert", lambda r: (r.choice(IDS), random_document(r))),
    (8, "delete", lambda r: (r.choice(IDS),)),
    (5, "insert_many", lambda r: ([(r.choice(IDS), random_document(r)) for _ in range(r.randrange(50))],)),
    (2, "insert_json", lambda r: (r.choice(IDS), '{"j": [1, "two", {"three": 3.5}]}')),
    (2, "insert_json", lambda r: ("bad", '{"j": ')),
    (3, "insert_many_json", lambda r: ([(r.choice(IDS), '{"k": true}'), ("bad", "[1,]")],)),
    (15, "get", lambda r: (r.choice(IDS),)),
    (10, "get_many", lambda r: (r.sample(IDS, 20),)),
    (10, "scan_prefix", lambda r: (r.choice(["id1", "id", "", "x"]),)),
    (17.5, "filter_by_metadata", lambda r: (r.choice(["a", "b", "name", "tags.0"]), r.choice(["red", "1", "true"]))),
    (0.5, "close_engine", lambda r: ()),
]


class Engines:
    """The current engine, replaced when a thread closes it."""

    def __init__(self, directory):
        self.directory, self.lock, self.paths = directory, threading.Lock(), []
        self.current = self.open()

    def open(self):
        self.paths.append(os.path.join(self.directory, f"gen{len(self.paths)}.db"))
        return DBEngine(self.paths[-1])

    def replace(self, closed):
        with self.lock:
            if self.current is closed:
                self.current = self.open()


def worker(number, engines, stop, problems, heartbeat):
    rng = random.Random(number)
    while not stop.is_set():
        heartbeat[number] = time.monotonic()
        engine = engines.current
        _, name, arguments = rng.choices(CALLS, weights=[c[0] for c in CALLS])[0]
        deadline = time.monotonic() + 5
        while True:
            try:
                getattr(engine, name)(*arguments(rng))
                if name == "close_engine":
                    engines.replace(engine)
            except RuntimeError as error:
                message = str(error)
                if name == "close_engine" and message == "Already borrowed" and time.monotonic() < deadline:
                    continue  # a read on another thread holds the engine: close again
                if message not in DOCUMENTED and not message.startswith(BAD_DOCUMENT):
                    problems.append(f"thread {number}: {name}: undocumented message {message!r}")
            except Exception as error:  # noqa: BLE001 - any other exception is the finding
                problems.append(f"thread {number}: {name}: {type(error).__name__}: {error}")
            break


def check_file(path):
    integrity, documents, pairs = read_file(path)
    if integrity != [("ok",)]:
        return f"{path}: integrity_check gave {integrity!r}"
    for doc_id, body in documents.items():
        document = json.loads(body)
        missing = {(entry, doc_id) for entry in index_entries(document)} - pairs
        if isinstance(document, dict) and missing:
            return f"{path}: {doc_id} misses index pairs {sorted(missing)[:3]}"
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--threads", type=int, default=8)
    args = parser.parse_args()
    sys.setswitchinterval(0.0005)  # switch threads often, to meet more interleavings
    directory = tempfile.mkdtemp(prefix="quillmere_stress_")
    engines, stop, problems, heartbeat = Engines(directory), threading.Event(), [], [time.monotonic()] * args.threads
    threads = [threading.Thread(target=worker, args=(n, engines, stop, problems, heartbeat))
               for n in range(args.threads)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline and time.monotonic() - min(heartbeat) < 30:
        time.sleep(0.5)
    stop.set()
    for thread in threads:
        thread.join(timeout=60)
    if time.monotonic() - min(heartbeat) > 30 or any(thread.is_alive() for thread in threads):
        print("a thread made no progress for 30 s; stacks follow", flush=True)
        faulthandler.dump_traceback(all_threads=True)
        os._exit(1)
    engines.current.close_engine()
    del engines.current
    problems += filter(None, map(check_file, engines.paths))
    finish("stress test", problems, f"{args.threads} threads, {len(engines.paths)} engines, {args.seconds:g} s", directory)


if __name__ == "__main__":
    main()
