"""Section 3: the fixed cost of one search call on a one-vector index."""
import numpy as np

from common import median_per_call

DIM = 8


def run_all(quick):
    import hnswlib
    from halqen import PyFlat, PyHNSW

    calls = 20_000 if quick else 200_000
    repeats = 5 if quick else 9
    vector = [0.5] * DIM
    query = [0.25] * DIM
    query_array = np.array(query)
    flat = PyFlat(DIM)
    flat.insert(vector)
    graph = PyHNSW(DIM, metric="euclidean")
    graph.insert(vector)
    peer = hnswlib.Index(space="l2", dim=DIM)
    peer.init_index(max_elements=1)
    peer.set_num_threads(1)
    peer.add_items(np.array([vector], dtype=np.float32))
    peer_query = np.array([query], dtype=np.float32)
    cases = {
        "PyFlat.search(list)": lambda: flat.search(query, k=1),
        "PyFlat.search(numpy)": lambda: flat.search(query_array, k=1),
        "PyHNSW.search(list)": lambda: graph.search(query, k=1),
        "hnswlib knn_query(numpy float32)": lambda: peer.knn_query(peer_query, k=1),
        "hnswlib knn_query(list)": lambda: peer.knn_query(query, k=1),
    }
    return {"dim": DIM, "seconds": {name: median_per_call(case, calls, repeats)
                                    for name, case in cases.items()}}


def print_table(result):
    seconds = result["seconds"]
    peer = seconds["hnswlib knn_query(numpy float32)"]
    print(f"\n3. per-call overhead, one stored vector, dim {result['dim']}")
    for name, value in seconds.items():
        print(f"   {name:34s} {value * 1e9:8.0f} ns  {value / peer:5.2f}x hnswlib")
