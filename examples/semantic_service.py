"""A small semantic-search service over a GraphIndex, in plain Python.

Documents are embedded (here by a stand-in: a fixed random projection of
their words, so that the example needs no model; put a sentence-embedding
model's vectors in its place), stored under their own ids with a language
and a year, and served over HTTP as JSON:

    GET /search?q=...&k=5[&lang=en][&year=2021,2022]   nearest documents to a text
    GET /similar?id=...&k=5                            more like a stored document

The script starts the server on a free local port, asks it a few questions
through urllib, prints the answers and stops. Padding (id -1, distance -inf)
never reaches the JSON: halqen_ext.trimmed drops it.
"""
import hashlib
import json
import threading
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import NDArray

import halqen_ext
from halqen_ext import GraphIndex

DIM = 64
DEFAULT_K = 5
MOST_K = 100
Filter = tuple[str, Union[str, int, list[int]]]

DOCUMENTS = [
    (101, "en", 2020, "how to train a neural network on a small data set"),
    (102, "en", 2021, "training deep neural networks with little data"),
    (103, "en", 2022, "a recipe for sourdough bread with a long rise"),
    (104, "en", 2021, "baking bread at home: flour, water, salt and time"),
    (105, "de", 2022, "ein rezept fuer sauerteigbrot mit langer gare"),
    (106, "en", 2023, "vector search engines and approximate nearest neighbours"),
    (107, "en", 2020, "nearest neighbour search in high dimensional vector spaces"),
    (108, "de", 2021, "neuronale netze mit wenig daten trainieren"),
    (109, "en", 2022, "cycling routes along the river in spring"),
    (110, "en", 2023, "a spring bicycle tour by the river"),
]


def embed(text: str) -> NDArray[np.float64]:
    """A unit vector per text: the sum of a fixed random vector per word."""
    vector = np.zeros(DIM)
    for word in text.lower().split():
        seed = int.from_bytes(hashlib.sha256(word.encode()).digest()[:8], "little")
        vector += np.random.default_rng(seed).normal(size=DIM)
    norm = np.linalg.norm(vector)
    return vector / norm if norm > 0 else vector


class SearchService:
    """The service as functions: what the HTTP handler calls."""

    def __init__(self) -> None:
        self.index = GraphIndex(DIM, "angular", schema=["lang", "year"])
        self.texts = {doc_id: text for doc_id, _, _, text in DOCUMENTS}
        self.index.add(np.array([embed(text) for *_, text in DOCUMENTS]),
                       ids=[doc_id for doc_id, *_ in DOCUMENTS],
                       metadata=[[("lang", lang), ("year", year)] for _, lang, year, _ in DOCUMENTS])

    def search(self, text: str, k: int = DEFAULT_K, filter: Optional[Filter] = None) -> list[dict[str, Any]]:
        ids, similarities = self.index.search(embed(text), k=k, filter=filter)
        return self._hits(ids, similarities)

    def similar(self, doc_id: int, k: int = DEFAULT_K) -> list[dict[str, Any]]:
        ids, similarities = self.index.search_by_id(doc_id, k=k)
        return self._hits(ids, similarities)

    def _hits(self, ids: NDArray[np.int64], similarities: NDArray[np.float64]) -> list[dict[str, Any]]:
        (row,) = halqen_ext.trimmed(ids, similarities)
        return [{"id": doc_id, "similarity": round(similarity, 4), "text": self.texts[doc_id]}
                for doc_id, similarity in row]


def filter_of(query: dict[str, list[str]]) -> Optional[Filter]:
    """One filter from the query string (the index filters on one attribute)."""
    if "year" in query:
        return ("year", [int(year) for year in query["year"][0].split(",")])
    if "lang" in query:
        return ("lang", query["lang"][0])
    return None


def handler_for(service: SearchService) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            url = urllib.parse.urlsplit(self.path)
            query = urllib.parse.parse_qs(url.query)
            try:
                k = min(int(query.get("k", [str(DEFAULT_K)])[0]), MOST_K)
                if url.path == "/search":
                    body: Any = service.search(query["q"][0], k, filter_of(query))
                elif url.path == "/similar":
                    body = service.similar(int(query["id"][0]), k)
                else:
                    self.reply(404, {"error": f"no such path {url.path}"})
                    return
            except (KeyError, ValueError, TypeError) as error:
                self.reply(400, {"error": str(error)})
                return
            self.reply(200, body)

        def reply(self, status: int, body: Any) -> None:
            data = json.dumps(body, allow_nan=False).encode()  # strict JSON: no inf
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, format: str, *args: Any) -> None:
            pass  # quiet: the example prints the answers itself

    return Handler


def ask(base: str, path: str) -> Any:
    with urllib.request.urlopen(base + path, timeout=10) as response:
        return json.loads(response.read())


def main() -> None:
    service = SearchService()
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler_for(service))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    try:
        for path in ["/search?q=" + urllib.parse.quote("bread recipe") + "&k=3",
                     "/search?q=" + urllib.parse.quote("neural network training") + "&k=3&lang=en",
                     "/search?q=" + urllib.parse.quote("river") + "&k=20&year=2022,2023",
                     "/similar?id=106&k=2"]:
            print(f"GET {path}")
            for hit in ask(base, path):
                print(f"  {hit['id']}  {hit['similarity']:+.4f}  {hit['text']}")
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    main()
