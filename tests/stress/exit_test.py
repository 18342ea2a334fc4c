"""Exit and release: interpreters that end while an engine still has work.

Three scripts, each run many times:
  released  queues writes, releases the DBEngine at once (no close_engine)
            and lets the interpreter exit while the detached writer drains;
  applying  queues a large insert_many and falls off the end of the script
            while the writer is still applying it;
  reading   exits while daemon threads are inside reads, without the
            interpreter lock.
Every run must exit with code 0, print nothing on standard error and end
within the time limit; afterwards the file must open, pass the integrity
check and hold a prefix of the queued documents in queue order.

    python tests/stress/exit_test.py [--runs 200] [--jobs 4]
"""

import argparse
import os
import sqlite3
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

TIME_LIMIT = 60

RELEASED = """
import sys
from quillmere import DBEngine
db = DBEngine(sys.argv[1])
for i in range(int(sys.argv[2])):
    db.insert(f"doc{i:06}", {"i": i, "tags": ["x", "y"], "pad": "p" * 200})
del db
"""

APPLYING = """
import sys
from quillmere import DBEngine
db = DBEngine(sys.argv[1])
count = int(sys.argv[2])
db.insert_many([(f"doc{i:06}", {"i": i, "tags": ["x", "y"], "pad": "p" * 200}) for i in range(count)])
"""

READING = """
import sys, threading, time
from quillmere import DBEngine
db = DBEngine(sys.argv[1])
count = int(sys.argv[2])
db.insert_many([(f"doc{i:06}", {"i": i, "tags": ["x", "y"]}) for i in range(count)])
db.close_engine()
calls = [0]
def reader(read):
    while True:
        read()
        calls[0] += 1
for read in (lambda: db.get_many(["absent"] * 5000), lambda: db.scan_prefix("doc00"),
             lambda: db.filter_by_metadata("tags.0", "x"), lambda: db.get("doc000001")):
    threading.Thread(target=reader, args=(read,), daemon=True).start()
deadline = time.monotonic() + 30
while calls[0] < 20 and time.monotonic() < deadline:
    time.sleep(0.005)
"""

SCRIPTS = {"released": (RELEASED, 3000), "applying": (APPLYING, 30000), "reading": (READING, 2000)}


def check_file(path, count):
    connection = sqlite3.connect(path)
    try:
        integrity = connection.execute("PRAGMA integrity_check").fetchall()
        ids = [row[0] for row in connection.execute("SELECT id FROM documents ORDER BY id")]
        indexed = connection.execute("SELECT count(DISTINCT id) FROM metadata_index").fetchone()[0]
    finally:
        connection.close()
    if integrity != [("ok",)]:
        return f"integrity_check gave {integrity!r}"
    if ids != [f"doc{i:06}" for i in range(len(ids))] or len(ids) > count:
        return f"the stored ids are not a prefix of the queued ones ({len(ids)} stored)"
    if indexed != len(ids):
        return f"{indexed} ids in the index for {len(ids)} documents"
    return None


def run_once(name, run, workdir):
    script, count = SCRIPTS[name]
    path = os.path.join(workdir, f"{name}{run}.db")
    try:
        result = subprocess.run([sys.executable, "-c", script, path, str(count)],
                                capture_output=True, text=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        return f"{name} run {run}: no exit within {TIME_LIMIT} s"
    if result.returncode != 0 or result.stderr:
        return f"{name} run {run}: exit code {result.returncode}, stderr {result.stderr[-2000:]!r}"
    problem = check_file(path, count)
    if problem:
        return f"{name} run {run}: {problem}"
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.unlink(path + suffix)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--jobs", type=int, default=4)
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="quillmere_exit_")
    jobs = [(name, run) for run in range(args.runs) for name in SCRIPTS]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        failures = [f for f in pool.map(lambda job: run_once(*job, workdir), jobs) if f]
    for failure in failures:
        print(failure)
    for name in SCRIPTS:
        failed = sum(1 for f in failures if f.startswith(name + " "))
        print(f"exit test, {name}: {args.runs - failed} passed, {failed} failed")
    if not failures:
        os.rmdir(workdir)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
