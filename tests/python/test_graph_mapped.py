"""GraphIndex opened with read_index(path, mmap=True): it answers every call
as the same file read into memory, refuses changes, keeps answering from its
file when another replaces it, and no damaged file makes it read out of
bounds."""
import copy
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex

GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data"
METRICS = ["euclidean", "angular", "inner_product"]
WALKS = ["sq8", "float32", "exact"]


def built(metric, walk, dtype, seed=0, count=600, dim=12):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 4.0, (5, dim))
    rows = (centres[rng.integers(0, 5, count)] + rng.normal(0.0, 1.0, (count, dim))).astype(dtype)
    index = GraphIndex(dim, metric, m=6, ef_construction=30, walk=walk, schema=["part"])
    index.add(rows, ids=np.arange(count) * 3 + 1, metadata=[[("part", i % 4)] for i in range(count)])
    index.remove((np.arange(0, count, 9) * 3 + 1).tolist())
    return index, rng.normal(0.0, 4.0, (20, dim))


def answers(index, queries):
    found = [index.search(queries, k=8), index.search(queries, k=4, ef=10, filter=("part", 2)),
             index.search_by_id(index.ids()[:5].tolist(), k=3)]
    return [(ids.tolist(), values.tobytes()) for ids, values in found]


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_mapped_index_answers_as_one_read_into_memory(metric, walk, dtype, tmp_path):
    index, queries = built(metric, walk, dtype)
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(index, path)
    mapped = halqen_ext.read_index(path, mmap=True)
    loaded = halqen_ext.read_index(path)
    assert answers(mapped, queries) == answers(loaded, queries) == answers(index, queries)
    ids = loaded.ids().tolist()
    assert mapped.ids().tolist() == ids and len(mapped) == len(loaded) and ids[3] in mapped
    assert mapped.get_vectors(ids).tobytes() == loaded.get_vectors(ids).tobytes()
    assert (mapped.storage, mapped.walk) == (loaded.storage, loaded.walk)
    assert halqen_ext.serialize_index(mapped) == path.read_bytes()


def test_a_mapped_index_refuses_changes_and_its_copy_grows_as_the_original(tmp_path):
    index, _ = built("euclidean", "sq8", np.float32)
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(index, path)
    mapped = halqen_ext.read_index(path, mmap=True)
    for change in (lambda: mapped.add(np.ones((1, 12))), lambda: mapped.remove([4])):
        with pytest.raises(ValueError, match=r"read-only.*copy\.copy\(index\)"):
            change()
    assert halqen_ext.serialize_index(mapped) == path.read_bytes()
    changed = copy.copy(mapped)
    more = np.full((3, 12), 0.5, dtype=np.float32)
    for grown in (changed, index):
        grown.add(more)
        grown.remove([4])
    assert halqen_ext.serialize_index(changed) == halqen_ext.serialize_index(index)


CHILD = """
import json, sys, numpy as np, halqen_ext
index = halqen_ext.read_index(sys.argv[1], mmap=True)
ids, values = index.search(np.full(12, float(sys.argv[2])), k=5)
print(json.dumps(ids.tolist()), values.tobytes().hex())
"""


def test_a_file_replaced_while_mapped_is_still_answered_from(tmp_path):
    first, queries = built("angular", "sq8", np.float32, seed=1)
    second, _ = built("angular", "sq8", np.float32, seed=2)
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(first, path)
    mapped = halqen_ext.read_index(path, mmap=True)
    before = answers(mapped, queries)
    child = subprocess.run([sys.executable, "-c", CHILD, str(path), "0.5"], capture_output=True,
                           text=True, check=True).stdout
    halqen_ext.write_index(second, path)  # a new file renamed over the path
    assert answers(mapped, queries) == before == answers(first, queries)
    assert answers(halqen_ext.read_index(path, mmap=True), queries) == answers(second, queries)
    ids, values = first.search(np.full(12, 0.5), k=5)  # another process mapped the same file
    assert child.strip() == f"{json.dumps(ids.tolist())} {values.tobytes().hex()}"


def test_files_that_cannot_be_mapped_say_how_to_read_them(tmp_path):
    with pytest.raises(ValueError, match="format version 2.*without mmap.*write_index"):
        halqen_ext.read_index(GOLDEN / "graph-angular-v2.halqen", mmap=True)
    flat = halqen_ext.read_index(GOLDEN / "flat-cosine-v1.halqen", mmap=True)  # read into memory
    assert halqen_ext.serialize_index(flat) == (GOLDEN / "flat-cosine-v1.halqen").read_bytes()
    empty = tmp_path / "empty.halqen"
    halqen_ext.write_index(GraphIndex(3, "angular"), empty)
    assert len(halqen_ext.read_index(empty, mmap=True)) == 0
    (tmp_path / "nothing").write_bytes(b"")
    with pytest.raises(ValueError, match="not a halqen index file"):
        halqen_ext.read_index(tmp_path / "nothing", mmap=True)


@pytest.mark.parametrize("metric", ["euclidean", "angular"])
def test_damaged_mapped_files_are_refused_or_answer_without_reading_out_of_bounds(metric, tmp_path):
    """Bytes of every part of the file changed or cut: the parts read at open
    are checked; the rows, codes and norms, used where they lie, may change
    answers, never what memory is read."""
    index, queries = built(metric, "sq8", np.float32, count=150, dim=5)
    data = halqen_ext.serialize_index(index)
    rng = np.random.default_rng(7)
    path = tmp_path / "damaged.halqen"
    opened = 0
    for trial in range(300):
        damaged = bytearray(data)
        if trial % 10 == 0:
            damaged = damaged[:int(rng.integers(0, len(data)))]
        else:
            for at in rng.integers(0, len(data), int(rng.integers(1, 4))):
                damaged[at] = int(rng.integers(0, 256))
        path.write_bytes(bytes(damaged))
        try:
            mapped = halqen_ext.read_index(path, mmap=True)
        except (ValueError, MemoryError):
            continue
        opened += 1
        for query in queries[:3]:
            mapped.search(query, k=6)
            mapped.search(query, k=3, filter=("part", 1))
        halqen_ext.serialize_index(mapped)
    assert opened > 0  # damage to the arrays used in place is not detected at open


def resealed(data, tag, change):
    """The file with `change(payload)` applied to one section's payload."""
    from test_graph_storage import resealed_section
    return resealed_section(data, tag, change)


def test_damaged_layer_zero_lists_are_checked_as_a_mapped_walk_reads_them(tmp_path):
    """Layer 0's lists stay in the file, unread at open: a list whose count
    passes its capacity or that links beyond the slots is passed over as it
    is read; links to a free slot or to the node itself only change answers.
    Read into memory, the same file is refused."""
    from test_graph_storage import GRAPH_TAG

    index, queries = built("euclidean", "sq8", np.float32, count=150, dim=5)
    stride = 2 * 6 + 1  # m 6: the count word, then 2m links

    def damage(payload):
        lists = 8 + int.from_bytes(payload[:8], "little")
        word = lambda slot, i: slice(lists + 4 * (slot * stride + i), lists + 4 * (slot * stride + i + 1))  # noqa: E731
        payload[word(5, 0)] = (0xFFFF).to_bytes(4, "little")  # more links than a list holds
        payload[word(7, 1)] = (0xFFFFFFFF).to_bytes(4, "little")  # beyond every slot
        payload[word(11, 2)] = (150).to_bytes(4, "little")  # one past the last slot
        payload[word(13, 1)] = (9).to_bytes(4, "little")  # a free slot (its vector removed)
        payload[word(14, 1)] = (14).to_bytes(4, "little")  # itself

    path = tmp_path / "damaged.halqen"
    path.write_bytes(resealed(halqen_ext.serialize_index(index), GRAPH_TAG, damage))
    with pytest.raises(ValueError, match="slot 5 has 65535 links on layer 0, at most 12"):
        halqen_ext.read_index(path)
    mapped = halqen_ext.read_index(path, mmap=True)
    # What a walk may meet: the live ids, and the id slot 9 held (removed).
    known = set(index.ids().tolist()) | {-1, 9 * 3 + 1}
    for query in queries:
        for found, _ in [mapped.search(query, k=20, ef=60),
                         mapped.search(query, k=5, filter=("part", 3)),
                         mapped.search(query, k=5, filter=("part", [0, 1]))]:
            assert set(found.tolist()) <= known
    try:
        copy.copy(mapped)  # a copy is read in full, so checked in full
    except ValueError:
        pass


def test_what_would_make_a_walk_key_nan_is_refused_at_open(tmp_path):
    """Values used in place are trusted only where no walk key comes from
    them: code errors and lengths are checked at open, and rows are where
    codes are made from them at open; an exact walk orders a NaN last."""
    from test_graph_storage import CODE_ROWS_TAG, VECTORS_TAG, codes_at

    path = tmp_path / "graph.halqen"
    nan_row = np.float32(np.nan).tobytes()

    def slot_1_nan(payload):  # slot 0's vector was removed; slot 1 holds id 4
        first = 24 + int.from_bytes(payload[16:24], "little") + 4 * 4
        payload[first:first + 4] = nan_row

    index, queries = built("euclidean", "sq8", np.float32, count=60, dim=4)
    length_of_slot_1 = lambda p: p.__setitem__(  # noqa: E731
        slice(codes_at(p) + 60 * 64 + 61 * 4, codes_at(p) + 60 * 64 + 61 * 4 + 4), nan_row)
    path.write_bytes(resealed(halqen_ext.serialize_index(index), CODE_ROWS_TAG, length_of_slot_1))
    with pytest.raises(ValueError, match="slot 1 has a saved coding error or code length"):
        halqen_ext.read_index(path, mmap=True)

    floats, _ = built("euclidean", "float32", np.float32, count=60, dim=4)
    path.write_bytes(resealed(halqen_ext.serialize_index(floats), VECTORS_TAG, slot_1_nan))
    with pytest.raises(ValueError, match="not finite"):
        halqen_ext.read_index(path, mmap=True)

    exact, _ = built("euclidean", "exact", np.float32, count=60, dim=4)
    path.write_bytes(resealed(halqen_ext.serialize_index(exact), VECTORS_TAG, slot_1_nan))
    mapped = halqen_ext.read_index(path, mmap=True)
    ids, values = mapped.search(queries[0][:4], k=len(mapped))
    assert ids[-1] == 4 and np.isnan(values[-1])  # its NaN distance comes last
