"""halqen example: semantic-search style queries over handwritten digits.

Uses the 8x8 digit images that scikit-learn ships (sklearn.datasets.load_digits,
no download): each image is a vector of 64 grey levels. The first 1500 images
form the library, the rest are queries. The example

- finds the images most like a query, exactly (PyFlat) and approximately
  (PyHNSW), and draws them;
- labels every query by a vote of its 5 nearest images and reports the
  accuracy and how much of the exact top 5 the approximate index recovers;
- restricts a search to one digit with a metadata filter;
- ranks by cosine similarity, most similar first, with the negated query.

numpy arrays go straight in: a 2-D array is a list of vectors.
Needs scikit-learn (`pip install scikit-learn`, or the `examples` extra);
without it the example says so and exits normally.
"""
from __future__ import annotations

import importlib
import time
from collections import Counter
from typing import TYPE_CHECKING, Any

from halqen import PyFlat, PyHNSW

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Images = npt.NDArray[np.float64]
    Labels = npt.NDArray[np.int64]

LIBRARY = 1500
K = 5
SIDE = 8
SHADES = " .:-=+*#%@"
MAX_GREY = 16.0


def load_digits() -> tuple[Images, Labels] | None:
    """The digit images and their labels, or None without scikit-learn."""
    try:
        datasets: Any = importlib.import_module("sklearn.datasets")
    except ImportError:
        return None
    import numpy as np

    digits = datasets.load_digits()
    return np.asarray(digits.data, dtype=np.float64), np.asarray(digits.target, dtype=np.int64)


def draw(images: list[list[float]], captions: list[str]) -> None:
    """The images side by side in characters, darker for more ink."""
    for caption in captions:
        print(f"{caption:<{SIDE + 3}}", end="")
    print()
    for row in range(SIDE):
        line = ""
        for image in images:
            pixels = image[row * SIDE:(row + 1) * SIDE]
            line += "".join(SHADES[int(p / MAX_GREY * (len(SHADES) - 1))] for p in pixels)
            line += "   "
        print(line)


def vote(labels: list[int]) -> int:
    return Counter(labels).most_common(1)[0][0]


def main() -> None:
    loaded = load_digits()
    if loaded is None:
        print("digits_search needs scikit-learn: pip install scikit-learn "
              "(or pip install 'halqen[examples]'); skipped.")
        return
    images, labels = loaded
    library, queries = images[:LIBRARY], images[LIBRARY:]
    library_labels = [int(label) for label in labels[:LIBRARY]]
    query_labels = [int(label) for label in labels[LIBRARY:]]
    dim = library.shape[1]
    print(f"{len(library)} library images, {len(queries)} queries, {dim} pixels each")

    exact = PyFlat(dim)
    exact.create(library)  # a 2-D array: one vector per row

    started = time.perf_counter()
    graph = PyHNSW(dim, metric="euclidean", ef_search=64, schema=["label"])
    graph.create(library, metadata=[[("label", label)] for label in library_labels])
    print(f"PyHNSW built in {time.perf_counter() - started:.2f} s")
    # PyHNSW returns vectors, not ids: map each stored vector back to its image.
    image_of = {tuple(vector): i for i, vector in enumerate(library.tolist())}

    query = queries[0]
    hits = graph.search(query, k=3)
    print(f"\nquery 0 (a {query_labels[0]}) and its 3 nearest library images:")
    draw([query.tolist()] + [vector for _, vector in hits],
         ["query"] + [f"{library_labels[image_of[tuple(v)]]} d={d:.0f}" for d, v in hits])

    exact_correct = graph_correct = recalled = 0
    for query, truth in zip(queries, query_labels):
        exact_ids = [i for i, _ in exact.search(query, k=K)]
        graph_ids = [image_of[tuple(vector)] for _, vector in graph.search(query, k=K)]
        exact_correct += vote([library_labels[i] for i in exact_ids]) == truth
        graph_correct += vote([library_labels[i] for i in graph_ids]) == truth
        recalled += len(set(exact_ids) & set(graph_ids))
    print(f"\n{K}-nearest vote accuracy: exact {exact_correct / len(queries):.3f}, "
          f"approximate {graph_correct / len(queries):.3f}; "
          f"recall@{K} {recalled / (K * len(queries)):.3f}")

    wanted = 3
    hits = graph.search(queries[0], k=3, filter=("label", wanted))
    kept = [(d, v) for d, v in hits if library_labels[image_of[tuple(v)]] == wanted]
    print(f"\nthe 3s nearest to query 0 (filter label == {wanted}; the entry node, "
          f"a {library_labels[0]}, is dropped if it comes back):")
    draw([vector for _, vector in kept], [f"d={d:.0f}" for d, _ in kept])

    # Cosine similarity ranks smallest first; the negated query puts the most
    # similar first, and each reported distance is minus the similarity.
    angular = PyHNSW(dim, metric="angular")
    angular.create(library)
    most_similar = angular.search(-queries[0], k=3)
    print("\nmost similar by cosine: " +
          ", ".join(f"a {library_labels[image_of[tuple(v)]]} (cos {-d:.3f})"
                    for d, v in most_similar))


if __name__ == "__main__":
    main()
