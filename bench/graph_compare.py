"""Side-by-side check of halqen_ext.GraphIndex against hnswlib, faiss
IndexHNSWFlat and usearch on one data set (M 16, ef_construction 200, one
search thread; the peers in float32, GraphIndex in float64): build time,
resident bytes per vector, and recall@10 against queries per second over an
ef sweep. A library that cannot run here is skipped with the reason.

Examples:
  python bench/graph_compare.py --data fashion
  python bench/graph_compare.py --data clustered --count 100000 --libraries GraphIndex-sq8 hnswlib
  python bench/graph_compare.py --data wordnet --build-threads 1 2 --plot /tmp/wordnet.png
"""
import common  # noqa: F401  (single-threaded set-up before numpy)

import argparse  # noqa: E402
import json  # noqa: E402
from pathlib import Path  # noqa: E402

import ann_compare  # noqa: E402
import ann_data  # noqa: E402
import peers  # noqa: E402
from ann_report import print_comparison  # noqa: E402

# A quick check builds once, with both cores; `make bench` also builds on one.
QUICK_BUILD_THREADS = (2,)


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    ann_data.add_arguments(parser)
    parser.add_argument("--libraries", nargs="+", choices=peers.LIBRARIES,
                        default=list(peers.COMPARED))
    parser.add_argument("--build-threads", type=int, nargs="+", default=QUICK_BUILD_THREADS,
                        help="one build per thread count; the last one is searched")
    parser.add_argument("--ef", type=int, nargs="+", default=ann_compare.EFS)
    parser.add_argument("--repeats", type=int, default=ann_compare.SEARCH_REPEATS,
                        help="timed rounds per ef (median)")
    parser.add_argument("--json", type=Path, help="write the result here")
    parser.add_argument("--plot", type=Path, help="write a PNG figure here")
    return parser.parse_args()


def main():
    options = parse_options()
    result = ann_compare.compare(ann_data.spec_from(options), options.libraries,
                                 options.build_threads, options.ef, options.repeats)
    print_comparison(result)
    if options.json:
        options.json.write_text(json.dumps(result, indent=2) + "\n")
    if options.plot and "summary" in result:
        import ann_plots

        ann_plots.comparison_figure(options.plot, result)


if __name__ == "__main__":
    main()
