"""Resident memory of quillmere while many documents go in through
insert_many in chunks: the bounded write queue should keep it flat.

The measurement runs in a child process (`python -m bench.memory PATH COUNT
CHUNK SEED`), so that the figures hold only this workload. The child makes
each chunk of synthetic documents just before it inserts it, and prints one
JSON object: the resident set (VmRSS) and its peak so far (VmHWM) at the
start, after every tenth of the documents, and after close_engine.
"""

import itertools
import json
import subprocess
import sys
import time

from bench.datasets import synthetic_records


def memory_status():
    """(resident MiB, peak resident MiB) of this process."""
    fields = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value
    return int(fields["VmRSS"].split()[0]) / 1024, int(fields["VmHWM"].split()[0]) / 1024


def measure_memory(directory, count, chunk, seed):
    directory.mkdir(parents=True)
    command = [
        sys.executable,
        "-m",
        "bench.memory",
        str(directory / "memory.db"),
        str(count),
        str(chunk),
        str(seed),
    ]
    return json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)


def checkpoint(label, documents, started):
    resident, peak = memory_status()
    return {
        "at": label,
        "documents": documents,
        "rss_mib": resident,
        "peak_mib": peak,
        "seconds": time.perf_counter() - started,
    }


def main(path, count, chunk, seed):
    from quillmere import DBEngine

    records = synthetic_records(count, seed)
    engine = DBEngine(path)
    started = time.perf_counter()
    checkpoints = [checkpoint("start", 0, started)]
    every = max(count // 10, chunk)
    written = 0
    while batch := list(itertools.islice(records, chunk)):
        engine.insert_many(batch)
        written += len(batch)
        if written % every == 0:
            checkpoints.append(checkpoint("queued", written, started))
    engine.close_engine()
    checkpoints.append(checkpoint("closed", written, started))
    json.dump({"documents": written, "chunk": chunk, "checkpoints": checkpoints}, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))
