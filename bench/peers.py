"""The graph indexes compared, behind one interface: build with a given
number of threads, save and load, and search a batch of queries with a given
ef on one thread. The peers get float32 vectors (their native type);
halqen_ext.GraphIndex gets float64, once per walk (GraphIndex-exact,
GraphIndex-float32, GraphIndex-sq8: what its search walks on; the answers
are exact in each). Every index uses M 16 and ef_construction 200 and
returns row numbers as ids."""
import importlib.util

import numpy as np

M = 16
EF_CONSTRUCTION = 200


class Hnswlib:
    name = "hnswlib"
    module = "hnswlib"
    dtype = np.float32

    def build(self, vectors, threads):
        import hnswlib

        index = hnswlib.Index(space="l2", dim=vectors.shape[1])
        index.init_index(max_elements=len(vectors), M=M, ef_construction=EF_CONSTRUCTION)
        index.add_items(vectors, np.arange(len(vectors)), num_threads=threads)
        return index

    def save(self, index, path):
        index.save_index(str(path))

    def load(self, path, dim):
        import hnswlib

        index = hnswlib.Index(space="l2", dim=dim)
        index.load_index(str(path))
        index.set_num_threads(1)
        return index

    def search(self, index, queries, k, ef):
        index.set_ef(max(ef, k))
        return index.knn_query(queries, k=k, num_threads=1)[0].astype(np.int64)


class Faiss:
    name = "faiss"
    module = "faiss"
    dtype = np.float32

    def build(self, vectors, threads):
        import faiss

        faiss.omp_set_num_threads(threads)
        index = faiss.IndexHNSWFlat(vectors.shape[1], M)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        index.add(vectors)
        faiss.omp_set_num_threads(1)
        return index

    def save(self, index, path):
        import faiss

        faiss.write_index(index, str(path))

    def load(self, path, dim):
        import faiss

        faiss.omp_set_num_threads(1)
        return faiss.read_index(str(path))

    def search(self, index, queries, k, ef):
        index.hnsw.efSearch = ef
        return index.search(queries, k)[1]


class Usearch:
    name = "usearch"
    module = "usearch"
    dtype = np.float32

    def build(self, vectors, threads):
        from usearch.index import Index

        index = Index(ndim=vectors.shape[1], metric="l2sq", dtype="f32", connectivity=M,
                      expansion_add=EF_CONSTRUCTION)
        index.add(np.arange(len(vectors)), vectors, threads=threads)
        return index

    def save(self, index, path):
        index.save(str(path))

    def load(self, path, dim):
        from usearch.index import Index

        return Index.restore(str(path))

    def search(self, index, queries, k, ef):
        index.expansion_search = ef
        matches = index.search(queries, k, threads=1)
        ids = matches.keys.astype(np.int64)
        # Rows with fewer than k matches leave their tail undefined.
        ids[np.arange(k)[None, :] >= matches.counts[:, None]] = -1
        return ids


class GraphIndex:
    name = "GraphIndex"
    module = "halqen_ext"
    dtype = np.float64
    # None: the index's default walk.
    walk = None

    def build(self, vectors, threads):
        import halqen_ext

        options = {} if self.walk is None else {"walk": self.walk}
        index = halqen_ext.GraphIndex(vectors.shape[1], "euclidean", m=M,
                                      ef_construction=EF_CONSTRUCTION, **options)
        index.add(vectors, threads=threads)
        return index

    def save(self, index, path):
        import halqen_ext

        halqen_ext.write_index(index, str(path))

    def load(self, path, dim):
        import halqen_ext

        return halqen_ext.read_index(str(path))

    def search(self, index, queries, k, ef):
        return index.search(queries, k, ef=ef, threads=1)[0]


def walking_on(walk):
    return type(f"GraphIndex_{walk}", (GraphIndex,), {"name": f"GraphIndex-{walk}", "walk": walk})


WALKS = ("exact", "float32", "sq8")
GRAPH_WALKS = tuple(walking_on(walk) for walk in WALKS)
LIBRARIES = {library.name: library
             for library in (GraphIndex, *GRAPH_WALKS, Hnswlib, Faiss, Usearch)}
# What a full comparison runs: every walk beside the peers (the default walk
# is one of them).
COMPARED = tuple(name for name in LIBRARIES if name != GraphIndex.name)


def unavailable_reason(name):
    """Why `name` cannot run here, or None."""
    library = LIBRARIES[name]
    if importlib.util.find_spec(library.module) is None:
        return f"{library.module} is not installed"
    if name.startswith("GraphIndex"):
        import halqen_ext

        if not hasattr(halqen_ext, "GraphIndex"):
            return "this halqen_ext has no GraphIndex yet"
    return None


def make(name):
    return LIBRARIES[name]()
