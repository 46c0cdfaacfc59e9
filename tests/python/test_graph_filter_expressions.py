"""Filter expressions in GraphIndex.search against a plain evaluation of the
same expression over the stored metadata: random expressions drawn from the
grammar, on attributes of mixed kinds, after removals and replacements;
every answer a match, k of them whenever k exist, and at full width the k
nearest matches themselves."""
import math
import pickle

import numpy as np
import pytest

import halqen_ext
from halqen_ext import GraphIndex

SCHEMA = ["year", "lang", "price", "mixed"]
LANGS = ["en", "de", "fr", "es", "it", "nl", "pt", "pl"]
DIM = 8


def kind(value):
    return str if isinstance(value, str) else int if isinstance(value, int) else float


def equal(stored, wanted):
    """Metadata equality: values of different kinds never equal; NaN nothing."""
    return stored is not None and kind(stored) is kind(wanted) and stored == wanted


def in_range(stored, op, bound):
    if stored is None or isinstance(stored, str) or (isinstance(stored, float) and math.isnan(stored)):
        return False
    return {"$gt": stored > bound, "$gte": stored >= bound, "$lt": stored < bound, "$lte": stored <= bound}[op]


def admits(expression, record, ident):
    """The plain evaluation: `record` a dict (empty: added without metadata)."""
    results = []
    for key, value in expression.items():
        if key == "$and":
            results.append(all(admits(e, record, ident) for e in value))
        elif key == "$or":
            results.append(any(admits(e, record, ident) for e in value))
        elif key == "$not":
            results.append(not admits(value, record, ident))
        elif key == "$id":
            (op, ids), = value.items()
            results.append((ident in ids) == (op == "$in"))
        elif not isinstance(value, dict):
            results.append(equal(record.get(key), value))
        else:
            stored = record.get(key)
            for op, operand in value.items():
                if op == "$eq":
                    results.append(equal(stored, operand))
                elif op == "$ne":
                    results.append(not equal(stored, operand))
                elif op == "$in":
                    results.append(any(equal(stored, v) for v in operand))
                elif op == "$nin":
                    results.append(not any(equal(stored, v) for v in operand))
                else:
                    results.append(in_range(stored, op, operand))
    return all(results)


def random_value(rng, attribute):
    if attribute == "year":
        return int(rng.integers(2000, 2030)) if rng.random() < 0.8 else float(rng.integers(2000, 2030))
    if attribute == "lang":
        return LANGS[int(rng.integers(0, 8))]
    if attribute == "price":
        return float(np.round(rng.pareto(1.5), 2))
    return [LANGS[int(rng.integers(0, 3))], int(rng.integers(0, 5)), float(rng.integers(0, 5)) + 0.5,
            float("nan")][int(rng.integers(0, 4))]


def random_leaf(rng, ids):
    attribute = SCHEMA[int(rng.integers(0, len(SCHEMA)))]
    choice = rng.random()
    if choice < 0.1:
        chosen = [int(i) for i in rng.choice(ids, size=int(rng.integers(1, 300)))]
        return {"$id": {"$in" if rng.random() < 0.5 else "$nin": chosen}}
    if choice < 0.3:
        return {attribute: random_value(rng, attribute)}
    if choice < 0.6 and attribute != "lang":
        bound = random_value(rng, "year" if attribute == "year" else "price")
        if attribute == "mixed":
            bound = float(rng.integers(0, 5)) + float(rng.choice([0.0, 0.5]))
        ops = rng.choice(["$gt", "$gte", "$lt", "$lte"], size=int(rng.integers(1, 3)), replace=False)
        return {attribute: {str(op): bound for op in ops}}
    op = str(rng.choice(["$eq", "$ne", "$in", "$nin"]))
    if op in ("$in", "$nin"):
        return {attribute: {op: [random_value(rng, attribute) for _ in range(int(rng.integers(1, 4)))]}}
    return {attribute: {op: random_value(rng, attribute)}}


def random_expression(rng, ids, depth=0):
    choice = rng.random()
    if depth >= 3 or choice < 0.4:
        return random_leaf(rng, ids)
    if choice < 0.6:
        return {"$not": random_expression(rng, ids, depth + 1)}
    if choice < 0.8:
        key = "$and" if rng.random() < 0.5 else "$or"
        return {key: [random_expression(rng, ids, depth + 1) for _ in range(int(rng.integers(1, 4)))]}
    merged = {}
    for _ in range(2):
        merged.update(random_leaf(rng, ids))
    return merged


@pytest.fixture(scope="module")
def stored():
    """An index of mixed-kind metadata (some vectors without any), some
    vectors removed and some replaced, and the records it holds by id."""
    rng = np.random.default_rng(3)
    count = 9000
    centres = rng.normal(0.0, 5.0, (12, DIM))
    rows = centres[rng.integers(0, 12, count)] + rng.normal(0.0, 1.0, (count, DIM))
    index = GraphIndex(DIM, "euclidean", m=8, ef_construction=60, schema=SCHEMA)
    records = {}
    with_metadata = count - 300
    metadata = [[(a, random_value(rng, a)) for a in SCHEMA] for _ in range(with_metadata)]
    index.add(rows[:with_metadata], ids=range(with_metadata), metadata=metadata)
    index.add(rows[with_metadata:], ids=range(with_metadata, count))  # without metadata
    for ident, record in enumerate(metadata):
        records[ident] = dict(record)
    for ident in range(with_metadata, count):
        records[ident] = {}
    removed = rng.choice(count, size=400, replace=False)
    index.remove(removed.tolist())
    for ident in removed:
        del records[int(ident)]
    replaced = rng.choice(sorted(records), size=200, replace=False).tolist()
    new_metadata = [[(a, random_value(rng, a)) for a in SCHEMA] for _ in replaced]
    index.add(rng.normal(0.0, 5.0, (len(replaced), DIM)), ids=replaced, metadata=new_metadata)
    for ident, record in zip(replaced, new_metadata):
        records[ident] = dict(record)
    return index, records, rng.normal(0.0, 5.0, (6, DIM))


def test_random_expressions_answer_as_a_plain_evaluation(stored):
    index, records, queries = stored
    rng = np.random.default_rng(17)
    ids = np.array(sorted(records))
    everything = index.search(queries, k=len(index), ef=len(index))  # every vector, nearest first
    walked = 0
    for _ in range(120):
        expression = random_expression(rng, ids)
        matching = {i for i in records if admits(expression, records[i], i)}
        walked += len(matching) > 4096
        found, values = index.search(queries, k=10, ef=len(index), filter=expression)
        for row, (order, distances) in enumerate(zip(*everything)):
            expected = [(i, d) for i, d in zip(order.tolist(), distances.tolist()) if i in matching][:10]
            got = [(i, d) for i, d in zip(found[row].tolist(), values[row].tolist()) if i >= 0]
            assert got == expected, expression
        default_width, _ = index.search(queries, k=10, filter=expression)
        for row in default_width:
            hits = [i for i in row.tolist() if i >= 0]
            assert set(hits) <= matching and len(hits) == min(10, len(matching)), expression
    assert walked >= 10  # at the default width, some searches walked over their matches


def test_a_filter_per_query_answers_as_one_search_per_query(stored):
    index, records, queries = stored
    rng = np.random.default_rng(5)
    ids = np.array(sorted(records))
    expressions = [random_expression(rng, ids) for _ in queries]
    expressions[0] = ("lang", ["en", "de"])  # the pair form among them
    batch = index.search(queries, k=7, filters=expressions)
    for row, (query, expression) in enumerate(zip(queries, expressions)):
        one = index.search(query, k=7, filter=expression)
        assert batch[0][row].tolist() == one[0].tolist()
        assert batch[1][row].tobytes() == one[1].tobytes()


def test_ranges_compare_ints_and_floats_by_value_and_equality_keeps_kinds_apart():
    index = GraphIndex(2, "euclidean", schema=["n"])
    values = [1, 1.0, 2**53 + 1, float(2**53), "1", float("nan"), -0.0, 1.5]
    index.add(np.arange(len(values) * 2, dtype=np.float64).reshape(-1, 2),
              metadata=[[("n", v)] for v in values])

    def matching(expression):
        found, _ = index.search([0.0, 0.0], k=len(values), filter=expression)
        return sorted(i for i in found.tolist() if i >= 0)

    assert matching({"n": {"$gte": 1, "$lte": 1}}) == [0, 1]
    assert matching({"n": 1}) == [0] and matching({"n": 1.0}) == [1]
    assert matching({"n": {"$gt": 2**53}}) == [2]  # 2**53 + 1 > 2**53; 2.0**53 is not
    assert matching({"n": {"$gte": float(2**53)}}) == [2, 3]
    assert matching({"n": {"$lt": 1}}) == [6]  # NaN and "1" are in no range
    assert matching({"n": {"$ne": 1}}) == [1, 2, 3, 4, 5, 6, 7]
    assert matching({"$not": {"n": {"$gt": 0}}}) == [4, 5, 6]
    assert matching({"n": {"$in": [0.0]}}) == [6]  # -0.0 equals 0.0
    assert matching({"n": {"$gt": np.int64(1), "$lt": np.float32(2)}}) == [7]  # numpy's scalars
    # Ends on one attribute, joined by and, admit what each admits: at equal
    # numbers the exclusive end holds, Int or Float.
    assert matching({"n": {"$gt": 1, "$gte": 1.0}}) == [2, 3, 7]
    assert matching({"n": {"$lte": 1.0, "$lt": 1}}) == [6]
    assert matching({"n": {"$lte": 2**53, "$lt": float(2**53)}}) == [0, 1, 6, 7]
    assert matching({"$and": [{"n": {"$gte": 1}}, {"n": {"$gte": 1.5}}, {"n": {"$lt": 2**53}}]}) == [7]


@pytest.mark.parametrize("given, words", [
    ({"yr": 1}, "attribute 'yr' is not in the schema"),
    ({"year": {"$foo": 1}}, "operator '$foo' on 'year' is unknown: expected one of $eq"),
    ({"year": {"$gte": "2020"}}, "'$gte' on 'year' takes a number (an int or a float), got 'str'"),
    ({"year": {"$lt": float("nan")}}, "'$lt' on 'year' takes a number, not NaN"),
    ({"year": {"$lt": 2**70}}, "takes an int from -2**63 to 2**63 - 1"),
    ({"lang": ["en"]}, '{"lang": {"$in": [...]}}'),
    ({"lang": {"$in": "en"}}, "'$in' on 'lang' takes a list of values, got 'str'"),
    ({"lang": {"$eq": {"a": 1}}}, "'$eq' on 'lang' takes a str, an int or a float, got 'dict'"),
    ({}, "the filter is an empty dict"),
    ({"$or": []}, "'$or' takes a non-empty list of filter dicts"),
    ({"$and": [1]}, "an operand of '$and' is a dict"),
    ({"$xor": []}, "'$xor' is no operator of a filter dict"),
    ({"$id": {"$in": [-1]}}, "'$in' on '$id' takes ids, ints from 0 to 2**63 - 1, got -1"),
    ({"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {
        "$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {
            "$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {"$not": {
                "$not": {"year": 1}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}}, "nests deeper than 32 levels"),
])
def test_malformed_expressions_name_what_is_wrong(given, words):
    index = GraphIndex(2, "euclidean", schema=["year", "lang"])
    index.add([[0.0, 1.0]], metadata=[[("year", 1), ("lang", "en")]])
    with pytest.raises(ValueError) as raised:
        index.search([0.0, 1.0], filter=given)
    assert words in str(raised.value)


def test_filters_and_filter_together_or_of_the_wrong_count_are_refused():
    index = GraphIndex(2, "euclidean", schema=["year"])
    index.add([[0.0, 1.0], [1.0, 0.0]], metadata=[[("year", 1)], [("year", 2)]])
    with pytest.raises(ValueError, match="not both"):
        index.search([[0.0, 1.0]], filter={"year": 1}, filters=[{"year": 1}])
    with pytest.raises(ValueError, match="filters holds 1 filters for 2 queries"):
        index.search([[0.0, 1.0], [1.0, 0.0]], filters=[{"year": 1}])
    with pytest.raises(TypeError, match="a filter per query goes in filters="):
        index.search([[0.0, 1.0], [1.0, 0.0]], filter=[("year", 1), ("year", 2)])


def test_expressions_answer_alike_after_saving_pickling_and_copying(stored):
    index, records, queries = stored
    expression = {"$or": [{"year": {"$gte": 2025}}, {"lang": {"$nin": ["en", "de", "fr"]}}],
                  "price": {"$lt": 1.5}}
    expected = index.search(queries, k=10, filter=expression)
    for copy in (halqen_ext.deserialize_index(halqen_ext.serialize_index(index)),
                 pickle.loads(pickle.dumps(index))):
        got = copy.search(queries, k=10, filter=expression)
        assert got[0].tolist() == expected[0].tolist() and got[1].tobytes() == expected[1].tobytes()


def test_ranges_and_ids_follow_every_change_between_searches():
    """Searches between random additions, replacements, removals and
    metadata updates: the kept numeric orders never answer for values that
    are gone or miss new ones."""
    rng = np.random.default_rng(23)
    index = GraphIndex(3, "euclidean", m=4, ef_construction=20, schema=["n"])
    records = {}
    def drawn():
        return int(rng.integers(0, 20)) if rng.random() < 0.5 else float(rng.integers(0, 40)) / 2

    for step in range(60):
        if records and rng.random() < 0.25:
            changed = rng.choice(sorted(records), size=int(rng.integers(1, len(records) + 1))).tolist()
            values = [drawn() for _ in changed]  # an id drawn twice takes its last
            index.update_metadata(changed, [[("n", v)] for v in values])
            records.update({i: {"n": v} for i, v in zip(changed, values)})
        elif records and rng.random() < 0.3:
            gone = rng.choice(sorted(records), size=int(rng.integers(1, len(records) + 1)), replace=False)
            index.remove(gone.tolist())
            for ident in gone:
                del records[int(ident)]
        else:
            count = int(rng.integers(1, 30))
            ids = rng.choice(200, size=count, replace=False).tolist()  # some replace
            values = [drawn() for _ in ids]
            index.add(rng.normal(size=(count, 3)), ids=ids, metadata=[[("n", v)] for v in values])
            records.update({i: {"n": v} for i, v in zip(ids, values)})
        low, high = sorted(rng.uniform(-1.0, 21.0, 2).tolist())
        listed = [int(i) for i in rng.choice(250, size=20)]
        expression = {"$or": [{"n": {"$gte": low, "$lt": high}}, {"$id": {"$in": listed}}]}
        for tried in (expression, {"n": {"$gte": low, "$lt": high}}):
            found, _ = index.search(np.zeros(3), k=200, filter=tried)
            expected = {i for i, r in records.items() if admits(tried, r, i)}
            assert sorted(i for i in found.tolist() if i >= 0) == sorted(expected), step


def test_ranges_follow_many_changes_and_few():
    """A range read from a kept order with the slots changed since, whether
    the changes are few or outnumber what the order is kept for."""
    rng = np.random.default_rng(29)
    count = 3000
    index = GraphIndex(3, "euclidean", m=4, ef_construction=20, schema=["n"])
    values = rng.integers(0, 100, count).astype(float)
    index.add(rng.normal(size=(count, 3)), metadata=[[("n", float(v))] for v in values])
    expression = {"n": {"$gte": 20.0, "$lt": 30.0}}

    def check():
        found, _ = index.search(np.zeros(3), k=count, filter=expression, ef=count)
        expected = np.flatnonzero((values >= 20) & (values < 30))
        assert sorted(i for i in found.tolist() if i >= 0) == expected.tolist()

    check()
    for changed in (rng.choice(count, 2000, replace=False), rng.choice(count, 50, replace=False)):
        values[changed] = rng.integers(0, 100, len(changed))
        index.update_metadata(changed.tolist(), [[("n", float(v))] for v in values[changed]])
        check()


def test_update_metadata_refuses_unknown_ids_and_mismatched_lists_changing_nothing(tmp_path):
    index = GraphIndex(2, "euclidean", schema=["n"])
    index.add([[0.0, 0.0], [1.0, 1.0]], metadata=[[("n", 1)], [("n", 2)]])
    before = halqen_ext.serialize_index(index)
    with pytest.raises(KeyError, match="7"):
        index.update_metadata([0, 7], [[("n", 5)], [("n", 6)]])
    with pytest.raises(ValueError, match="2 ids and 1 metadata lists"):
        index.update_metadata([0, 1], [[("n", 5)]])
    with pytest.raises(ValueError, match="Missing metadata for attribute 'n'"):
        index.update_metadata([0], [[("m", 5)]])
    assert halqen_ext.serialize_index(index) == before
    index.update_metadata([1], [[("n", 1)]])
    assert sorted(index.search([0.0, 0.0], k=2, filter={"n": 1})[0].tolist()) == [0, 1]
    path = tmp_path / "index.halqen"
    halqen_ext.write_index(index, path)
    with pytest.raises(ValueError, match="mapped.*cannot update_metadata: copy.copy"):
        halqen_ext.read_index(path, mmap=True).update_metadata([0], [[("n", 3)]])


def test_a_filter_changed_by_its_own_values_while_read_is_read_as_given():
    """A value whose __index__ empties the lists and dicts being read: each
    is read from the copy the call took when it reached it, never from freed
    entries."""
    index = GraphIndex(2, "euclidean", schema=["n"])
    index.add([[0.0, 0.0], [1.0, 1.0], [2.0, 2.0]], metadata=[[("n", 1)], [("n", 2)], [("n", 3)]])
    held = []

    class Emptying:
        def __index__(self):
            for container in held:
                container.clear()
            return 2

    values = [Emptying(), 3] + [Emptying() for _ in range(50)]
    ids = [Emptying(), 2]
    expression = {"$or": [{"n": {"$in": values}}, {"n": {"$gte": Emptying(), "$lte": 3}}],
                  "$id": {"$in": ids}}
    held.extend([values, expression["$or"], expression])  # each cleared once the call holds it
    found, _ = index.search([0.0, 0.0], k=3, filter=expression)
    assert found.tolist() == [2, -1, -1]
