"""The speed targets: ratios of two throughputs measured in the same run."""

from dataclasses import dataclass

from bench.conversion import DICT_TO_DOCUMENT, DOCUMENT_TO_DICT
from bench.peers.quillmere_wal import WAL_SUBJECT
from bench.web_server import BACKUP, DEEP_PAGE, FIRST_PAGE, SCAN_ALL, WAL_REPLAY
from bench.workloads import BULK, FILTERS, GET, GET_MANY, MANY, SCAN, SINGLE, threads_workload

QUILLMERE = "quillmere"
OURS = (QUILLMERE, WAL_SUBJECT)  # the subjects that are quillmere itself, not peers
EVERY_PEER = "every peer"  # baseline: the best figure of any peer on the workload


@dataclass(frozen=True)
class Target:
    label: str
    workload: str  # the measured figure
    baseline_workload: str
    baseline_subject: str  # a subject, or EVERY_PEER
    minimum: float | None  # the ratio figure / baseline must reach this, if set
    maximum: float | None = None  # and stay at or below this, if set
    subject: str = QUILLMERE  # whose figure is measured
    datasets: tuple | None = None  # the data sets it applies to (None: every one)

    def needed(self):
        if self.minimum is not None and self.maximum is not None:
            return f"{self.minimum}x-{self.maximum}x"
        return f">= {self.minimum}x" if self.maximum is None else f"<= {self.maximum}x"

    def met(self, ratio):
        return (self.minimum is None or ratio >= self.minimum) and (
            self.maximum is None or ratio <= self.maximum
        )


def wal_vs_engine(label, workload, minimum, maximum=None):
    return Target(label, workload, workload, QUILLMERE, minimum, maximum, subject=WAL_SUBJECT)


TARGETS = (
    Target("bulk insert vs sqlite3+json", BULK, BULK, "sqlite3+json", 1.0),
    Target("bulk insert vs sqlite3+json+index", BULK, BULK, "sqlite3+json+index", 4.0),
    Target("random get vs lmdb+json", GET, GET, "lmdb+json", 1.5),
    Target("filter 1% vs sqlite3+json+index", FILTERS["1%"], FILTERS["1%"], "sqlite3+json+index", 4.0),
    Target("dict -> document vs json.dumps", DICT_TO_DOCUMENT, DICT_TO_DOCUMENT, "json", 2.0),
    Target("dict -> document vs orjson.dumps", DICT_TO_DOCUMENT, DICT_TO_DOCUMENT, "orjson", 0.8),
    Target("document -> dict vs json.loads", DOCUMENT_TO_DICT, DOCUMENT_TO_DICT, "json", 1.0),
    Target("document -> dict vs orjson.loads", DOCUMENT_TO_DICT, DOCUMENT_TO_DICT, "orjson", 0.8),
    *(
        Target(f"get from {count} threads vs best peer", workload, workload, EVERY_PEER, 1.0)
        for count in (2, 4)
        for workload in [threads_workload(count)]
    ),
    Target(
        "get_many 100 from 4 threads vs 1 thread",
        threads_workload(4, MANY),
        threads_workload(1, MANY),
        QUILLMERE,
        1.0,
    ),
    wal_vs_engine("WAL: bulk insert vs DBEngine", BULK, 0.85),
    wal_vs_engine("WAL: single inserts vs DBEngine", SINGLE, 0.85),
    wal_vs_engine("WAL: random get vs DBEngine", GET, 0.9, 1.1),
    wal_vs_engine("WAL: get_many 100 vs DBEngine", GET_MANY, 0.9, 1.1),
    wal_vs_engine("WAL: scan_prefix 10% vs DBEngine", SCAN, 0.9, 1.1),
    Target(
        "WAL: first page / page 90% deep (1%)",
        FIRST_PAGE,
        DEEP_PAGE,
        WAL_SUBJECT,
        None,
        3.0,
        subject=WAL_SUBJECT,
    ),
    Target(
        "WAL: replay vs DBEngine bulk insert",
        WAL_REPLAY,
        BULK,
        QUILLMERE,
        1.0,
        subject=WAL_SUBJECT,
        datasets=("synthetic",),
    ),
    Target('WAL: backup vs scan_prefix("")', BACKUP, SCAN_ALL, WAL_SUBJECT, 1.0, subject=WAL_SUBJECT),
)


def baseline_rate(rates, dataset, target):
    """The baseline's figure; for EVERY_PEER, the best peer's (and which)."""
    if target.baseline_subject != EVERY_PEER:
        return rates.get((dataset, target.baseline_workload, target.baseline_subject)), None
    figures = {
        subject: rate
        for (where, workload, subject), rate in rates.items()
        if where == dataset and workload == target.baseline_workload and subject not in OURS
    }
    if not figures:
        return None, None
    best = max(figures, key=figures.get)
    return figures[best], best


def evaluate(measurements, datasets):
    """One row per target and data set: the measured ratio and PASS or MISS
    (or "n/a" when a figure is missing, for example a peer that did not run)."""
    rates = {(m.dataset, m.workload, m.subject): m.rate for m in measurements}
    rows = []
    for target in TARGETS:
        for dataset in datasets:
            if target.datasets is not None and dataset not in target.datasets:
                continue
            ours = rates.get((dataset, target.workload, target.subject))
            theirs, best_peer = baseline_rate(rates, dataset, target)
            ratio = ours / theirs if ours and theirs else None
            verdict = "n/a" if ratio is None else "PASS" if target.met(ratio) else "MISS"
            rows.append(
                {
                    "target": target.label + (f" ({best_peer})" if best_peer else ""),
                    "dataset": dataset,
                    "ratio": ratio,
                    "minimum": target.minimum,
                    "maximum": target.maximum,
                    "needed": target.needed(),
                    "verdict": verdict,
                }
            )
    return rows
