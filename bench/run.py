"""Runs every workload for quillmere and every peer in one run, prints the
tables, and writes bench/results.json and bench/results.png.

    python -m bench.run [--quick] [--work-dir DIR]

--quick (or QUICK=1 with `make bench`) uses small sizes, for a smoke run.
"""

import argparse
import gc
import os
import sys
import tempfile
import time
from pathlib import Path

from bench.audit_log import audit_log
from bench.chart import draw_chart
from bench.conversion import conversion_workloads
from bench.datasets import cities, synthetic
from bench.machine import describe_machine
from bench.memory import measure_memory
from bench.peers import load_peers
from bench.report import machine_line, text_report, write_json
from bench.sizes import FULL, QUICK
from bench.targets import evaluate
from bench.web_server import wal_replay
from bench.workloads import store_workloads

OUTPUT = Path(__file__).parent


def progress(message):
    print(message, file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument(
        "--work-dir", help="where the stores are made (default: the system's temporary folder)"
    )
    arguments = parser.parse_args()
    sizes = QUICK if arguments.quick else FULL
    machine = describe_machine()
    peers, notes = load_peers()
    notes += list(dict.fromkeys(note for peer in peers for note in peer.notes))
    if arguments.quick:
        notes.append("quick run: small sizes, not for comparison")
    datasets = [
        synthetic(sizes.synthetic_docs, sizes.seed, sizes.filter_queries),
        cities(sizes.cities_docs, sizes.filter_queries),
    ]
    # The data sets are the run's input, not the measured work: frozen out of
    # the collector's walks, a collection costs what the measured calls
    # allocated rather than a walk over every record of every data set.
    gc.collect()
    gc.freeze()
    notes.append("the data sets are frozen out of Python's garbage collector (gc.freeze), "
                 "which stays enabled for every store and library")
    measurements = []
    with tempfile.TemporaryDirectory(prefix="quillmere-bench-", dir=arguments.work_dir) as work:
        work = Path(work)
        for dataset in datasets:
            for peer in peers:
                started = time.perf_counter()
                try:
                    measurements += store_workloads(peer, dataset, sizes, work / dataset.name / peer.__name__)
                except Exception as error:  # the run goes on with the other peers
                    notes.append(f"{peer.name} on {dataset.name}: stopped by {error!r}")
                    progress(notes[-1])
                progress(f"{dataset.name}: {peer.name} took {time.perf_counter() - started:.1f} s")
            measurements += conversion_workloads(dataset, sizes, work / dataset.name / "conversion")
            progress(f"{dataset.name}: conversion done")
            if dataset.name == "synthetic":
                started = time.perf_counter()
                try:
                    measurements.append(wal_replay(dataset, sizes.wal_frames, sizes.seed, work / "wal-replay"))
                except Exception as error:  # the run goes on without this figure
                    notes.append(f"WAL replay: stopped by {error!r}")
                    progress(notes[-1])
                progress(f"WAL replay of {sizes.wal_frames:,} frames took {time.perf_counter() - started:.1f} s")
        try:
            measurements += audit_log(work / "audit-log", sizes.audit_batches, sizes.audit_singles)
        except Exception as error:  # the run goes on without these figures
            notes.append(f"audit log: stopped by {error!r}")
            progress(notes[-1])
        progress("audit log done")
        memory = measure_memory(work / "memory", sizes.memory_docs, sizes.memory_chunk, sizes.seed)
        progress("memory done")
    machine["load_average_at_end"] = os.getloadavg()[0]
    sizes_by_dataset = {dataset.name: len(dataset.records) for dataset in datasets}
    targets = evaluate(measurements, list(sizes_by_dataset))
    print(text_report(measurements, sizes_by_dataset, targets, memory, machine, notes, sizes.wal_frames))
    write_json(
        OUTPUT / "results.json", measurements, sizes_by_dataset, targets, memory, machine, notes, sizes
    )
    draw_chart(
        OUTPUT / "results.png", measurements, list(sizes_by_dataset), targets, memory, machine_line(machine)
    )


if __name__ == "__main__":
    main()
