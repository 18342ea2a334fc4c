"""Interpreters that end while an engine still has work: "released" queues
single inserts and drops the engine without close_engine; "end", "sys-exit",
"uncaught" and "del" queue one large insert_many and then fall off the end,
call sys.exit(0), raise, or `del db`; "reading" exits while daemon threads are
inside reads. Every accepted write must be in the file every time, and the
process must end with its expected code and standard error.

    python tests/stress/exit_test.py [--runs 50] [--jobs 4] [--modes end,del]
"""

import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

from model import finish, options, read_file

TIME_LIMIT = 120
WRITE = """import sys, threading, time
from quillmere import DBEngine
db, count = DBEngine(sys.argv[1]), int(sys.argv[2])
"""
BATCH = WRITE + 'db.insert_many([(f"doc{i:06}", {"i": i, "tags": ["x"]}) for i in range(count)])\n'
READING = BATCH + """db.close_engine()
calls = []
def reader(read):
    while True:
        read()
        calls.append(1)
for read in (lambda: db.get_many(["absent"] * 5000), lambda: db.scan_prefix("doc00"),
             lambda: db.filter_by_metadata("tags.0", "x"), lambda: db.get("doc000001")):
    threading.Thread(target=reader, args=(read,), daemon=True).start()
while len(calls) < 20:
    time.sleep(0.005)
"""
# mode -> (script, documents, exit code, standard error)
MODES = {
    "released": (WRITE + 'for i in range(count):\n    db.insert(f"doc{i:06}", {"i": i, "tags": ["x"]})\ndel db\n',
                 3000, 0, ""),
    "end": (BATCH, 200_000, 0, ""),
    "sys-exit": (BATCH + "sys.exit(0)\n", 200_000, 0, ""),
    "uncaught": (BATCH + "raise ValueError('boom')\n", 200_000, 1, "ValueError: boom\n"),
    "del": (BATCH + "del db\n", 200_000, 0, ""),
    "reading": (READING, 2000, 0, ""),
}


def run_once(name, run, workdir, count=None):
    """None when a run of the mode exits as expected with all its documents stored."""
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
    integrity, documents, pairs = read_file(path)
    ids = [f"doc{i:06}" for i in range(count)]
    expected = {("tags.0.x", doc_id) for doc_id in ids} | {(f"i.{i}", doc_id) for i, doc_id in enumerate(ids)}
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.unlink(path + suffix)
    if integrity != [("ok",)] or sorted(documents) != ids or pairs != expected:
        return f"{name} run {run}: {integrity}, {len(documents)} of {count} documents, {len(pairs)} index pairs"
    return None


def main():
    args = options(runs=50, jobs=4, modes=",".join(MODES))
    workdir = tempfile.mkdtemp(prefix="quillmere_exit_")
    jobs = [(name, run) for run in range(args.runs) for name in args.modes.split(",")]
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        finish("exit test", [f for f in pool.map(lambda job: run_once(*job, workdir), jobs) if f], f"{len(jobs)} runs", workdir)


if __name__ == "__main__":
    main()
