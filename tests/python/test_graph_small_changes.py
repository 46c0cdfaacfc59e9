"""A small add or remove checks that the graph stays connected by what it
touched alone. The graph must be the one a check of the whole graph gives:
after every step of a random sequence of additions, replacements, removals,
batches large enough to pass over the graph anyway and removals that
compact the slots, the index's bytes are those of a copy loaded just before
the step and given the same call. The copy's checks start afresh: its first
removal passes over the whole graph, and it loads only if every node is
reached from the entry and no list links to a free slot (a link into a
removed node that its removal missed)."""
import numpy as np
import pytest

from halqen_ext import GraphIndex, deserialize_index, serialize_index

DIM = 8
CLUSTERS = 5
STEPS = 150


def rows_of(rng, centres, count):
    """Clustered rows; sometimes half of them one repeated vector, whose
    equal distances leave nodes that pruning cuts off."""
    rows = centres[rng.integers(0, CLUSTERS, count)] + rng.normal(0.0, 0.3, (count, DIM))
    if rng.random() < 0.3:
        rows[:count // 2] = rows[0]
    return rows


def random_step(rng, live, next_id):
    """(call, ids): mostly one to three ids, now and then many."""
    draw = rng.random()
    if draw < 0.4 or len(live) < 10:
        return "add", list(range(next_id, next_id + int(rng.integers(1, 4))))
    if draw < 0.5:
        return "add", list(range(next_id, next_id + int(rng.integers(20, 200))))
    ordered = sorted(live)
    if draw < 0.6:
        return "add", rng.choice(ordered, size=2, replace=False).tolist()  # replacements
    if draw < 0.97:
        return "remove", rng.choice(ordered, size=int(rng.integers(1, 4)), replace=False).tolist()
    # Most of the index: free slots then outnumber live ones, and compact.
    return "remove", rng.choice(ordered, size=len(ordered) * 2 // 3, replace=False).tolist()


# Small indexes read every list on a removal; from a few thousand nodes a
# removal of a few ids looks for the links into them near them first.
@pytest.mark.parametrize("seed,start", [(0, 300), (1, 300), (2, 300), (3, 5000)])
@pytest.mark.parametrize("walk", ["sq8", "exact"])
@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "angular"])
def test_every_small_change_ends_where_a_full_check_does(metric, walk, seed, start):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0.0, 3.0, (CLUSTERS, DIM))
    index = GraphIndex(DIM, metric, m=4, ef_construction=16, walk=walk, seed=seed)
    index.add(rows_of(rng, centres, start))
    live, next_id = set(index.ids().tolist()), start
    for step in range(STEPS):
        copy = deserialize_index(serialize_index(index))
        call, ids = random_step(rng, live, next_id)
        if call == "add":
            rows = rows_of(rng, centres, len(ids))
            for each in (index, copy):
                each.add(rows, ids=ids)
            live.update(ids)
            next_id = max(next_id, max(ids) + 1)
        else:
            for each in (index, copy):
                each.remove(ids)
            live.difference_update(ids)
        assert serialize_index(index) == serialize_index(copy), (step, call, len(ids))
    assert set(index.ids().tolist()) == live


def test_single_removals_from_a_large_index_find_every_link_into_them():
    """In a large index a removal reads the lists in slot
    order only until it has found as many links into the removed node as
    the node counts: a miscount would leave a link to a free slot, which
    the copy's reader refuses."""
    rng = np.random.default_rng(5)
    centres = rng.normal(0.0, 3.0, (CLUSTERS, DIM))
    index = GraphIndex(DIM, "euclidean", m=4, ef_construction=16, seed=5)
    index.add(rows_of(rng, centres, 100_000))
    live = set(range(100_000))
    # The oldest nodes first: linked when the graph was small, they are
    # pointed to from far away.
    for step, gone in enumerate([3, 17, 40, 101, 7_000, 63_000, 99_999, 250, 12, 5]):
        copy = deserialize_index(serialize_index(index))
        for each in (index, copy):
            each.remove([gone])
        live.discard(gone)
        assert serialize_index(index) == serialize_index(copy), step
    assert set(index.ids().tolist()) == live
