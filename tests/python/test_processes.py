"""Engines and the life of a process: exit handlers and finalizers that write, forked
children, multiprocessing children that return without close_engine, subinterpreters, and
writes that wait for room in a full queue. Each case runs in an interpreter of its own."""

import json
import subprocess
import sys

import pytest

from conftest import UNDER_SANITIZERS, run_python, stored_documents

CLASSES = ["DBEngine", "DBEngineWebServer"]
SHUTTING_DOWN = "The interpreter is shutting down: the engine no longer takes writes"
FOREIGN = ("This engine was opened by another process and came here through a fork; "
           "open a new engine in this process")

# GCC 12's AddressSanitizer runtime (libasan 8) has no fork handler: a child forked while a parent
# thread refills or drains its allocation cache inherits the allocator's lock of that size class
# held, and its next allocation of that size waits for ever, whether in SQLite or not.
forks_beside_allocating_threads = pytest.mark.skipif(
    UNDER_SANITIZERS, reason="libasan 8 does not hold its allocator's locks across fork()")

# Each script writes 20,000 documents "00000".."19999" into sys.argv[1] through the class named by
# sys.argv[2] at some point of the interpreter's exit, with nothing waiting for them.
WRITE = """
def write(path=sys.argv[1], name=sys.argv[2]):
    import quillmere
    db = getattr(quillmere, name)(path)
    for i in range(20000):
        db.insert(f"{i:05}", {"i": i})
    return db
"""
LATE_WRITERS = {
    "atexit handler registered before the import": "import atexit, sys\n" + WRITE
    + "atexit.register(write)\nimport quillmere\n",
    "first import inside an atexit handler": "import atexit, sys\n" + WRITE + "atexit.register(write)\n",
    "__del__ run during finalization": "import sys\nimport quillmere\nclass Late:\n"
    "    def __init__(self):\n        self.open, self.path = getattr(quillmere, sys.argv[2]), sys.argv[1]\n"
    "    def __del__(self):\n        db = self.open(self.path)\n"
    "        for i in range(20000):\n            db.insert(f'{i:05}', {'i': i})\nkeep = Late()\n",
    "atexit handler registered before the import, writing to an engine opened after it":
    "import atexit, sys\natexit.register(lambda: [db.insert(f'{i:05}', {'i': i}) for i in range(20000)])\n"
    "import quillmere\ndb = getattr(quillmere, sys.argv[2])(sys.argv[1])\n",
    "logging.shutdown flushing a MemoryHandler into the store": "import logging, logging.handlers, sys\n"
    + WRITE + "import quillmere\ndb = getattr(quillmere, sys.argv[2])(sys.argv[1])\n"
    "class Store(logging.Handler):\n    def emit(self, record):\n"
    "        db.insert(record.getMessage(), {'i': int(record.getMessage())})\n"
    "log = logging.getLogger('q')\nlog.addHandler(logging.handlers.MemoryHandler(10**6, target=Store()))\n"
    "for i in range(20000):\n    log.warning(f'{i:05}')\n",
}


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("ending", LATE_WRITERS)
def test_writes_made_during_the_exit_are_all_committed(db_path, cls, ending):
    run = run_python(LATE_WRITERS[ending], db_path, cls)
    assert (run.returncode, run.stderr) == (0, "")
    assert stored_documents(db_path) == {f"{i:05}": f'{{"i":{i}}}'.encode() for i in range(20000)}


FORKED = """
import json, os, sys
import quillmere
db = getattr(quillmere, sys.argv[2])(sys.argv[1])
db.insert("parent", {})
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    outcome = {}
    for step in filter(None, sys.argv[3].split(",")):
        try:
            outcome[step] = {"write": lambda: db.insert("child", {}), "close": db.close_engine,
                             "read": lambda: db.get("parent")}[step]()
        except RuntimeError as error:
            outcome[step] = str(error)
    os.write(write, json.dumps(outcome).encode())
    sys.exit(0)
os.close(write)
_, status = os.waitpid(pid, 0)
outcome = json.loads(os.read(read, 10000))
db.insert("after", {})
db.close_engine()
print(json.dumps({"status": status, "child": outcome, "parent": [db.get("parent"), db.get("after")]}))
"""


@forks_beside_allocating_threads
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("steps", ["", "write,close", "write", "read"])
def test_an_engine_carried_into_a_forked_child_refuses_it_and_leaves_the_parent_alone(db_path, cls, steps):
    run = run_python(FORKED, db_path, cls, steps, timeout=60)
    assert (run.returncode, run.stderr) == (0, "")
    outcome = json.loads(run.stdout)
    assert outcome == {"status": 0, "child": {step: FOREIGN for step in filter(None, steps.split(","))},
                       "parent": [{}, {}]}
    assert stored_documents(db_path) == {"parent": b"{}", "after": b"{}"}


# A parent whose store (or Python's sqlite3) is kept busy by the threads named by sys.argv[3]
# (none for "writer") forks children that each open an engine of their own on sys.argv[1] + ".N",
# write {"n": N} under "child" and close it. Each child has sys.argv[4] seconds after the last fork.
OWN_ENGINE_IN_CHILD = """
import json, multiprocessing, os, sqlite3, sys, threading, time, traceback, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside threads, from Python 3.12 on
import quillmere
path, cls, busy, deadline = sys.argv[1], getattr(quillmere, sys.argv[2]), sys.argv[3], float(sys.argv[4])
def use_own_engine(n):
    own = cls(f"{path}.{n}")
    own.insert("child", {"n": n})
    own.close_engine()
    return n
db, stop = cls(path), threading.Event()
def bulk_insert(n=0):
    while not stop.is_set():
        db.insert_many([(f"{n}:{i}", {"i": i}) for i in range(2000)])
        n += 1
def write():
    while not stop.is_set():
        db.insert("thread", {"t": time.time()})
def read():
    while not stop.is_set():
        db.get("thread"), db.get_many(["thread", "none"]), db.scan_prefix("t")
def use_sqlite3():  # Python's own sqlite3 module, allocating in the same SQLite library
    connection = sqlite3.connect(":memory:")
    while not stop.is_set():
        connection.execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 20000) "
                           "SELECT sum(length(printf('%d', x))) FROM c").fetchone()
    connection.close()
threads = [threading.Thread(target=work) for work in {"writer": [], "threads": [write, read],
                                                      "sqlite3": [use_sqlite3], "bulk": [bulk_insert]}[busy]]
for thread in threads:
    thread.start()
def finish(outcome):
    stop.set()
    for thread in threads:
        thread.join()
    db.close_engine()
    print(json.dumps(outcome))
"""

# 30 forks; with "writer", each right after a bulk insert that the parent's writer then drains.
# The outcome: the children that hung, and those that failed.
FORKS = OWN_ENGINE_IN_CHILD + """
children = {}
for n in range(30):
    if busy == "writer":
        db.insert_many([(f"{n}:{i}", {"i": i}) for i in range(2000)])
    else:
        time.sleep(0.01)  # the threads get the interpreter lock between forks
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = use_own_engine(n) * 0
        except BaseException:
            traceback.print_exc()
        os._exit(code)
    children[n] = pid
exits, end = {}, time.monotonic() + deadline
while len(exits) < len(children) and time.monotonic() < end:
    for n, pid in children.items():
        if n not in exits and (status := os.waitpid(pid, os.WNOHANG))[0]:
            exits[n] = os.waitstatus_to_exitcode(status[1])
    time.sleep(0.05)
hung = sorted(children.keys() - exits.keys())
for n in hung:
    os.kill(children[n], 9)
    os.waitpid(children[n], 0)
finish({"hung": hung, "failed": sorted(n for n, code in exits.items() if code)})
"""

# 40 tasks on a fork Pool whose every worker does one; the outcome: the tasks finished in time.
POOL = OWN_ENGINE_IN_CHILD + """
with multiprocessing.get_context("fork").Pool(4, maxtasksperchild=1) as pool:
    results, end, done = [pool.apply_async(use_own_engine, (n,)) for n in range(40)], time.monotonic() + deadline, []
    for result in results:
        try:
            done.append(result.get(timeout=max(0.0, end - time.monotonic())))
        except multiprocessing.TimeoutError:
            pass
finish(done)
"""


def child_writes(path, count):
    return [stored_documents(f"{path}.{n}") for n in range(count)]


@forks_beside_allocating_threads
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("busy", ["writer", "threads", "sqlite3"])
def test_a_child_forked_beside_a_busy_store_opens_and_uses_its_own_engine(db_path, cls, busy):
    run = run_python(FORKS, db_path, cls, busy, 60, timeout=600)
    assert (run.returncode, run.stderr, run.stdout) == (0, "", '{"hung": [], "failed": []}\n')
    assert child_writes(db_path, 30) == [{"child": f'{{"n":{n}}}'.encode()} for n in range(30)]


@forks_beside_allocating_threads
@pytest.mark.parametrize("cls", CLASSES)
def test_a_fork_pool_beside_a_bulk_insert_finishes_every_task(db_path, cls):
    run = run_python(POOL, db_path, cls, "bulk", 300, timeout=600)
    assert (run.returncode, run.stderr, run.stdout) == (0, "", f"{list(range(40))}\n")
    assert child_writes(db_path, 40) == [{"child": f'{{"n":{n}}}'.encode()} for n in range(40)]


MULTIPROCESSING = """
import atexit, multiprocessing, os, sys, threading
import quillmere

def child(path, name):
    db = getattr(quillmere, name)(path)
    for i in range(20000):
        db.insert(f"{i:05}", {"i": i})
    atexit.register(lambda: db.insert("atexit", {}))  # runs only in a child that exits normally
    # A thread still writing when the child returns: what it was told is queued is kept, and
    # a child ended by os._exit tells it why nothing more is once it waits for the writers.
    def late():
        with open(path + ".late", "w") as out:
            for i in range(20000, 60000):
                try:
                    db.insert(f"{i:05}", {"i": i})
                except RuntimeError as error:
                    print(i, error, file=out)
                    return
            print(60000, file=out)
    threading.Thread(target=late).start()

def pool_task(args):
    child(*args)

if __name__ == "__main__":
    path, name, method, how = sys.argv[1:]
    context = multiprocessing.get_context(method)
    if how == "pool":
        pool = context.Pool(1)
        pool.map(pool_task, [(path, name)])
        pool.close()
        pool.join()
    else:
        process = context.Process(target=child, args=(path, name))
        process.start()
        process.join()
        assert process.exitcode == 0, process.exitcode
    print(open(path + ".late").read(), end="")
"""


@pytest.mark.parametrize("cls, method, how", [(cls, method, "process") for cls in CLASSES
                                              for method in ("fork", "forkserver")]
                         + [("DBEngine", "forkserver", "pool"), ("DBEngine", "spawn", "process")])
def test_a_multiprocessing_child_that_returns_keeps_every_accepted_write(tmp_path, cls, method, how):
    path = str(tmp_path / "db")
    script = tmp_path / "script.py"  # forkserver and spawn children import the main module from its file
    script.write_text(MULTIPROCESSING)
    run = subprocess.run([sys.executable, str(script), path, cls, method, how], capture_output=True, text=True,
                         timeout=120)
    assert (run.returncode, run.stderr) == (0, "")
    stored = sorted(stored_documents(path))
    if method == "spawn":  # it exits as any interpreter does: the late thread and atexit are waited for
        assert (run.stdout, stored) == ("60000\n", [f"{i:05}" for i in range(60000)] + ["atexit"])
        return
    late, *message = run.stdout.split(" ", 1)
    assert message in ([], [SHUTTING_DOWN + "\n"])  # the thread may have finished before the wait
    assert stored == [f"{i:05}" for i in range(int(late))]


SUBINTERPRETER = """
import sys, _testcapi
import quillmere
db = quillmere.DBEngine(sys.argv[1])
code = "try:\\n    import quillmere\\nexcept ImportError as error:\\n    print(error)\\n"
assert _testcapi.run_in_subinterp(code) == 0
db.insert("after", {})
print(db.close_engine())
"""


def test_a_subinterpreter_is_refused_and_leaves_the_main_engines_alone(db_path):
    pytest.importorskip("_testcapi")
    run = run_python(SUBINTERPRETER, db_path)
    assert (run.stdout, run.stderr) == (
        "module quillmere.quillmere does not support loading in subinterpreters\nNone\n", "")
    assert stored_documents(db_path) == {"after": b"{}"}


# A thread of the program holds the store's write lock for a moment, while the main thread
# writes more than the queue holds and closes: the writes and the close wait without holding
# the interpreter lock, so the thread gets to let go before the writer's 5 s busy timeout.
# With an interrupt, the thread raises SIGINT while it holds the lock, which the waiting write
# must let through.
HELD_WRITE_LOCK = """
import json, signal, sqlite3, sys, threading, time
import quillmere
cls, how = getattr(quillmere, sys.argv[2]), sys.argv[3]
db = cls(sys.argv[1]) if cls is quillmere.DBEngine else cls(sys.argv[1], enable_logging=True)
db.insert("seed", {})
while db.get("seed") is None:
    time.sleep(0.005)
held = threading.Event()
def hold_write_lock():
    blocker = sqlite3.connect(sys.argv[1], isolation_level=None, check_same_thread=False)
    blocker.execute("BEGIN IMMEDIATE")
    held.set()
    time.sleep(0.5)
    if how != "wait":
        signal.raise_signal(signal.SIGINT)
        time.sleep(0.5)
    blocker.execute("ROLLBACK")
threading.Thread(target=hold_write_lock).start()
held.wait()
count, interrupted = 0, False
try:
    if how == "bulk":
        db.insert_many([(f"{i:05}", {}) for i in range(40000)])
        count = 40000
    else:
        while count < 40000:
            db.insert(f"{count:05}", {})
            count += 1
except KeyboardInterrupt:
    interrupted = True
print(json.dumps({"count": count, "interrupted": interrupted, "close": db.close_engine()}))
"""


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("how", ["wait", "interrupt", "bulk"])
def test_writes_wait_for_a_full_queue_without_the_interpreter_lock(db_path, cls, how):
    run = run_python(HELD_WRITE_LOCK, db_path, cls, how, timeout=60)
    assert (run.returncode, run.stderr) == (0, "")
    outcome = json.loads(run.stdout)
    ids = sorted(stored_documents(db_path).keys() - {"seed"})
    assert outcome["close"] is None and ids == [f"{i:05}" for i in range(len(ids))]
    if how == "wait":
        assert (outcome, len(ids)) == ({"count": 40000, "interrupted": False, "close": None}, 40000)
        return
    # Ctrl+C got through to a write waiting for room: nothing of that write is queued. A
    # single insert may have returned just before (one more stored than counted).
    assert outcome["interrupted"] and len(ids) < 40000
    if how == "interrupt":
        assert len(ids) - outcome["count"] in (0, 1)
    if cls == "DBEngineWebServer":  # only queued records are logged, in order (a full log channel drops some)
        with open(db_path + ".jsonl") as log:
            logged = [json.loads(line)["id"] for line in log]
        assert logged[0] == "seed" and set(logged) <= {"seed", *ids} and logged[1:] == sorted(set(logged[1:]))


# Every place for the interpreter's own exit functions is taken before the import.
EXIT_FUNCTIONS_TAKEN = """
import ctypes
harmless = ctypes.c_void_p(ctypes.cast(ctypes.CDLL(None).getpid, ctypes.c_void_p).value)
while ctypes.pythonapi.Py_AtExit(harmless) == 0:
    pass
try:
    import quillmere
except RuntimeError as error:
    print(error)
"""


def test_an_import_that_cannot_have_the_exit_wait_for_the_writers_raises():
    run = run_python(EXIT_FUNCTIONS_TAKEN)
    assert (run.returncode, run.stdout, run.stderr) == (0, (
        "Cannot have the process wait for the engines' writers before it ends: no more exit functions can be "
        "registered\n"), "")
