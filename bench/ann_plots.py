"""Figures of the graph-index comparisons: recall@10 against queries per
second (one search thread), build time per thread count and resident bytes
per vector, one PNG per data set."""
import re

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# One colour per library in every panel.
COLOURS = {"GraphIndex": "tab:orange", "GraphIndex-exact": "tab:brown",
           "GraphIndex-float32": "tab:red", "GraphIndex-sq8": "tab:orange", "hnswlib": "tab:green",
           "faiss": "tab:blue", "usearch": "tab:purple"}
BAR_WIDTH = 0.8


def curve_panel(axes, result):
    for row in result["summary"]:
        name = row["library"]
        points = sorted((p for p in result["points"] if p["library"] == name),
                        key=lambda p: p["ef"])
        axes.plot([p["recall"] for p in points], [p["queries_per_second"] for p in points],
                  marker="o", markersize=3, label=name, color=COLOURS.get(name))
    axes.set_yscale("log")
    axes.set_xlabel(f"recall@{result['k']}")
    axes.set_ylabel("queries per second, one thread")
    axes.set_title("Search (ef swept)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()


def build_panel(axes, summary):
    threads = sorted(summary[0]["build_seconds"], key=int)
    width = BAR_WIDTH / len(threads)
    for offset, count in enumerate(threads):
        positions = [i + offset * width for i in range(len(summary))]
        axes.bar(positions, [row["build_seconds"][count] for row in summary], width,
                 label=f"{count} thread(s)")
    axes.set_xticks([i + width * (len(threads) - 1) / 2 for i in range(len(summary))],
                    [row["library"] for row in summary])
    axes.set_ylabel("seconds")
    axes.set_title("Build")
    axes.legend()


def memory_panel(axes, summary):
    names = [row["library"] for row in summary]
    axes.bar(names, [row["vector_bytes"] for row in summary], label="the vector itself",
             color="lightgray")
    axes.bar(names, [row["bytes_per_vector"] - row["vector_bytes"] for row in summary],
             bottom=[row["vector_bytes"] for row in summary], label="the rest",
             color=[COLOURS.get(name) for name in names])
    axes.set_ylabel("resident bytes per vector")
    axes.set_title("Memory")
    axes.legend()


def comparison_figure(path, result):
    figure, (curve, build, memory) = plt.subplots(
        1, 3, figsize=(16, 4.8), gridspec_kw={"width_ratios": [2, 1, 1]})
    curve_panel(curve, result)
    build_panel(build, result["summary"])
    memory_panel(memory, result["summary"])
    figure.suptitle(f"{result['data']}: {result['count']:,} x {result['dim']}, "
                    f"{result['queries']:,} held-out queries, M 16, ef_construction 200")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


def file_name(result):
    name = re.match(r"[a-z]+", result["data"].lower()).group()
    return f"ann_{name}_{result['count']}.png"


def write_section(directory, section):
    for result in section["results"]:
        if "summary" in result:
            comparison_figure(directory / file_name(result), result)
