"""Stress: threads mix every method on a shared engine, DBEngine or with
--engine web DBEngineWebServer (backups and paged queries included); a thread
that closes it opens the next. Every exception carries a documented message,
no thread hangs, each file passes integrity_check and indexes every entry, and
every backup opens and does too."""

import faulthandler
import glob
import json
import random
import sys
import tempfile
import threading
import time

from model import finish, index_entries, options, random_document, read_file
from quillmere import DBEngine, DBEngineWebServer

DOCUMENTED = {"Already borrowed", "Background write worker has crashed!",
              "Failed to send shutdown signal sending on a disconnected channel",
              "Write queue full or closed. sending on a disconnected channel",
              "Write queue is full or closed. sending on a disconnected channel",
              "Write queue is full or closed sending on a disconnected channel"}
BAD_DOCUMENT = ("Validation error at bad.", "Invalid json in payload for id bad.")  # refused on purpose
IDS = [f"id{i}" for i in range(200)]
CALLS = [  # (share, method, arguments drawn from a Random)
    (15, "insert", lambda r: (r.choice(IDS), random_document(r))),
    (12, "upsert", lambda r: (r.choice(IDS), random_document(r))),
    (8, "delete", lambda r: (r.choice(IDS),)),
    (5, "insert_many", lambda r: ([(r.choice(IDS), random_document(r)) for _ in range(r.randrange(50))],)),
    (4, "insert_json", lambda r: r.choice([(r.choice(IDS), '{"j": [1, "two", {"three": 3.5}]}'), ("bad", '{"j": ')])),
    (3, "insert_many_json", lambda r: ([(r.choice(IDS), '{"k": true}'), ("bad", "[1,]")],)),
    (15, "get", lambda r: (r.choice(IDS),)),
    (10, "get_many", lambda r: (r.sample(IDS, 20),)),
    (10, "scan_prefix", lambda r: (r.choice(["id1", "id", "", "x"]),)),
    (17.5, "filter_by_metadata", lambda r: (r.choice(["a", "b", "name", "tags.0"]), r.choice(["red", "1", "true"]))),
    (0.5, "close_engine", lambda r: ()),
]
KEYS, VALUES = lambda r: r.choice(["a", "b", "name", "tags.0"]), lambda r: r.choice(["red", "1", "true"])
WEB_CALLS = CALLS[:-2] + [  # the paged query, and backups into a few files
    (15.5, "filter_by_metadata", lambda r: (KEYS(r), VALUES(r), r.choice([None, 0, 3]), r.choice([None, 0, 2]))),
    (2, "trigger_backup", lambda r: (f"{directory}/backup{r.randrange(4)}.db",)),
    (0.5, "close_engine", lambda r: ()),
]


def worker(number):
    rng = random.Random(number)
    while not stop.is_set():
        engine, (_, name, arguments) = engines[-1], rng.choices(calls, [c[0] for c in calls])[0]
        deadline = time.monotonic() + 5
        while True:
            try:
                getattr(engine, name)(*arguments(rng))
                if name == "close_engine":
                    with lock:
                        if engines[-1] is engine:
                            engines.append(engine_class(f"{directory}/gen{len(engines)}.db"))
            except RuntimeError as error:
                if str(error) == "Already borrowed" and name == "close_engine" and time.monotonic() < deadline:
                    continue  # a read on another thread holds the engine: close again
                if str(error) not in DOCUMENTED and not str(error).startswith(BAD_DOCUMENT):
                    problems.append(f"thread {number}: {name}: undocumented message {error}")
            except Exception as error:  # noqa: BLE001 - any other exception is the finding
                problems.append(f"thread {number}: {name}: {type(error).__name__}: {error}")
            break


args = options(seconds=60.0, threads=8, engine="DBEngine")
engine_class, calls = (DBEngineWebServer, WEB_CALLS) if args.engine == "web" else (DBEngine, CALLS)
sys.setswitchinterval(0.0005)  # switch threads often, to meet more interleavings
directory = tempfile.mkdtemp(prefix="quillmere_stress_")
engines, lock, stop, problems = [engine_class(f"{directory}/gen0.db")], threading.Lock(), threading.Event(), []
threads = [threading.Thread(target=worker, args=(n,)) for n in range(args.threads)]
faulthandler.dump_traceback_later(args.seconds + 60, exit=True)  # a hang: every stack, then exit
for thread in threads:
    thread.start()
time.sleep(args.seconds)
stop.set()
for thread in threads:
    thread.join()
engines[-1].close_engine()
generations = len(engines)
del engines[:]  # releases the files; running backups keep theirs until they end
for path in glob.glob(f"{directory}/*.db"):  # engines' files and backups: every stored dict indexed
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:  # a backup still copying holds its file
        try:
            DBEngine(path).close_engine()
            break
        except RuntimeError:
            time.sleep(0.05)
    documents, pairs = read_file(path)
    problems += [f"{path}: {doc_id} misses index pairs" for doc_id, body in documents.items()
                 if isinstance(d := json.loads(body), dict) and not {(e, doc_id) for e in index_entries(d)} <= pairs]
finish("stress test", problems, f"{args.threads} threads, {generations} engines, {args.seconds:g} s", directory)

