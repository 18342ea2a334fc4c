"""bench/results.png: quillmere's speed relative to each peer per workload
(one panel per data set), the targets, and resident memory of the 1M-document
insert. Drawn on a bare matplotlib Figure, which renders PNG with the Agg
backend and needs no display."""

from matplotlib.figure import Figure
from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

from bench.targets import QUILLMERE
from bench.workloads import STORE_WORKLOADS


def ratio_panel(axes, measurements, dataset):
    found = {(m.workload, m.subject): m.rate for m in measurements if m.dataset == dataset}
    peers = list(
        dict.fromkeys(
            m.subject for m in measurements if m.dataset == dataset and m.workload in STORE_WORKLOADS
        )
    )
    peers.remove(QUILLMERE)
    width = 0.8 / len(peers)
    for offset, peer in enumerate(peers):
        positions, ratios = [], []
        for index, workload in enumerate(STORE_WORKLOADS):
            ours, theirs = found.get((workload, QUILLMERE)), found.get((workload, peer))
            if ours and theirs:
                positions.append(index + (offset - (len(peers) - 1) / 2) * width)
                ratios.append(ours / theirs)
        axes.bar(positions, ratios, width, label=peer)
    axes.axhline(1.0, color="black", linewidth=0.8)
    axes.set_yscale("log")
    axes.set_xticks(range(len(STORE_WORKLOADS)), STORE_WORKLOADS, rotation=20, ha="right")
    axes.set_ylabel("quillmere / peer (throughput, log scale)")
    axes.set_title(f"{dataset}: above 1 = quillmere faster")
    axes.legend(fontsize="small", ncol=2)


def targets_panel(axes, targets):
    rows = [row for row in targets if row["ratio"] is not None]
    labels = [f"{row['target']} ({row['dataset']})" for row in rows]
    colours = ["tab:green" if row["verdict"] == "PASS" else "tab:red" for row in rows]
    axes.barh(range(len(rows)), [row["ratio"] for row in rows], color=colours)
    for bound, marker, label in (("minimum", "|", "needed at least"), ("maximum", "x", "needed at most")):
        bounded = [(index, row[bound]) for index, row in enumerate(rows) if row.get(bound) is not None]
        axes.scatter(
            [value for _, value in bounded],
            [index for index, _ in bounded],
            marker=marker,
            s=300 if marker == "|" else 60,
            color="black",
            label=label,
        )
    axes.set_yticks(range(len(rows)), labels, fontsize="x-small")
    axes.invert_yaxis()
    axes.set_xscale("log")
    axes.xaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    axes.xaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}x"))
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.set_xlabel("figure / baseline (log scale)")
    axes.set_title("Targets: green PASS, red MISS")
    axes.legend(fontsize="small")


def memory_panel(axes, memory):
    points = memory["checkpoints"]
    documents = [point["documents"] for point in points]
    axes.plot(documents, [point["rss_mib"] for point in points], marker="o", label="RSS")
    axes.plot(documents, [point["peak_mib"] for point in points], marker=".", label="peak RSS")
    axes.xaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value / 1000:g}k"))
    axes.set_xlabel("documents inserted")
    axes.set_ylabel("MiB")
    axes.set_ylim(bottom=0)
    axes.set_title(f"Memory of insert_many in chunks of {memory['chunk']:,}")
    axes.legend(fontsize="small")


def draw_chart(path, measurements, datasets, targets, memory, machine_line):
    figure = Figure(figsize=(18, 15))
    axes = figure.subplots(2, 2, height_ratios=(1, 1.5))
    for panel, dataset in zip(axes[0], datasets, strict=True):
        ratio_panel(panel, measurements, dataset)
    targets_panel(axes[1][0], targets)
    memory_panel(axes[1][1], memory)
    figure.suptitle(f"quillmere benchmarks: {machine_line}", fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
