"""The table of one graph-index comparison, as printed by `make bench` and
bench/graph_compare.py."""
from ann_compare import RECALL_TARGETS

PEER_NAMES = ("hnswlib", "faiss", "usearch")


def rate_text(rate):
    return f"{rate:9,.0f}" if rate else f"{'-':>9s}"


def summary_line(row):
    builds = row["build_seconds"]
    one, two = builds.get("1"), builds.get("2")
    build_text = "  ".join(f"{builds[threads]:7.1f}" for threads in sorted(builds, key=int))
    first = min(builds, key=int)
    build_text += f"  {row['build_cpu_seconds'][first]:7.1f}"
    speedup = f"{one / two:5.2f}" if one and two else f"{'-':>5s}"
    rates = " ".join(rate_text(row["queries_per_second_at"][str(target)])
                     for target in RECALL_TARGETS)
    return (f"   {row['library']:18s} {build_text}  {speedup}  {row['bytes_per_vector']:8,.0f} "
            f"({row['vector_bytes']:5,d})  {rates}  {row['highest_recall']:7.4f}")


def ratio_lines(summary):
    """Each GraphIndex walk against the best peer, for each figure the issue
    targets."""
    others = [row for row in summary if row["library"] in PEER_NAMES]
    if not others:
        return []
    lines = []
    for graph in summary:
        if graph["library"].startswith("GraphIndex"):
            lines += graph_ratio_lines(graph, others)
    return lines


def graph_ratio_lines(graph, others):
    name = graph["library"]
    lines = []
    for target in RECALL_TARGETS:
        key = str(target)
        best = max((row["queries_per_second_at"][key] or 0) for row in others)
        mine = graph["queries_per_second_at"][key]
        if best and mine:
            lines.append(f"   {name} / best peer, queries/s at recall >= {target}: "
                         f"{mine / best:.2f}")
    for threads in graph["build_seconds"]:
        best = min(row["build_seconds"][threads] for row in others)
        lines.append(f"   {name} / best peer, build with {threads} thread(s): "
                     f"{graph['build_seconds'][threads] / best:.2f}")
    return lines


def print_comparison(result):
    if "skipped_data" in result:
        print(f"\n   {result['data']}: skipped, {result['skipped_data']}")
        return
    print(f"\n   {result['data']}: {result['count']:,} x {result['dim']} indexed, "
          f"{result['queries']:,} held-out queries, recall@{result['k']}")
    for name, reason in result["skipped"].items():
        print(f"   skipped {name}: {reason}")
    threads = sorted(result["summary"][0]["build_seconds"], key=int)
    build_head = "  ".join(f"build {t}t" for t in threads) + f"    cpu {threads[0]}t"
    targets = " ".join(f"{'qps@' + str(target):>9s}" for target in RECALL_TARGETS)
    print(f"   {'library':18s} {build_head}  speed  bytes/vec (vector) {targets}  recall max")
    for row in result["summary"]:
        print(summary_line(row))
    for line in ratio_lines(result["summary"]):
        print(line)
