"""Interpreters ending while an engine has work (MODES: released without close_engine, also
with another engine made while it drains; after a
large insert_many, the script's end, sys.exit, an uncaught exception, del, Ctrl+C (an uncaught
KeyboardInterrupt, raised or from a real SIGINT); daemon threads in reads; a backup queued at the
end, also followed by Ctrl+C; DAEMON_WRITERS: daemon threads writing to either class through the script's end or
sys.exit): every accepted write is in the file every time, exit code and stderr as expected."""

import glob
import os
import signal
import subprocess
import sys
import tempfile

from model import finish, options, read_file, run_job, run_jobs

WRITE = """import sys, threading, time
from quillmere import DBEngine
db, count, pad = DBEngine(sys.argv[1]), int(sys.argv[2]), "p" * int(sys.argv[3])
"""
# A pad gives the writer work left at the exit even for a small count.
BATCH = WRITE + 'db.insert_many([(f"doc{i:06}", {"i": i, "tags": ["x"], **({"pad": pad} if pad else {})}) for i in range(count)])\n'
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
# A backup queued behind the batch: it opens a store of its own while the process waits.
BACKUP = BATCH.replace("DBEngine", "DBEngineWebServer") + 'db.trigger_backup(sys.argv[1] + ".backup")\n'
# Python ends an uncaught KeyboardInterrupt by killing itself with SIGINT once it has finalized.
INTERRUPTED = (-signal.SIGINT, "KeyboardInterrupt\n")
RELEASED = WRITE + 'for i in range(count):\n    db.insert(f"doc{i:06}", {"i": i, "tags": ["x"]})\ndel db\n'
# mode -> (script, documents, exit code, standard error)
MODES = {
    "released": (RELEASED, 3000, 0, ""),
    # Another engine is made while the released one still drains its queue.
    "released-then-another": (RELEASED + 'other = DBEngine(sys.argv[1] + "-other")\n', 20_000, 0, ""),
    "end": (BATCH, 200_000, 0, ""),
    "sys-exit": (BATCH + "sys.exit(0)\n", 200_000, 0, ""),
    "uncaught": (BATCH + "raise ValueError('boom')\n", 200_000, 1, "ValueError: boom\n"),
    "del": (BATCH + "del db\n", 200_000, 0, ""),
    "reading": (READING, 2000, 0, ""),
    "backup": (BACKUP, 200_000, 0, ""),
    "interrupt": (BATCH + "raise KeyboardInterrupt\n", 200_000, *INTERRUPTED),
    "sigint": (BATCH + "import os, signal\nos.kill(os.getpid(), signal.SIGINT)\ntime.sleep(60)\n", 200_000,
               *INTERRUPTED),
    "backup-interrupt": (BACKUP + "raise KeyboardInterrupt\n", 200_000, *INTERRUPTED),
}


# Four daemon threads insert until the process ends; each id whose insert returned is then
# appended to a side file, so the file names writes that were accepted (a thread stopped by
# the exit between the two may leave one accepted write unnamed).
DAEMON_WRITING = """import os, sys, threading, time
import quillmere
db = getattr(quillmere, sys.argv[2])(sys.argv[1])
returned = os.open(sys.argv[1] + ".returned", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
def writer(t):
    for i in range(10**9):
        db.insert(f"t{t}-{i:07}", {"i": i})
        os.write(returned, f"t{t}-{i:07}\\n".encode())
for t in range(4):
    threading.Thread(target=writer, args=(t,), daemon=True).start()
time.sleep(0.3)
"""
# mode -> (class, script)
DAEMON_WRITERS = {f"daemon-{cls}-{end}": (cls, DAEMON_WRITING + tail)
                  for cls in ("DBEngine", "DBEngineWebServer") for end, tail in (("end", ""), ("exit", "sys.exit(0)\n"))}


def run_daemon_writers_once(name, run, workdir):
    """None when every write named in the side file is stored after a run of the mode."""
    cls, script = DAEMON_WRITERS[name]
    path = os.path.join(workdir, f"{name}{run}.db")
    try:
        result = subprocess.run([sys.executable, "-c", script, path, cls], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return f"{name} run {run}: no exit within 120 s"
    if (result.returncode, result.stderr) != (0, ""):
        return f"{name} run {run}: exit code {result.returncode}, stderr {result.stderr[-2000:]!r}"
    with open(path + ".returned") as names:
        accepted = names.read().split()
    documents, _ = read_file(path)
    for leftover in glob.glob(path + "*"):
        os.unlink(leftover)
    lost = set(accepted) - set(documents)
    if not accepted or lost:
        return f"{name} run {run}: {len(lost)} of {len(accepted)} accepted writes lost, e.g. {sorted(lost)[:3]}"
    return None


def run_once(name, run, workdir, count=None, pad=0):
    """None when a run of the mode exits as expected with all its documents stored (batches
    padded with a string of `pad` characters)."""
    script, default_count, code, stderr_end = MODES[name]
    count = count or default_count
    path = os.path.join(workdir, f"{name}{run}.db")
    try:
        result = subprocess.run([sys.executable, "-c", script, path, str(count), str(pad)],
                                capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return f"{name} run {run}: no exit within 120 s"
    if result.returncode != code or not result.stderr.endswith(stderr_end) or (not stderr_end and result.stderr):
        return f"{name} run {run}: exit code {result.returncode}, stderr {result.stderr[-2000:]!r}"
    ids = [f"doc{i:06}" for i in range(count)]
    expected = {("tags.0.x", doc_id) for doc_id in ids} | {(f"i.{i}", doc_id) for i, doc_id in enumerate(ids)}
    if pad and "insert_many" in script:
        expected |= {("pad." + "p" * pad, doc_id) for doc_id in ids}
    # The backup holds every write queued before it.
    for checked in [path] + ([path + ".backup"] if "trigger_backup" in script else []):
        documents, pairs = read_file(checked)
        if sorted(documents) != ids or pairs != expected:
            return f"{name} run {run}: {checked}: {len(documents)} of {count} documents, {len(pairs)} index pairs"
    for leftover in glob.glob(path + "*"):
        os.unlink(leftover)
    return None


if __name__ == "__main__" and sys.argv[1:2] == ["--job"]:
    run_job()
elif __name__ == "__main__":  # each run checked in a process of its own
    args = options(runs=50, jobs=4, modes=",".join([*MODES, *DAEMON_WRITERS]))
    workdir = tempfile.mkdtemp(prefix="quillmere_exit_")
    jobs = {f"{name} run {run}": ["run_daemon_writers_once" if name in DAEMON_WRITERS else "run_once", name, run, workdir]
            for run in range(args.runs) for name in args.modes.split(",")}
    finish("exit test", run_jobs(jobs, args.jobs), f"{len(jobs)} runs", workdir)

