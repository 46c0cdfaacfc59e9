"""GraphIndex rows kept as float32 while nothing is lost: an index left to
adapt answers every search with the bits of one held to float64, before and
after it widens, and its copies grow alike; an index held to float32 rounds
what it is given and refuses what float32 cannot hold."""
import struct

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex
from reference import cosine
from test_persist import crc32c

METRICS = ["euclidean", "angular", "inner_product"]
WALKS = ["sq8", "float32", "exact"]
HEADER_BYTES = 80
VECTORS_TAG = 1
GRAPH_TAG = 4
ROW_STORAGE_TAG = 12
CODE_ROWS_TAG = 13
ROW_NORMS_TAG = 14


def clustered32(count, dim, rng, clusters=5):
    centres = rng.normal(0.0, 6.0, (clusters, dim))
    rows = centres[rng.integers(0, clusters, count)] + rng.normal(0.0, 1.0, (count, dim))
    return rows.astype(np.float32)


def sections(data):
    """The header's fields past the version, kind and section count, and
    every (tag, payload) but the row storage section's, the rows as float64
    whatever width they are saved in."""
    found = []
    at = HEADER_BYTES
    while at < len(data):
        tag, _, length = struct.unpack_from("<IIQ", data, at)
        payload = bytes(data[at + 16:at + 16 + length])
        if tag == VECTORS_TAG:
            width, live, padding = struct.unpack_from("<QQQ", payload)
            rows = np.frombuffer(payload[24 + padding:], dtype=np.float32 if width == 4 else np.float64)
            payload = (live, rows.astype(np.float64).tobytes())
        elif tag == CODE_ROWS_TAG:  # these three are aligned where the sections before leave them
            payload = payload[:8] + payload[16 + struct.unpack_from("<Q", payload, 8)[0]:]
        elif tag in (ROW_NORMS_TAG, GRAPH_TAG):
            payload = payload[8 + struct.unpack_from("<Q", payload)[0]:]
        if tag != ROW_STORAGE_TAG:
            found.append((tag, payload))
        at += 16 + length + 4
    return bytes(data[24:72]), found


def answers(index, queries):
    found = [index.search(queries, k=7), index.search(queries, k=3, ef=5)]
    return [(ids.tolist(), values.tobytes()) for ids, values in found]


def run_model(metric, walk, seed, widen_at):
    """The same random calls on an adaptive index and on one held to
    float64; at step `widen_at` (if any) a row that is not float32 arrives."""
    rng = np.random.default_rng(seed)
    dim = int(rng.integers(2, 12))
    adaptive = GraphIndex(dim, metric, m=4, ef_construction=24, walk=walk, seed=seed)
    wide = GraphIndex(dim, metric, m=4, ef_construction=24, walk=walk, seed=seed, storage="float64")
    queries = clustered32(6, dim, rng).astype(np.float64)
    widened = False
    for step in range(8):
        live = adaptive.ids().tolist()
        if step % 3 == 2 and len(live) > 4:
            gone = rng.choice(live, size=int(rng.integers(1, len(live) // 2)), replace=False).tolist()
            for index in (adaptive, wide):
                index.remove(gone)
        else:
            rows = clustered32(int(rng.integers(1, 40)), dim, rng)
            rows[rng.integers(0, len(rows))] = rows[0]  # exact duplicates
            ids = None
            if live and rng.random() < 0.5:
                ids = rng.choice(live, size=min(len(live), len(rows)), replace=False).tolist()
                ids += [10_000 + step * 100 + i for i in range(len(rows) - len(ids))]
            if ids is not None and set(live) <= set(ids):
                widened = False  # replacing every vector empties the index first: it starts afresh
            if step == widen_at:
                rows = rows.astype(np.float64)
                rows[-1, 0] += 1e-9
                widened = True
            for index in (adaptive, wide):
                index.add(rows, ids=ids)
        assert wide.storage == "float64"
        assert adaptive.storage == ("float64" if widened else "float32")
        assert answers(adaptive, queries) == answers(wide, queries), step
        assert sections(halqen_ext.serialize_index(adaptive)) == sections(
            halqen_ext.serialize_index(wide))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("walk", WALKS)
@pytest.mark.parametrize("widen_at", [None, 0, 4])
def test_adaptive_rows_answer_as_float64_rows(metric, walk, widen_at):
    for seed in range(3):
        run_model(metric, walk, seed, widen_at)


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("storage", [None, "float32", "float64"])
def test_copies_keep_the_storage_and_grow_alike(metric, storage, tmp_path):
    rng = np.random.default_rng(5)
    index = GraphIndex(6, metric, m=4, storage=storage)
    index.add(clustered32(50, 6, rng))
    index.add(clustered32(1, 6, rng).astype(np.float64) / 3)  # widens an adaptive index
    far = index.ids()[-1]
    index.remove([far])  # every live row is float32 again, the store stays wide
    path = tmp_path / "graph.halqen"
    halqen_ext.write_index(index, path)
    copies = [halqen_ext.read_index(path),
              halqen_ext.deserialize_index(halqen_ext.serialize_index(index))]
    later = [clustered32(20, 6, rng), clustered32(3, 6, rng).astype(np.float64) / 7]
    for grown in [index] + copies:
        assert grown.storage == index.storage
        for rows in later:
            grown.add(rows)
        grown.remove(grown.ids()[:5])
    expected = halqen_ext.serialize_index(index)
    for grown in copies:
        assert halqen_ext.serialize_index(grown) == expected


def test_an_adaptive_store_widens_once_and_only_for_numbers_float32_cannot_hold():
    index = GraphIndex(3, "euclidean")
    float32_values = np.array([[1.5, -0.0, 2.0 ** -149], [3.4028234663852886e38, 1.0, 0.1]],
                              dtype=np.float32)
    index.add(float32_values.astype(np.float64))  # float64 arrays made from float32
    assert index.storage == "float32"
    assert index.get_vectors(index.ids()).tobytes() == float32_values.astype(np.float64).tobytes()
    index.add([[0.1, 0.0, 0.0]])  # 0.1 is not a float32 value
    assert index.storage == "float64"
    assert index.get_vectors([2])[0, 0] == 0.1


def test_float32_storage_rounds_and_answers_exactly_for_the_rounded_rows():
    rng = np.random.default_rng(2)
    rows = rng.normal(0.0, 1.0, (300, 8))
    index = GraphIndex(8, "angular", storage="float32", ef_search=300)
    index.add(rows)
    index.add([[1e300 / 1e300] * 8])
    assert index.storage == "float32"
    rounded = rows.astype(np.float32).astype(np.float64)
    assert index.get_vectors(list(range(300))).tobytes() == rounded.tobytes()
    stored = list(rounded) + [np.ones(8)]
    query = rng.normal(0.0, 1.0, 8)
    ids, values = index.search(query, k=10)
    nearest = sorted((-cosine(list(query), list(row)), i) for i, row in enumerate(stored))[:10]
    assert [i for _, i in nearest] == ids.tolist()
    assert [-value for value, _ in nearest] == values.tolist()


@pytest.mark.parametrize("row, words", [
    ([[1e39, 0.0]], "beyond float32's range"),
    ([[0.0, -3.5e38]], "beyond float32's range"),
    ([[1e-50, 1e-50]], "zero vector"),
])
def test_float32_storage_refuses_what_it_cannot_hold(row, words):
    index = GraphIndex(2, "angular", storage="float32")
    index.add([[1.0, 2.0]])
    before = halqen_ext.serialize_index(index)
    with pytest.raises(ValueError, match=words):
        index.add([[3.0, 4.0]] + row)
    assert halqen_ext.serialize_index(index) == before


def test_storage_names_are_checked():
    with pytest.raises(ValueError, match="Unknown storage 'float16'"):
        GraphIndex(2, "euclidean", storage="float16")
    with pytest.raises(TypeError):
        GraphIndex(2, "euclidean", storage=32)


@pytest.mark.parametrize("payload, words", [
    ((3, 8), "storage 3"),
    ((0, 2), "2 bytes per number"),
    ((1, 8), "held to float32 are kept as float64"),
    ((2, 4), "gives 4 bytes per number, the vectors section 8"),
    ((0, 4), "gives 4 bytes per number, the vectors section 8"),
])
def test_a_row_storage_section_that_does_not_fit_is_refused(payload, words):
    index = GraphIndex(2, "euclidean", storage="float64")
    index.add([[0.1, 0.2], [0.3, 0.4]])
    data = bytearray(halqen_ext.serialize_index(index))
    at = data.rindex(struct.pack("<IIQ", ROW_STORAGE_TAG, 0, 16))
    data[at + 16:at + 32] = struct.pack("<QQ", *payload)
    data[at + 32:at + 36] = struct.pack("<I", crc32c(bytes(data[at:at + 32])))
    with pytest.raises(ValueError, match=words):
        halqen_ext.deserialize_index(data)



def without_sections(data, dropped_tags):
    """The file without some optional sections: the header's count less,
    its checksum made again."""
    kept = bytearray(data[:HEADER_BYTES])
    at, dropped = HEADER_BYTES, 0
    while at < len(data):
        tag, _, length = struct.unpack_from("<IIQ", data, at)
        end = at + 16 + length + 4
        if tag in dropped_tags:
            dropped += 1
        else:
            kept += data[at:end]
        at = end
    struct.pack_into("<I", kept, 20, struct.unpack_from("<I", kept, 20)[0] - dropped)
    struct.pack_into("<I", kept, 72, crc32c(bytes(kept[:72])))
    return bytes(kept)


@pytest.mark.parametrize("metric", METRICS)
def test_saved_codes_are_the_codes_the_vectors_give(metric):
    """A file's 8-bit codes spare the reader coding every vector again: they
    are what coding them gives, so a copy read without them is the same
    index, byte for byte, and grows alike."""
    rng = np.random.default_rng(11)
    index = GraphIndex(9, metric, m=4, ef_construction=20)
    index.add(clustered32(300, 9, rng).astype(np.float64) * rng.lognormal(0.0, 2.0, 9))
    index.remove(index.ids()[::7].tolist())
    index.add(clustered32(40, 9, rng) * 30)  # widens the range: every code coded again
    data = halqen_ext.serialize_index(index)
    # The norms go too: the arrays after the codes would no longer be aligned.
    stripped = without_sections(data, {CODE_ROWS_TAG, ROW_NORMS_TAG})
    assert len(stripped) < len(data)
    with_codes = halqen_ext.deserialize_index(data)
    coded_again = halqen_ext.deserialize_index(stripped)
    assert halqen_ext.serialize_index(coded_again) == data
    more = clustered32(25, 9, rng) * 50
    for copy in (index, with_codes, coded_again):
        copy.add(more)
    assert halqen_ext.serialize_index(with_codes) == halqen_ext.serialize_index(index)
    assert halqen_ext.serialize_index(coded_again) == halqen_ext.serialize_index(index)


def resealed_section(data, tag, change):
    """The file with `change(payload)` applied to one section's payload (of
    the same length), its checksum made again."""
    data = bytearray(data)
    at = HEADER_BYTES
    while True:
        found, _, length = struct.unpack_from("<IIQ", data, at)
        if found == tag:
            payload = bytearray(data[at + 16:at + 16 + length])
            change(payload)
            data[at + 16:at + 16 + length] = payload
            struct.pack_into("<I", data, at + 16 + length, crc32c(bytes(data[at:at + 16 + length])))
            return bytes(data)
        at += 16 + length + 4


def codes_at(payload):
    """Where a code rows payload's codes start: after two words and the padding."""
    return 16 + struct.unpack_from("<Q", payload, 8)[0]


@pytest.mark.parametrize("change, words", [
    (lambda p: struct.pack_into("<Q", p, 0, 32), "code rows of 32 bytes, expected 64"),
    (lambda p: struct.pack_into("<Q", p, 8, 3), "3 bytes of padding"),
    (lambda p: struct.pack_into("<f", p, codes_at(p) + 3 * 64, float("nan")),
     "slot 0 has a saved coding error"),
    (lambda p: struct.pack_into("<f", p, codes_at(p) + 3 * 64, -1.0), "slot 0 has a saved coding error"),
    (lambda p: struct.pack_into("<f", p, codes_at(p) + 3 * 64 + 3 * 4 + 4, -2.0),
     "slot 1 has a saved"),
])
def test_saved_codes_that_cannot_be_are_refused(change, words):
    index = GraphIndex(3, "euclidean", m=2)
    index.add([[0.5, 1.0, 2.0], [3.0, 1.0, 0.0], [1.0, 1.0, 1.0]])
    data = resealed_section(halqen_ext.serialize_index(index), CODE_ROWS_TAG, change)
    with pytest.raises(ValueError, match=words):
        halqen_ext.deserialize_index(data)
