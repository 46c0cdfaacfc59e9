"""PNG figures of a benchmark run, written beside latest.json."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib import ticker  # noqa: E402

import ann_plots  # noqa: E402
import expressions  # noqa: E402
import filtered  # noqa: E402
import partition  # noqa: E402


def bar_chart(path, title, labels, values, unit):
    figure, axes = plt.subplots(figsize=(9, 0.45 * len(labels) + 1.5))
    axes.barh(labels, values, color="#4c72b0")
    axes.invert_yaxis()
    axes.set_xlabel(unit)
    axes.set_title(title)
    for position, value in enumerate(values):
        axes.text(value, position, f" {value:.3g}", va="center")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def exact_plot(directory, results):
    for result in results:
        seconds = result["seconds"]
        bar_chart(directory / f"exact_{result['count']}.png",
                  f"Exact search, N={result['count']:,}, dim {result['dim']}, k={result['k']}",
                  list(seconds), [value * 1e3 for value in seconds.values()], "ms per query")


def ingestion_plot(directory, result):
    seconds = result["seconds"]
    bar_chart(directory / "ingestion.png", f"Ingestion, N={result['count']:,}, dim {result['dim']}",
              list(seconds), [value / result["count"] * 1e6 for value in seconds.values()],
              "microseconds per vector")


def overhead_plot(directory, result):
    seconds = result["seconds"]
    title = f"One search call, one stored vector (dim {result['dim']})"
    bar_chart(directory / "overhead.png", title, list(seconds),
              [value * 1e9 for value in seconds.values()], "ns per call")


# One colour per library in every panel.
COLOURS = {"halqen": "tab:orange", "hnswlib": "tab:green", "faiss": "tab:blue"}


def approx_plot(directory, result):
    rows = result["random"]
    figure, (build, query, recall) = plt.subplots(1, 3, figsize=(15, 4.5))
    for library in sorted({row["library"] for row in rows}):
        mine = [row for row in rows if row["library"] == library]
        counts = [row["count"] for row in mine]
        colour = COLOURS.get(library)
        build.plot(counts, [row["build_seconds"] for row in mine], marker="o", label=library,
                   color=colour)
        if library != "halqen":
            query.plot(counts, [row["query_seconds"] * 1e6 for row in mine], marker="o",
                       label=library, color=colour)
        recall.plot(counts, [row["recall_at_10"] for row in mine], marker="o", label=library,
                    color=colour)
    series = result["crossover"]["series"]
    counts = sorted({row["count"] for row in rows} | {p["count"] for p in series})
    query.plot([p["count"] for p in series], [p["hnsw_query_seconds"] * 1e6 for p in series],
               marker="o", label="halqen", color=COLOURS["halqen"])
    query.plot([p["count"] for p in series], [p["flat_query_seconds"] * 1e6 for p in series],
               marker="s", linestyle="--", label="halqen PyFlat (exact)", color="tab:red")
    for axes, title, unit in ((build, "Build", "seconds"), (query, "One query", "microseconds"),
                              (recall, "Recall@10", "share of true 10 nearest")):
        axes.set_title(title)
        axes.set_xlabel("N (random, dim 128)")
        axes.set_ylabel(unit)
        axes.set_xscale("log")
        axes.set_xticks(counts, [f"{count:,}" for count in counts], minor=False)
        axes.xaxis.set_minor_locator(ticker.NullLocator())
        axes.tick_params(axis="x", labelrotation=45)
        axes.legend()
    build.set_yscale("log")
    query.set_yscale("log")
    figure.tight_layout()
    figure.savefig(directory / "approximate.png", dpi=100)
    plt.close(figure)


def write_all(directory, report):
    sections = report["sections"]
    if "exact" in sections:
        exact_plot(directory, sections["exact"])
    if "ingestion" in sections:
        ingestion_plot(directory, sections["ingestion"])
    if "overhead" in sections:
        overhead_plot(directory, sections["overhead"])
    if "approximate" in sections:
        approx_plot(directory, sections["approximate"])
    for name in ("ann", "ann_million"):
        if name in sections:
            ann_plots.write_section(directory, sections[name])
    if "filtered" in sections:
        filtered.write_plot(directory, sections["filtered"])
    if "expressions" in sections:
        expressions.write_plot(directory, sections["expressions"])
    if "partition" in sections:
        partition.write_plot(directory, sections["partition"])
