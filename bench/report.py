"""The results of a run as text (Markdown tables on standard output) and as
bench/results.json."""

import json
from dataclasses import asdict

from bench.audit_log import AUDIT_LOG_WORKLOADS, DATASET as AUDIT_DATASET
from bench.conversion import CONVERSION_WORKLOADS
from bench.peers.quillmere_wal import WAL_SUBJECT
from bench.targets import QUILLMERE
from bench.web_server import WAL_REPLAY, WEB_SERVER_WORKLOADS
from bench.workloads import STORE_WORKLOADS, THREAD_WORKLOADS

SMALLER_STORE = "*"


def human(rate):
    for scale, suffix in ((1e6, "M"), (1e3, "k")):
        if rate >= scale:
            return f"{rate / scale:.3g}{suffix}"
    return f"{rate:.3g}"


def times(ratio):
    digits = 0 if ratio >= 100 else 1 if ratio >= 10 else 2
    return f"{ratio:,.{digits}f}x"


def markdown(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows, strict=True)]

    def line(cells):
        return (
            "| "
            + " | ".join(str(cell).ljust(width) for cell, width in zip(cells, widths, strict=True))
            + " |"
        )

    rule = "|" + "|".join("-" * (width + 2) for width in widths) + "|"
    return "\n".join([line(header), rule, *map(line, rows)])


def throughput_table(measurements, dataset, size, workloads):
    """Rows of throughput per subject, each followed by the ratio quillmere / subject.
    A figure made on a smaller store than quillmere's is marked."""
    found = {(m.workload, m.subject): m for m in measurements if m.dataset == dataset}
    subjects = list(
        dict.fromkeys(m.subject for m in measurements if m.dataset == dataset and m.workload in workloads)
    )
    rows = []
    for workload in workloads:
        ours = found.get((workload, QUILLMERE))
        if ours is None:
            continue
        rates, ratios = [], []
        for subject in subjects:
            theirs = found.get((workload, subject))
            if theirs is None:
                rates.append("")
                ratios.append("")
                continue
            rates.append(human(theirs.rate) + (SMALLER_STORE if theirs.stored < ours.stored else ""))
            ratios.append("" if subject == QUILLMERE else times(ours.rate / theirs.rate))
        rows.append([workload, ours.unit, *rates])
        rows.append(["", "quillmere / this", *ratios])
    return markdown([f"{dataset} ({size:,} docs)", "unit", *subjects], rows)


def targets_table(rows):
    return markdown(
        ["target", "data set", "ratio", "needed", "verdict"],
        [
            [
                row["target"],
                row["dataset"],
                "" if row["ratio"] is None else times(row["ratio"]),
                row["needed"],
                row["verdict"],
            ]
            for row in rows
        ],
    )


def web_server_table(measurements, sizes_by_dataset, wal_frames):
    """The workloads of DBEngineWebServer alone, one column per data set."""
    found = {(m.dataset, m.workload): m for m in measurements if m.subject == WAL_SUBJECT}
    rows = []
    for workload in WEB_SERVER_WORKLOADS:
        figures = [found.get((dataset, workload)) for dataset in sizes_by_dataset]
        if not any(figures):
            continue
        unit = next(figure.unit for figure in figures if figure)
        label = f"{workload} of {wal_frames:,} frames" if workload == WAL_REPLAY else workload
        rows.append([label, unit, *(human(figure.rate) if figure else "" for figure in figures)])
    return markdown(["DBEngineWebServer alone", "unit", *sizes_by_dataset], rows)


def audit_log_table(measurements):
    """The writer's and the log thread's rates of the audit log run."""
    found = {m.workload: m for m in measurements if m.dataset == AUDIT_DATASET}
    rows = [
        [workload, found[workload].unit, human(found[workload].rate)]
        for workload in AUDIT_LOG_WORKLOADS
        if workload in found
    ]
    lines = next(iter(found.values())).units if found else 0
    return markdown([f"audit log ({lines:,} lines, every one checked)", "unit", "rate"], rows)


def memory_table(memory):
    return markdown(
        ["documents inserted", "at", "RSS MiB", "peak RSS MiB", "seconds"],
        [
            [
                f"{point['documents']:,}",
                point["at"],
                f"{point['rss_mib']:.0f}",
                f"{point['peak_mib']:.0f}",
                f"{point['seconds']:.1f}",
            ]
            for point in memory["checkpoints"]
        ],
    )


def machine_line(machine):
    return (
        f"{machine['processor']}, {machine['cores']} cores, {machine['memory_gib']} GiB; "
        f"{machine['system']}; Python {machine['python']}, SQLite {machine['sqlite']}; "
        f"load average {machine['load_average_at_start']:.1f} at start, "
        f"{machine['load_average_at_end']:.1f} at end"
    )


def text_report(measurements, sizes_by_dataset, targets, memory, machine, notes, wal_frames):
    parts = [f"Machine: {machine_line(machine)}"]
    for dataset, size in sizes_by_dataset.items():
        parts.append(throughput_table(measurements, dataset, size, STORE_WORKLOADS))
        parts.append(throughput_table(measurements, dataset, size, THREAD_WORKLOADS))
        parts.append(throughput_table(measurements, dataset, size, CONVERSION_WORKLOADS))
    parts.append(web_server_table(measurements, sizes_by_dataset, wal_frames))
    parts.append(audit_log_table(measurements))
    parts.append("Targets\n\n" + targets_table(targets))
    parts.append(
        f"Memory: {memory['documents']:,} synthetic documents through insert_many "
        f"in chunks of {memory['chunk']:,}\n\n" + memory_table(memory)
    )
    parts.append(
        "Notes\n\n"
        + "\n".join(
            f"- {note}"
            for note in [
                f"{SMALLER_STORE} measured on a smaller store than quillmere's (see the peer's note)",
                *notes,
            ]
        )
    )
    return "\n\n".join(parts)


def write_json(path, measurements, sizes_by_dataset, targets, memory, machine, notes, run_sizes):
    results = {
        "machine": machine,
        "sizes": asdict(run_sizes),
        "datasets": sizes_by_dataset,
        "measurements": [{**asdict(m), "rate": m.rate} for m in measurements],
        "targets": targets,
        "memory": memory,
        "notes": notes,
    }
    path.write_text(json.dumps(results, indent=2) + "\n")
