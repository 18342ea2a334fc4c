"""Exit and release: interpreters that end while an engine still has work.

  released  queues single inserts, releases the DBEngine at once (no
            close_engine) and exits while the detached writer drains;
  end, sys-exit, uncaught, del
            queue one insert_many of 200,000 documents, then fall off the
            end of the script, call sys.exit(0), raise an uncaught
            exception, or `del db` before exit;
  reading   exits while daemon threads are inside reads, without the
            interpreter lock.
The interpreter waits at exit for every writer, so every accepted write must
be in the file every time (not a prefix); the process must exit with its
expected code and print nothing else on standard error.

    python tests/stress/exit_test.py [--runs 50] [--jobs 4] [--modes end,del]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from model import read_file  # noqa: E402

TIME_LIMIT = 120
WRITE = """
import sys
from quillmere import DBEngine
db = DBEngine(sys.argv[1])
count = int(sys.argv[2])
"""
BATCH = WRITE + 'db.insert_many([(f"doc{i:06}", {"i": i, "tags": ["x"]}) for i in range(count)])\n'
READING = WRITE + """import threading, time
db.insert_many([(f"doc{i:06}", {"i": i, "tags": ["x"]}) for i in range(count)])
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
# mode -> (script, documents, exit code, the end of standard error)
MODES = {
    "released": (WRITE + 'for i in range(count):\n    db.insert(f"doc{i:06}", {"i": i, "tags": ["x"]})\ndel db\n',
                 3000, 0, ""),
    "end": (BATCH, 200_000, 0, ""),
    "sys-exit": (BATCH + "sys.exit(0)\n", 200_000, 0, ""),
    "uncaught": (BATCH + "raise ValueError('boom')\n", 200_000, 1, "ValueError: boom\n"),
    "del": (BATCH + "del db\n", 200_000, 0, ""),
    "reading": (READING, 2000, 0, ""),
}


def check_file(path, count):
    """None when the file passes the integrity check and holds all `count` documents, each indexed."""
    integrity, documents, pairs = read_file(path)
    if integrity != [("ok",)]:
        return f"integrity_check gave {integrity!r}"
    if sorted(documents) != [f"doc{i:06}" for i in range(count)]:
        return f"{len(documents)} of {count} documents stored"
    if pairs != {("tags.0.x", f"doc{i:06}") for i in range(count)} | {(f"i.{i}", f"doc{i:06}") for i in range(count)}:
        return f"{len(pairs)} index pairs for {count} documents"
    return None


def run_once(name, run, workdir, count=None):
    script, default_count, code, stderr_end = MODES[name]
    count = count or default_count
    path = os.path.join(workdir, f"{name}{run}.db")
    try:
        result = subprocess.run([sys.executable, "-c", script, path, str(count)],
                                capture_output=True, text=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        return f"{name} run {run}: no exit within {TIME_LIMIT} s"
    if result.returncode != code or not result.stderr.endswith(stderr_end) or (not stderr_end and result.stderr):
        return f"{name} run {run}: exit code {result.returncode}, stderr {result.stderr[-2000:]!r}"
    problem = check_file(path, count)
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.unlink(path + suffix)
    return f"{name} run {run}: {problem}" if problem else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--modes", default=",".join(MODES))
    args = parser.parse_args()
    modes = args.modes.split(",")
    workdir = tempfile.mkdtemp(prefix="quillmere_exit_")
    started = time.monotonic()
    jobs = [(name, run) for run in range(args.runs) for name in modes]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        failures = [f for f in pool.map(lambda job: run_once(*job, workdir), jobs) if f]
    for failure in failures:
        print(failure)
    for name in modes:
        failed = sum(1 for f in failures if f.startswith(name + " "))
        print(f"exit test, {name}: {args.runs - failed} passed, {failed} failed")
    print(f"{len(jobs)} runs in {time.monotonic() - started:.0f} s")
    if not failures:
        os.rmdir(workdir)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
