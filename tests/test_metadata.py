"""Metadata documents: Python -> stored JSON text -> Python, and the conversion errors."""

import enum
import random

import pytest
from orbisk import PyZurAD

UNSUPPORTED = "unsupported metadata value type '{}' (allowed: bool, int, float, str, None, list, dict)"


def same(a, b):
    """Equal values of exactly the same types, with dict keys in the same order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def roundtrip(probe, metadata):
    [back] = probe.from_json_texts([probe.to_json_text(metadata)])
    return back


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Float:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Color(enum.IntEnum):
    RED = 3


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, True),
        (False, False),
        (None, None),
        (0, 0),
        (2**63 - 1, 2**63 - 1),
        (2**63, 9223372036854775808.0),
        (2**64, 18446744073709551616.0),
        (-(2**63), -(2**63)),
        (-(2**63) - 1, -9223372036854775809.0),
        (1.0, 1.0),
        (-0.5, -0.5),
        (1e300, 1e300),
        (5e-324, 5e-324),
        (float("nan"), None),
        (float("inf"), None),
        (float("-inf"), None),
        ("", ""),
        ("é\u20ac\U0001f600 \x00\x1f\"\\/", "é\u20ac\U0001f600 \x00\x1f\"\\/"),
        ([1, "a", None, [True], {}], [1, "a", None, [True], {}]),
        ({"b": 1, "a": {"d": 0, "c": 1}, "": 2}, {"": 2, "a": {"c": 1, "d": 0}, "b": 1}),
        (type("S", (str,), {})("s"), "s"),
        (type("I", (int,), {})(7), 7),
        (Color.RED, 3),
        (type("F", (float,), {})(2.5), 2.5),
        (type("L", (list,), {})([1]), [1]),
        (type("D", (dict,), {})(x=1), {"x": 1}),
        (Index(-7), -7),
        (Index(10**30), 1e30),
        (Float(2.5), 2.5),
        (Float(-1.0), -1.0),
        (Float(float("nan")), None),
    ],
)
def test_values_round_trip_as_base_types(probe, value, expected):
    assert same(roundtrip(probe, {"v": value}), {"v": expected})


class DistinctKey(str):
    """A key that a dict keeps apart from the equal plain str."""

    __hash__ = object.__hash__
    __eq__ = object.__eq__


def test_top_level_dict_subclass_and_repeated_keys(probe):
    doc = type("D", (dict,), {})((f"k{i}", i) for i in range(40))
    back = roundtrip(probe, doc)
    assert type(back) is dict and back == dict(doc)
    # Keys equal as text: the one walked last wins, at the top level and nested.
    doc = {DistinctKey("a"): 1, "a": 2, "o": {DistinctKey("b"): 3, "b": 4}}
    assert roundtrip(probe, doc) == {"a": 2, "o": {"b": 4}}


DOCS = [
    ({}, "{}"),
    ({"a": 1}, '{"a":1}'),
    ({"a": True}, '{"a":true}'),
    ({"x": 1.0}, '{"x":1.0}'),
    ({"x": -2.5e-8}, None),
    ({"n": -(2**63)}, '{"n":-9223372036854775808}'),
    ({"n": 2**64 - 1}, None),
    (
        {
            "x": float("nan"),
        },
        '{"x":null}',
    ),
    ({"o": {"b": 1, "a": 2, "ab": [], "B": None}}, '{"o":{"B":null,"a":2,"ab":[],"b":1}}'),
    ({"s": "\b\f\n\r\t\x01\x1f\x7f\"\\/é"}, '{"s":"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\\"\\\\/é"}'),
    ({"\n\u20ac": [1, [2, {"z": {}, "y": "x"}]]}, '{"\\n\u20ac":[1,[2,{"y":"x","z":{}}]]}'),
]


def test_inserted_metadata_is_stored_back_to_back_as_compact_text(store_path, probe):
    db = PyZurAD(store_path, capacity=1)
    for i, (doc, _) in enumerate(DOCS):
        assert db.insert(0.0, 0.0, doc) == i
    db.flush()
    texts = [text if text is not None else probe.to_json_text(doc) for doc, text in DOCS]
    stored = open(store_path[:-2] + "metadata.mmap", "rb").read()
    expected = "".join(texts).encode()
    assert stored[64 : 64 + len(expected)] == expected
    assert int.from_bytes(stored[8:16], "little") == len(DOCS)
    # Doubles keep a fraction or an exponent, so they read back as floats.
    back = probe.from_json_texts(texts)
    assert same(back[4], {"x": -2.5e-8}) and same(back[6], {"n": 18446744073709551615.0})


@pytest.mark.parametrize(
    "doc, exc, message",
    [
        ({"t": (1, 2)}, TypeError, UNSUPPORTED.format("tuple")),
        ({"b": b"x"}, TypeError, UNSUPPORTED.format("bytes")),
        ({"s": {1}}, TypeError, UNSUPPORTED.format("set")),
        ({"l": [1, 2, object()]}, TypeError, UNSUPPORTED.format("object")),
        ({"n": 10**400}, TypeError, UNSUPPORTED.format("int")),
        ({"n": [Index(10**400)]}, TypeError, UNSUPPORTED.format("Index")),
        ({"s": "a\ud800"}, TypeError, UNSUPPORTED.format("str")),
        ({1: "a"}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"o": {"ok": 1, None: 2}}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"l": [{(1,): 2}]}, TypeError, "'tuple' object cannot be converted to 'PyString'"),
        ({"k\udc80": 1}, UnicodeEncodeError, None),
    ],
)
def test_failed_conversion_raises_and_stores_nothing(store_path, doc, exc, message):
    db = PyZurAD(store_path, capacity=1)
    db.insert(1.0, 1.0, {"first": 1})
    meta_file = store_path[:-2] + "metadata.mmap"
    before = open(meta_file, "rb").read()
    with pytest.raises(exc) as info:
        db.insert(2.0, 2.0, {"ok": 1, **doc})
    if message is not None:
        assert str(info.value) == message
    with pytest.raises(exc):
        db.insert_batch([(3.0, 3.0, {"good": 1}), (4.0, 4.0, doc)])
    assert db.slot_stats() == (1, 1)
    assert open(meta_file, "rb").read() == before


def mutating_dict(replace):
    doc = {}

    class Mutator:
        def __index__(self):
            if replace:  # same size, different keys
                del doc["a"]
            doc["zz"] = 1
            return 1

    doc["a"] = Mutator()
    doc["b"] = 2
    return doc


@pytest.mark.parametrize(
    "replace, message",
    [(False, "dictionary changed size during iteration"), (True, "dictionary keys changed during iteration")],
)
def test_dict_changed_during_conversion(store_path, replace, message):
    db = PyZurAD(store_path, capacity=1)
    for doc in (mutating_dict(replace), {"outer": [mutating_dict(replace)]}):
        with pytest.raises(RuntimeError) as info:
            db.insert(0.0, 0.0, doc)
        assert str(info.value) == message
    assert db.len() == 0


def nested(levels, kind):
    """A metadata dict holding `levels` levels of containers, the dict itself being the first."""
    value = 0
    for _ in range(levels - 1):
        value = [value] if kind == "list" else {"k": value}
    return {"k": value}


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_nesting_limit_is_127_levels(store_path, probe, kind):
    db = PyZurAD(store_path, capacity=1)
    deepest = nested(127, kind)
    assert db.insert(0.0, 0.0, deepest) == 0
    text = probe.to_json_text(deepest)
    if kind == "list":
        assert text == '{"k":' + "[" * 126 + "0" + "]" * 126 + "}"
    stored = open(store_path[:-2] + "metadata.mmap", "rb").read()
    assert stored[64 : 64 + len(text)] == text.encode()
    assert probe.from_json_texts([text]) == [deepest]

    for levels in (128, 1000):
        with pytest.raises(ValueError) as info:
            db.insert(0.0, 0.0, nested(levels, kind))
        assert str(info.value) == "metadata nested deeper than 127 levels"
    with pytest.raises((ValueError, RecursionError)):
        db.insert_batch([(0.0, 0.0, {}), (0.0, 0.0, nested(100_000, kind))])
    with pytest.raises((ValueError, RecursionError)):
        probe.to_json_text(nested(100_000, kind))
    assert db.slot_stats() == (1, 1)
    assert open(store_path[:-2] + "metadata.mmap", "rb").read() == stored


@pytest.mark.parametrize(
    "text, expected",
    [
        ('  \t\r\n{"a":1}\n ', {"a": 1}),
        ('{"a":1,"a":{"b":1,"b":[2]}}', {"a": {"b": [2]}}),
        (
            '{"n":18446744073709551615,"m":-9223372036854775809,"e":1e2}',
            {"n": 18446744073709551615.0, "m": -9223372036854775809.0, "e": 100.0},
        ),
        ('{"s":"\\u00e9\\ud83d\\ude00"}', {"s": "é\U0001f600"}),
        ("[1]", None),
        ("5", None),
        ('{"a":1} x', None),
        ('{"a":1}{}', None),
        ('{"a":1', None),
        ("", None),
        ('{"k":' + "[" * 127 + "]" * 127 + "}", None),
        (b'{"a":"\xff"}', None),
    ],
)
def test_reader_accepts_only_one_object_within_127_levels(probe, text, expected):
    [back] = probe.from_json_texts([text])
    assert same(back, expected)


def test_reader_shares_keys_and_string_values(probe):
    # Keys for the process; short ASCII values met again lately, from their second
    # meeting on, within a call and from one call to the next; longer values within
    # a call, the first 8192.
    keys = "{" + ",".join(f'"key{i}":0' for i in range(9000)) + "}"
    short = '{"v":[' + ",".join(f'"val{i}"' for i in range(100)) + "]}"
    long = '{"v":[' + ",".join(f'"{"x" * 70}{i}"' for i in range(8193)) + "]}"
    a, b, c, d, e, f = probe.from_json_texts([keys, keys, short, short, long, long])
    assert all(x is y for x, y in zip(sorted(a), sorted(b)))
    assert list(c) == ["v"] and list(c)[0] is list(e)[0]
    [later] = probe.from_json_texts([short])
    assert c == d == later and all(y is z for y, z in zip(d["v"], later["v"]))
    assert all(x is y for x, y in zip(e["v"][:8192], f["v"][:8192]))
    assert e["v"][8192] == f["v"][8192] and e["v"][8192] is not f["v"][8192]


class StrKey(str):
    __hash__ = object.__hash__
    __eq__ = object.__eq__


def documents():
    from hypothesis import strategies as st

    keys = st.text(max_size=4) | st.builds(StrKey, st.text(max_size=2))
    scalars = (
        st.none()
        | st.booleans()
        | st.integers(min_value=-(2**70), max_value=2**70)
        | st.floats(allow_nan=True, allow_infinity=True)
        | st.text(max_size=6)
        | st.builds(Index, st.integers(-5, 5))
        | st.builds(Float, st.floats(-1e3, 1e3))
        | st.sampled_from([(1,), b"x", {1}])
    )
    values = st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys | st.integers(0, 3), inner, max_size=4),
        max_leaves=20,
    )
    return st.dictionaries(keys, values, max_size=6)


def test_stored_text_is_written_as_the_value_model_writes_it(probe):
    """Inserts write text straight from Python objects; it must be the text (or
    the error) of the converted value, for any document."""
    from hypothesis import given, settings

    def outcome(f, doc):
        try:
            return f(doc)
        except Exception as e:  # noqa: BLE001 - the exception is the outcome compared
            return type(e), str(e)

    @settings(max_examples=200, derandomize=True, deadline=None)
    @given(documents())
    def check(doc):
        assert outcome(probe.to_json_text, doc) == outcome(probe.to_json_text_via_map, doc)

    check()


def random_text(rng):
    """A JSON text meant to be awkward for the reader: repeated and unordered keys, escapes,
    integers at the edges of their kinds, odd white space, nesting near the limit, and now
    and then a damaged byte."""
    numbers = [
        "0",
        "-0",
        "7",
        "-7",
        "9223372036854775807",
        "9223372036854775808",
        "-9223372036854775808",
        "-9223372036854775809",
        "18446744073709551615",
        "18446744073709551616",
        "1.0",
        "-0.0",
        "1e2",
        "1E-400",
        "1e400",
        "-2.5e-8",
        "123456789012345678901234567890",
        "01",
        "1.",
        ".5",
        "-",
        "1e",
    ]
    strings = [
        '"a"',
        '"b"',
        '"ab"',
        '""',
        '"\\u00e9"',
        '"\\ud83d\\ude00"',
        '"\\ud800"',
        '"x\\"y"',
        '"\\n\\t"',
        '"\u20ac"',
        '"\\u0041"',
        '"k"',
    ]
    ws = ["", "", "", " ", "\n\t", "\r "]

    def value(depth):
        r = rng.random()
        if depth < 126 and r < 0.15:
            return "[" + ",".join(value(depth + 1) for _ in range(rng.randrange(4))) + "]"
        if depth < 126 and r < 0.3:
            return obj(depth + 1)
        if r < 0.5:
            return rng.choice(numbers) if rng.random() < 0.5 else str(rng.randrange(-(10**20), 10**20))
        if r < 0.8:
            return rng.choice(strings)
        return rng.choice(["true", "false", "null"])

    def obj(depth):
        members = [
            rng.choice(strings) + rng.choice(ws) + ":" + rng.choice(ws) + value(depth) for _ in range(rng.randrange(5))
        ]
        return "{" + rng.choice(ws) + ("," + rng.choice(ws)).join(members) + rng.choice(ws) + "}"

    if rng.random() < 0.3:  # runs of documents with the same keys, one of them repeated
        keys = rng.choice([['"k"', '"a"', '"b"'], ['"a"', '"k"', '"a"'], ['"b"']])
        text = "{" + ",".join(k + ":" + value(1) for k in keys) + "}"
    elif rng.random() < 0.1:  # a chain of containers around the 127-level limit
        levels = rng.choice([126, 127, 128])
        inner = rng.choice(["[", '{"k":'])
        close = "]" if inner == "[" else "}"
        text = '{"d":' + inner * (levels - 1) + "1" + close * (levels - 1) + "}"
    else:
        text = rng.choice(ws) + obj(1) + rng.choice(ws)
    data = bytearray(text.encode())
    if data and rng.random() < 0.2:
        i = rng.randrange(len(data))
        kind = rng.randrange(3)
        if kind == 0:
            del data[i:]
        elif kind == 1:
            data[i] = rng.choice(b'{}[]":,\\x \xff\xc3')
        else:
            data[i:i] = bytes([rng.randrange(256)])
    return bytes(data)


def test_rows_read_from_text_match_the_value_model(probe):
    """Rows are built straight from the stored text; they must be what reading the text into
    the value model and converting each value gives: the same values, types and key order,
    and the same texts found unreadable (also by the scan's quick check)."""
    rng = random.Random(20261208)
    texts = [random_text(rng) for _ in range(4000)]
    # In calls of a few texts too: what the reader keeps from one call to the next.
    cuts = sorted(rng.sample(range(1, len(texts)), 300))
    direct = [row for a, b in zip([0, *cuts], [*cuts, len(texts)]) for row in probe.from_json_texts(texts[a:b])]
    via_map = probe.from_json_texts_via_map(texts)
    readable = probe.texts_readable(texts)
    for text, a, b, ok in zip(texts, direct, via_map, readable):
        assert same(a, b), text
        assert ok == (b is not None), text
    assert 0.2 < sum(x is None for x in via_map) / len(texts) < 0.8
