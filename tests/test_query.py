"""Metadata queries: filters against a brute-force reference evaluator, on every plan route (every
live record tested, the indexes' plan asked in full, and the route the estimated costs choose),
before and after the indexes are built and after later inserts, a delete and a compaction; the
parser's messages; rows and arguments."""

import itertools
import random
import sys

import pytest
from orbisk import PyZurAD
from storefiles import delete_payload, log_record, parse_manifest, read, sibling, write

# ---- the reference evaluator ---------------------------------------------------------------------

MISSING = object()


def same(a, b):
    """Strict equality of stored values: bool is not int, int is not float, containers element-wise."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def read_back(v):
    """A stored value as rows return it: integers of 2**63 and above come back as floats."""
    if isinstance(v, list):
        return [read_back(x) for x in v]
    if isinstance(v, dict):
        return {k: read_back(x) for k, x in v.items()}
    return float(v) if type(v) is int and v >= 2**63 else v


def is_number(v):
    return type(v) in (int, float)


def in_list(field, choices):
    items = field if isinstance(field, list) else [field]
    return any(same(x, c) for x in items for c in choices)


def holds(node, meta):
    kind = node[0]
    if kind == "and":
        return all(holds(c, meta) for c in node[1])
    if kind == "or":
        return any(holds(c, meta) for c in node[1])
    if kind == "not":
        return not holds(node[1], meta)
    _, key, op, operand = node
    v = meta.get(key, MISSING)
    if v is MISSING:
        return op in ("$ne", "$nin")
    if op == "$eq":
        return same(v, operand)
    if op == "$ne":
        return not same(v, operand)
    if op == "$in":
        return in_list(v, operand)
    if op == "$nin":
        return not in_list(v, operand)
    if not (is_number(v) and is_number(operand)):
        return False
    x, y = float(v), float(operand)
    return {"$gt": x > y, "$gte": x >= y, "$lt": x < y, "$lte": x <= y}[op]


def render(node, rng):
    """The filter document of a tree, in one of the spellings the parser accepts for it."""
    kind = node[0]
    if kind in ("and", "or"):
        kids = node[1]
        keys = [c[1] for c in kids if c[0] == "cmp"]
        if kind == "and" and len(kids) >= 2 and len(keys) == len(kids) == len(set(keys)) and rng.random() < 0.5:
            return {k: v for c in kids for k, v in render(c, rng).items()}  # one document, several fields
        return {"$" + kind: [render(c, rng) for c in kids]}
    if kind == "not":
        return {"$not": render(node[1], rng)}
    _, key, op, operand = node
    if op == "$eq" and not isinstance(operand, dict) and rng.random() < 0.5:
        return {key: operand}
    return {key: {op: operand}}


# ---- generated stores and filters ----------------------------------------------------------------

WORDS = ["red", "green", "blue", "", "Red", "réd"]


def scalar(rng):
    return rng.choice(
        [None, True, False, 0, 1, 2, 3, -1, -7, 1.0, 2.5, -0.0, 0.0, 2**63 + 5, 2**63 - 1, rng.choice(WORDS)]
    )


def make_meta(rng, i):
    meta = {"u": f"id-{i}"}  # one value per point
    if rng.random() < 0.9:
        meta["a"] = rng.choice([0, 1, 2, 3, 4, 1.0, True, None, "1"])
    if rng.random() < 0.8:
        meta["c"] = rng.choice(WORDS)
    if rng.random() < 0.7:
        meta["n"] = rng.choice([rng.randrange(-50, 50), rng.uniform(-50, 50), -0.0, 2**63 + 5, "7"])
    if rng.random() < 0.5:
        meta["tags"] = rng.sample(WORDS[:4], rng.randrange(0, 3)) if rng.random() < 0.8 else rng.choice(WORDS)
    if rng.random() < 0.3:
        meta["o"] = rng.choice([{"x": 1}, {"x": 1, "y": [1, 2]}, {"y": [1, 2], "x": 1.0}, [1, 2], [2, 1]])
    if rng.random() < 0.2:
        meta["s"] = scalar(rng)
    return meta


KEYS = ["a", "c", "n", "tags", "o", "s", "u", "missing"]


def operand_for(rng, key, op):
    if op in ("$in", "$nin"):
        return [operand_for(rng, key, "$eq") for _ in range(rng.randrange(0, 4))]
    if op in ("$gt", "$gte", "$lt", "$lte"):
        return rng.choice([0, 1, -1, 2.5, -0.0, 25, -25, 2**63, "m", None])
    if key == "u":
        return f"id-{rng.randrange(6000)}"
    if key == "o":
        return rng.choice([{"x": 1}, {"y": [1, 2], "x": 1}, [1, 2], 1])
    if key == "tags":
        return rng.choice([rng.choice(WORDS[:4]), ["red"], ["red", "green"], []])
    return scalar(rng) if rng.random() < 0.3 else rng.choice([0, 1, 2, 1.0, True, "1", "red", "blue", None, -0.0])


OPS = ["$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin"]


def make_range(rng):
    """Two-sided (sometimes one-sided, or doubled) range conditions on one key, as an And."""
    key = rng.choice(["a", "n", "n", "s", "c"])
    a, b = sorted(rng.choice([rng.randrange(-50, 50), rng.uniform(-50, 50), 0, -0.0, 2, 2.5, 2**63]) for _ in "ab")
    kids = [("cmp", key, rng.choice(["$gt", "$gte"]), a), ("cmp", key, rng.choice(["$lt", "$lte"]), b)]
    if rng.random() < 0.4:
        kids.append(("cmp", key, rng.choice(OPS[2:6]), rng.choice([a, b, a, b, 1, "m"])))
    return ("and", rng.sample(kids, rng.randrange(1, len(kids) + 1)))


def make_filter(rng, depth=0):
    r = rng.random()
    if depth >= 3 or r < 0.45:
        key = rng.choice(KEYS)
        op = rng.choice(OPS)
        return ("cmp", key, op, operand_for(rng, key, op))
    if r < 0.55:
        return make_range(rng)
    if r < 0.8:
        return ("and", [make_filter(rng, depth + 1) for _ in range(rng.randrange(0, 4))])
    if r < 0.92:
        return ("or", [make_filter(rng, depth + 1) for _ in range(rng.randrange(0, 4))])
    return ("not", make_filter(rng, depth + 1))


class Model:
    """The live points of a store as the test inserted them."""

    def __init__(self):
        self.points = {}

    def matches(self, node):
        return [i for i, (_, _, m) in sorted(self.points.items()) if holds(node, m)]


ROUTES = [None, "scan", "index"]


def check(db, model, node, rng, limits, probe=None):
    """The filter against the reference, with `probe` (and a handle of its build) on every route."""
    doc = render(node, rng)
    want = model.matches(node)
    for route in ROUTES if probe else [None]:
        if probe:
            probe.force_route(route)
        try:
            rows = db.query(doc)
            assert [r["id"] for r in rows] == want, (doc, route)
            for r in rows[:5]:
                lat, lon, meta = model.points[r["id"]]
                assert (r["latitude"], r["longitude"]) == (lat, lon) and same(r["metadata"], read_back(meta))
            assert db.exists(doc) == bool(want), (doc, route)
            for limit in limits:
                got = [r["id"] for r in db.query(doc, limit=limit)]
                # Some routes keep any `limit` of the matches (still in ascending order).
                assert len(got) == min(limit, len(want)) and got == sorted(got) and set(got) <= set(want), (
                    doc,
                    limit,
                    route,
                )
        finally:
            if probe:
                probe.force_route(None)


def build_store(store, path, rng, n, deleted):
    model = Model()
    db = store(path)
    points = [(rng.uniform(-90, 90), rng.uniform(-180, 180), make_meta(rng, i)) for i in range(n)]
    db.insert_batch(points)
    model.points = dict(enumerate(points))
    del db
    # Tombstones come from a delete in the log, replayed by the next open.
    seq = parse_manifest(read(sibling(path, "commit")))["wal_seq"]
    write(sibling(path, "wal"), log_record(delete_payload(seq, deleted)))
    for i in deleted:
        del model.points[i]
    return model


def test_filters_agree_with_the_reference_on_every_route(probe, store_path):
    rng = random.Random(1906)
    n = 5000
    model = build_store(probe.PyZurAD, store_path, rng, n, rng.sample(range(n), 250))
    filters = [make_filter(rng) for _ in range(100)]
    # Conditions the indexes answer, alone and narrowing an And, with small and large answers;
    # nested Ands, two-sided ranges, and Ors the indexes answer in whole or in part.
    filters += [
        ("cmp", "a", "$eq", 1),
        ("cmp", "a", "$ne", 1),
        ("cmp", "c", "$in", ["red", "blue"]),
        ("cmp", "c", "$nin", ["red", 2.5]),
        ("cmp", "n", "$gte", -0.0),
        ("cmp", "n", "$lt", 40),
        ("cmp", "u", "$eq", "id-17"),
        ("cmp", "a", "$eq", "no such value"),
        ("and", [("cmp", "a", "$eq", 2), ("cmp", "n", "$gt", 0), ("cmp", "c", "$ne", "red")]),
        ("and", [("cmp", "c", "$eq", "blue"), ("or", [("cmp", "a", "$eq", 1)])]),
        ("and", [("cmp", "u", "$eq", "id-18"), ("and", [("cmp", "n", "$gt", -40), ("cmp", "n", "$lte", 40)])]),
        ("and", [("cmp", "n", "$gt", -3), ("cmp", "n", "$lt", 5), ("cmp", "n", "$gte", -2.5), ("cmp", "a", "$ne", 0)]),
        (
            "or",
            [
                ("cmp", "a", "$eq", 3),
                ("cmp", "n", "$gte", 45),
                ("and", [("cmp", "c", "$eq", ""), ("cmp", "s", "$eq", None)]),
            ],
        ),
        ("or", [("cmp", "a", "$eq", 3), ("not", ("cmp", "n", "$gte", 45))]),
        # Bounds on one key that tie: the stricter of each pair holds.
        ("and", [("cmp", "n", "$gte", 2), ("cmp", "n", "$gt", 2), ("cmp", "n", "$lte", 7), ("cmp", "n", "$lt", 7)]),
        ("and", [("cmp", "n", "$gt", 2), ("cmp", "n", "$gte", 2), ("cmp", "n", "$lt", 7), ("cmp", "n", "$lte", 7)]),
        ("and", [("cmp", "a", "$eq", 4), ("not", ("cmp", "c", "$eq", "red")), ("cmp", "n", "$gt", "m")]),
        ("and", []),
        ("or", []),
        ("not", ("and", [])),
    ]
    limits = (1, 60, 2400)

    # A fresh handle for each of a few filters: their first run builds the indexes they need.
    for node in filters[-20:]:
        check(probe.PyZurAD(store_path), model, node, rng, limits[:1], probe)
    db = probe.PyZurAD(store_path)
    assert db.slot_stats() == (n, n - 250)
    for node in filters:
        check(db, model, node, rng, limits, probe)

    # Later inserts keep the built indexes exact: new values, new keys, an array under "c",
    # and more distinct values of "a".
    extra = [(1.0, 2.0, make_meta(rng, n + i)) for i in range(1500)]
    extra += [(3.0, 4.0, {"c": ["red"], "a": 1000 + i, "fresh": i % 2}) for i in range(1100)]
    ids = db.insert_batch(extra[:2000])
    ids += [db.insert(*p) for p in extra[2000:]]
    model.points.update(zip(ids, extra))
    filters += [
        ("cmp", "fresh", "$eq", 1),
        ("cmp", "fresh", "$gt", 0),
        ("cmp", "c", "$in", ["red"]),
        ("cmp", "a", "$eq", 1050),
        ("and", [("cmp", "fresh", "$eq", 0), ("cmp", "a", "$gte", 1090), ("cmp", "a", "$lt", 1500)]),
    ]
    for node in filters:
        check(db, model, node, rng, limits, probe)

    # A delete by a compound filter, then a compaction that renumbers the points.
    doomed = ("or", [("cmp", "a", "$eq", 2), ("and", [("cmp", "n", "$gte", 10), ("cmp", "n", "$lt", 30)])])
    gone = model.matches(doomed)
    assert db.delete_by_metadata(render(doomed, rng)) == len(gone)
    for i in gone:
        del model.points[i]
    some = rng.sample(filters, 50)
    for node in some:
        check(db, model, node, rng, limits, probe)
    db.compact()
    model.points = dict(enumerate(model.points[i] for i in sorted(model.points)))
    for node in some:
        check(db, model, node, rng, limits, probe)


def many_meta(rng, i, n):
    """make_meta plus keys of very many values ("id": unique integers, "long": unique texts of up
    to 300 bytes, "pair": values held by one to a few points) and of a few ("few")."""
    meta = make_meta(rng, i)
    meta["id"] = i * 7 - n
    if rng.random() < 0.8:
        meta["long"] = f"{i}:" + "x" * rng.randrange(300)
    if rng.random() < 0.9:
        meta["pair"] = rng.choice([rng.randrange(n // 2), f"p{rng.randrange(n // 2)}"])
    meta["few"] = rng.choice(["x", "y", None])
    return meta


def many_filter(rng, model):
    """A condition, or a small tree of them, on values the points hold (or held)."""
    held = list(model.points.values())

    def value(key):
        meta = rng.choice(held)[2]
        if key in meta and rng.random() < 0.8:
            return meta[key]
        return rng.choice([f"id-{rng.randrange(10**6)}", -5, 3, "p1", None, 2.5, "x"])

    def cmp():
        key = rng.choice(["u", "id", "long", "pair", "few", "c"])
        op = rng.choice(["$eq", "$eq", "$ne", "$in", "$nin"])
        if op in ("$in", "$nin"):
            return ("cmp", key, op, [value(key) for _ in range(rng.randrange(4))])
        return ("cmp", key, op, value(key))

    r = rng.random()
    if r < 0.6:
        return cmp()
    if r < 0.85:
        return ("and", [cmp(), cmp()] + ([make_filter(rng, 2)] if rng.random() < 0.5 else []))
    return ("or", [cmp(), cmp()])


def test_keys_of_few_and_of_very_many_values_through_inserts_deletes_and_a_compaction(store_path):
    rng = random.Random(2121)
    n = 3000
    model = Model()
    db = PyZurAD(store_path)
    points = [(rng.uniform(-90, 90), rng.uniform(-180, 180), many_meta(rng, i, n)) for i in range(n)]
    model.points = dict(zip(db.insert_batch(points), points))
    limits = (1, 40)

    def check_all(count):
        for _ in range(count):
            check(db, model, many_filter(rng, model), rng, limits)

    # Each key's index is built by the first question about it, on a fresh handle or not.
    for node in [many_filter(rng, model) for _ in range(8)]:
        check(PyZurAD(store_path), model, node, rng, limits)
    check_all(60)

    # Inserts: new values, values other points hold (a value held once becomes shared), new keys.
    extra = [(1.0, 2.0, many_meta(rng, n + i, n)) for i in range(600)]
    for k in range(0, 600, 3):
        extra[k][2]["u"] = rng.choice(points)[2]["u"]
        extra[k][2]["long"] = rng.choice(points)[2].get("long", "none")
    ids = db.insert_batch(extra[:500]) + [db.insert(*p) for p in extra[500:]]
    model.points.update(zip(ids, extra))
    check_all(60)

    # Deletes by conditions the value index answers, and by a scan.
    for node in (
        ("cmp", "u", "$in", [f"id-{i}" for i in range(0, n, 7)]),
        ("and", [("cmp", "few", "$eq", "y"), ("cmp", "pair", "$ne", 3)]),
    ):
        doomed = model.matches(node)
        assert db.delete_by_metadata(render(node, rng)) == len(doomed)
        for i in doomed:
            del model.points[i]
    check_all(60)

    # Compaction renumbers the slots and resets the indexes; the next questions build them again.
    assert db.compact() > 0
    model.points = dict(enumerate(p for _, p in sorted(model.points.items())))
    check_all(60)


def test_limits_return_the_lowest_ids_on_short_candidate_lists():
    db = PyZurAD()
    db.insert_batch([(0, 0, {"k": i % 3, "v": i}) for i in range(3000)])
    assert [r["id"] for r in db.query({}, limit=2)] == [0, 1]
    assert [r["id"] for r in db.query({"k": 2}, limit=3)] == [2, 5, 8]
    assert [r["id"] for r in db.query({"v": {"$gte": 2990}, "k": 1}, limit=2)] == [2992, 2995]
    assert [r["id"] for r in db.query({"$or": [{"k": 0}, {"v": 1}]}, limit=3)] == [0, 1, 3]
    assert db.query({"k": 1}, limit=0) == [] and db.query({}, None) == db.query(filter={}, limit=None)


def test_limits_count_only_records_that_read(store_path, probe):
    """A stored text damaged under an open handle reads as an absent point; a limit counts the
    points that read, on every route, whether the damage came before the indexes were built or
    after."""
    rng = random.Random(2026)
    n = 400
    db = probe.PyZurAD(store_path, capacity=n)
    db.insert_batch([(1.0, 2.0, {"k": i % 3, "v": i, "s": f"s{i % 7}"}) for i in range(n)])
    db.flush()
    texts = [b'{"k":%d,"s":"s%d","v":%d}' % (i % 3, i % 7, i) for i in range(n)]
    starts = [64 + sum(map(len, texts[:i])) for i in range(n)]
    filters = [
        ({}, lambda i: True),
        ({"k": 1}, lambda i: i % 3 == 1),
        ({"s": "s3"}, lambda i: i % 7 == 3),
        ({"k": {"$in": [0, 2]}}, lambda i: i % 3 != 1),
        ({"$and": [{"k": 1}, {"v": {"$gte": 100, "$lt": 300}}]}, lambda i: i % 3 == 1 and 100 <= i < 300),
        ({"$or": [{"k": 2}, {"s": "s0"}]}, lambda i: i % 3 == 2 or i % 7 == 0),
        ({"v": {"$lt": 50}}, lambda i: i < 50),
        # A unique value: its one record confirms it or reads as absent.
        *(({"v": v}, lambda i, v=v: i == v) for v in range(0, n, 37)),
    ]
    damaged = set()
    with open(store_path[:-2] + "metadata.mmap", "r+b") as f:
        # The first damage comes before the indexes are built (by the first queries).
        for _ in range(5):
            for i in rng.sample(range(n), 25):
                # Its opening or its closing brace: either leaves the text unreadable.
                f.seek(starts[i] + rng.choice([0, len(texts[i]) - 1]))
                f.write(b"x")
                f.flush()
                damaged.add(i)
            for (doc, match), route in itertools.product(filters, ROUTES):
                want = [i for i in range(n) if i not in damaged and match(i)]
                probe.force_route(route)
                try:
                    assert [r["id"] for r in db.query(doc)] == want, (doc, route)
                    for limit in (1, 2, 5, 10, 40, 300):
                        got = [r["id"] for r in db.query(doc, limit=limit)]
                        assert got == want[:limit], (doc, route, limit)
                    assert db.exists(doc) == bool(want)
                finally:
                    probe.force_route(None)


def test_comparisons_are_strict_about_kinds():
    db = PyZurAD()
    db.insert_batch(
        [
            (0, 0, m)
            for m in [
                {"a": 1},
                {"a": 1.0},
                {"a": True},
                {"a": None},
                {},
                {"tags": ["x", "y"]},
                {"tags": []},
                {"a": "m"},
            ]
        ]
    )

    def ids(f):
        return [r["id"] for r in db.query(f)]

    assert ids({"a": 1}) == [0] and ids({"a": 1.0}) == [1] and ids({"a": True}) == [2]
    assert ids({"a": {"$gte": 1}}) == [0, 1] and ids({"a": {"$gt": "a"}}) == []
    assert ids({"a": None}) == [3] and ids({"a": {"$ne": None}}) == [0, 1, 2, 4, 5, 6, 7]
    assert ids({"tags": "x"}) == [] and ids({"tags": {"$in": ["x"]}}) == [5]
    assert ids({"tags": {"$nin": ["x"]}}) == [0, 1, 2, 3, 4, 6, 7]
    assert ids({"tags": ["x", "y"]}) == [5] and ids({"tags": ["y", "x"]}) == []


# ---- rows ----------------------------------------------------------------------------------------


def test_rows_are_fresh_dicts_sharing_keys_and_string_values():
    db = PyZurAD()
    db.insert(1.5, -2.5, {"name": "same", "o": {"b": 1, "a": [None, {"z": "same"}]}})
    db.insert(3, 4, {"name": "same"})
    db.insert(5, 6, {})
    rows = db.query({})
    assert rows[0] == {
        "id": 0,
        "latitude": 1.5,
        "longitude": -2.5,
        "metadata": {"name": "same", "o": {"a": [None, {"z": "same"}], "b": 1}},
    }
    assert list(rows[0]) == ["id", "latitude", "longitude", "metadata"] and list(rows[0]["metadata"]["o"]) == ["a", "b"]
    assert type(rows[1]["latitude"]) is float and rows[2]["metadata"] == {}
    k0, k1 = list(rows[0]), list(rows[1])
    assert all(a is b for a, b in zip(k0, k1))
    # A short string value is shared from its second meeting on.
    assert rows[0]["metadata"]["o"]["a"][1]["z"] is rows[1]["metadata"]["name"] == rows[0]["metadata"]["name"]
    assert db.query({}) is not rows and db.query({})[0]["metadata"] is not rows[0]["metadata"]


# ---- arguments and the parser --------------------------------------------------------------------

ARGUMENT_ERRORS = [
    (lambda db: db.query([]), TypeError, "argument 'filter': 'list' object cannot be converted to 'PyDict'"),
    (lambda db: db.exists(None), TypeError, "argument 'filter': 'NoneType' object cannot be converted to 'PyDict'"),
    (lambda db: db.query([], limit="x"), TypeError, "argument 'filter': 'list' object cannot be converted to 'PyDict'"),
    (
        lambda db: db.query({"a": {"$bad": 1}}, limit="5"),
        TypeError,
        "argument 'limit': 'str' object cannot be interpreted as an integer",
    ),
    (lambda db: db.query({}, limit=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda db: db.query({}, limit=2**64), OverflowError, "int too big to convert"),
    (lambda db: db.query(), TypeError, "query() missing 1 required positional argument: 'filter'"),
    (lambda db: db.exists({}, 1), TypeError, "exists() takes 1 positional argument but 2 were given"),
]


@pytest.mark.parametrize("call, exc, message", ARGUMENT_ERRORS)
def test_argument_errors_in_their_order(call, exc, message):
    db = PyZurAD()
    with pytest.raises(exc) as err:
        call(db)
    assert str(err.value) == message


class Sneaky:
    """An operand whose conversion adds a key to the document being walked."""

    def __init__(self, target):
        self.target = target

    def __index__(self):
        self.target["later"] = 1
        return 1


def sneaky_document():
    doc = {}
    doc["a"] = Sneaky(doc)
    return doc


PARSE_ERRORS = [
    ({"a": {}}, ValueError, "Invalid query"),
    ({"$and": [{}], "b": {}}, None, None),
    ({"$not": {"a": {}}}, ValueError, "Invalid query"),
    ({"a": {"$eq": 1, "b": 2}}, ValueError, "query cannot mix operators ($...) and plain fields in one document"),
    ({"a": {"$eq": 1, "": 2}}, ValueError, "query cannot mix operators ($...) and plain fields in one document"),
    ({"a": {"$regex": "x"}}, ValueError, "Unknown operator: $regex"),
    ({"a": {"$EQ": 1}}, ValueError, "Unknown operator: $EQ"),
    (
        {"a": {"$regex": (1,)}},
        TypeError,
        "unsupported metadata value type 'tuple' (allowed: bool, int, float, str, None, list, dict)",
    ),
    ({"a": {"$in": 5}}, ValueError, "$in requires an array"),
    ({"a": {"$nin": "ab"}}, ValueError, "$nin requires an array"),
    (
        {"a": {"$in": (1, 2)}},
        TypeError,
        "unsupported metadata value type 'tuple' (allowed: bool, int, float, str, None, list, dict)",
    ),
    ({"$or": {"a": 1}}, TypeError, "'dict' object cannot be converted to 'PyList'"),
    ({"$and": ({"a": 1},)}, TypeError, "'tuple' object cannot be converted to 'PyList'"),
    ({"$or": [{"a": 1}, 1]}, TypeError, "'int' object cannot be converted to 'PyDict'"),
    ({"$not": [{"a": 1}]}, TypeError, "'list' object cannot be converted to 'PyDict'"),
    ({1: 2}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"a": {"$eq": 1, 2: 3}}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"$or": [{"a": {(1,): 1}}]}, TypeError, "'tuple' object cannot be converted to 'PyString'"),
    # Errors come in walk order: the first offending entry decides.
    ({"a": {"$bad": 1}, "$or": 5}, ValueError, "Unknown operator: $bad"),
    ({"$or": 5, "a": {"$bad": 1}}, TypeError, "'int' object cannot be converted to 'PyList'"),
    ({"a": {"$in": 1, "$bad": 2}}, ValueError, "$in requires an array"),
    ({"a": {"$bad": 1, "$in": {1}}}, ValueError, "Unknown operator: $bad"),
    (
        {"a": {"$bad": {1}}},
        TypeError,
        "unsupported metadata value type 'set' (allowed: bool, int, float, str, None, list, dict)",
    ),
]


@pytest.mark.parametrize("doc, exc, message", PARSE_ERRORS)
def test_parse_errors_are_raised_with_their_messages(doc, exc, message):
    db = PyZurAD()
    db.insert(0, 0, {"b": 1})
    for call in (db.query, db.exists):
        if exc is None:
            call(doc)
            continue
        with pytest.raises(exc) as err:
            call(doc)
        assert str(err.value) == message
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        db.query(sneaky_document())


def test_field_keys_are_taken_as_written():
    db = PyZurAD()
    db.insert_batch([(0, 0, {"$nor": [1], "$EQ": 1, "a.b": 2, "a": {"b": 3}, "id": 7})])
    for doc in (
        {"$nor": [1]},
        {"$EQ": 1},
        {"$Or": {"$in": [None]}, "a.b": 2},
        {"a": {"b": 3}},
        {"id": 7},
        {"a": {}, "id": 7},
        {"$and": []},
    ):
        assert [r["id"] for r in db.query(doc)] == ([] if "$Or" in doc else [0]), doc
    assert db.query({"$or": []}) == [] and db.query({"$not": {}}) == []


def nested(depth):
    doc = {"a": 1}
    for i in range(depth):
        doc = {"$not": doc} if i % 2 else {"$and": [doc, {"$or": [{}]}, {}]}
    return doc


def test_deep_filters_raise_recursion_error_and_accepted_ones_evaluate():
    db = PyZurAD()
    db.insert_batch([(0, 0, {"a": i % 2}) for i in range(1500)])
    old = sys.getrecursionlimit()
    for limit in (old, 10**6):
        sys.setrecursionlimit(limit)
        try:
            for call, doc in ((db.query, nested(100000)), (db.exists, nested(255))):
                with pytest.raises(RecursionError) as err:
                    call(doc)
                assert str(err.value) == "filter nested deeper than 256 levels"
        finally:
            sys.setrecursionlimit(old)
    # The deepest filter the parser accepts, evaluated on the pool's threads as well.
    assert [r["id"] for r in db.query(nested(254))] == [i for i in range(1500) if i % 2 == 0]


def test_queries_running_alongside_inserts_see_whole_points_and_end_exact():
    import threading

    db = PyZurAD()
    db.insert_batch([(0, 0, {"k": i % 5, "n": i}) for i in range(3000)])
    stop = threading.Event()
    errors = []

    def reader(f):
        while not stop.is_set():
            try:
                rows = db.query(f)
                ids = [r["id"] for r in rows]
                assert ids == sorted(ids) and all(r["metadata"]["k"] == 3 for r in rows)
            except Exception as e:  # reported by the main thread
                errors.append(e)
                return

    threads = [
        threading.Thread(target=reader, args=(f,)) for f in ({"k": 3}, {"k": 3, "n": {"$gte": 0}}, {"$or": [{"k": 3}]})
    ]
    for t in threads:
        t.start()
    for i in range(20):
        db.insert_batch([(0, 0, {"k": j % 5, "n": 3000 + 100 * i + j}) for j in range(100)])
        db.insert(0, 0, {"k": 3, "n": -i})
    stop.set()
    for t in threads:
        t.join()
    assert not errors
    want = sorted(r["id"] for r in db.query({}) if r["metadata"]["k"] == 3)
    for f in ({"k": 3}, {"k": 3, "n": {"$gte": -100}}, {"$or": [{"k": 3}]}):
        assert [r["id"] for r in db.query(f)] == want
