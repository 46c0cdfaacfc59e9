"""A search service that keeps answering while it ingests.

One GraphIndex behind a WSGI application: GET /search answers a query, while
POST /add puts new batches of vectors in it. Any threaded WSGI server can
serve `app` (gunicorn with --threads, waitress); this script uses the
standard library's, one thread per request. No lock of your own is needed:
a search runs during an add and sees the index as some completed step of
the add left it; a second add waits its turn.

The script starts the server on a free local port, lets four client threads
search in a loop while a fifth posts eight batches, and prints how many
searches were answered and how many failed (none).
"""
import json
import threading
import urllib.request
from socketserver import ThreadingMixIn
from typing import Any, Callable, Dict, Iterable, List, Tuple
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

import numpy as np

from halqen_ext import GraphIndex

DIM = 32
BATCHES, BATCH = 8, 500
CLIENTS = 4

StartResponse = Callable[[str, List[Tuple[str, str]]], Any]

index = GraphIndex(DIM, "euclidean")


def app(environ: Dict[str, Any], start_response: StartResponse) -> Iterable[bytes]:
    if environ["REQUEST_METHOD"] == "GET":  # /search?seed=N: a query drawn from the seed
        seed = int(environ["QUERY_STRING"].rsplit("=", 1)[1])
        query = np.random.default_rng(seed).normal(size=DIM)
        ids, distances = index.search(query, k=5)
        answer: Any = {"ids": ids.tolist(), "distances": distances.tolist()}
    else:  # POST /add with {"first_id": ..., "rows": [[...], ...]}
        body = json.loads(environ["wsgi.input"].read(int(environ["CONTENT_LENGTH"])))
        rows = np.array(body["rows"])
        index.add(rows, ids=range(body["first_id"], body["first_id"] + len(rows)))
        answer = {"count": len(index)}
    data = json.dumps(answer).encode()
    start_response("200 OK", [("Content-Type", "application/json"),
                              ("Content-Length", str(len(data)))])
    return [data]


class ThreadingWSGIServer(ThreadingMixIn, WSGIServer):
    daemon_threads = True


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args: Any) -> None:
        pass


def call(url: str, body: Any = None) -> Any:
    data = None if body is None else json.dumps(body).encode()
    with urllib.request.urlopen(url, data=data, timeout=60) as response:
        return json.loads(response.read())


def main() -> None:
    rng = np.random.default_rng(0)
    index.add(rng.normal(size=(BATCH, DIM)))
    server = make_server("127.0.0.1", 0, app, server_class=ThreadingWSGIServer,
                         handler_class=QuietHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    ingesting = threading.Event()
    ingesting.set()
    answered, failed = [0] * CLIENTS, [0] * CLIENTS

    def client(n: int) -> None:
        seed = n
        while ingesting.is_set():
            try:
                call(f"{base}/search?seed={seed}")
                answered[n] += 1
            except Exception:  # every failure is what this example counts
                failed[n] += 1
            seed += CLIENTS

    clients = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
    for thread in clients:
        thread.start()
    for b in range(BATCHES):
        rows = rng.normal(size=(BATCH, DIM)).tolist()
        call(f"{base}/add", {"first_id": (b + 1) * BATCH, "rows": rows})
    ingesting.clear()
    for thread in clients:
        thread.join()
    server.shutdown()
    print(f"vectors held: {len(index)}")
    print(f"searches answered while ingesting: {sum(answered)}, failed: {sum(failed)}")


if __name__ == "__main__":
    main()
