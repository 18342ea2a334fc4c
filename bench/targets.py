"""The speed targets: ratios of two throughputs measured in the same run."""

from dataclasses import dataclass

from bench.conversion import DICT_TO_DOCUMENT, DOCUMENT_TO_DICT
from bench.workloads import BULK, FILTERS, GET, threads_workload

QUILLMERE = "quillmere"


@dataclass(frozen=True)
class Target:
    label: str
    workload: str  # quillmere's figure
    baseline_workload: str
    baseline_subject: str
    minimum: float  # the ratio quillmere / baseline must reach


TARGETS = (
    Target("bulk insert vs sqlite3+json", BULK, BULK, "sqlite3+json", 1.0),
    Target("bulk insert vs sqlite3+json+index", BULK, BULK, "sqlite3+json+index", 4.0),
    Target("random get vs lmdb+json", GET, GET, "lmdb+json", 1.2),
    Target("filter 1% vs sqlite3+json+index", FILTERS["1%"], FILTERS["1%"], "sqlite3+json+index", 2.0),
    Target("dict -> document vs json.dumps", DICT_TO_DOCUMENT, DICT_TO_DOCUMENT, "json", 2.0),
    Target("dict -> document vs orjson.dumps", DICT_TO_DOCUMENT, DICT_TO_DOCUMENT, "orjson", 0.8),
    Target("document -> dict vs json.loads", DOCUMENT_TO_DICT, DOCUMENT_TO_DICT, "json", 1.0),
    Target("document -> dict vs orjson.loads", DOCUMENT_TO_DICT, DOCUMENT_TO_DICT, "orjson", 0.8),
    Target("get from 4 threads vs 1 thread", threads_workload(4), threads_workload(1), QUILLMERE, 2.5),
)


def evaluate(measurements, datasets):
    """One row per target and data set: the measured ratio and PASS or MISS
    (or "n/a" when a figure is missing, for example a peer that did not run)."""
    rates = {(m.dataset, m.workload, m.subject): m.rate for m in measurements}
    rows = []
    for target in TARGETS:
        for dataset in datasets:
            ours = rates.get((dataset, target.workload, QUILLMERE))
            theirs = rates.get((dataset, target.baseline_workload, target.baseline_subject))
            ratio = ours / theirs if ours and theirs else None
            verdict = "n/a" if ratio is None else "PASS" if ratio >= target.minimum else "MISS"
            rows.append(
                {
                    "target": target.label,
                    "dataset": dataset,
                    "ratio": ratio,
                    "minimum": target.minimum,
                    "verdict": verdict,
                }
            )
    return rows
