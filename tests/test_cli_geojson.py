"""The GeoJSON readers against an oracle that decodes each feature alone.

Generated files mix good and bad features of every kind, in many layouts
(white space, member orders, one line or many), read with small windows so
that features are cut everywhere. The readers must give the same points
(bit for bit), the same bad features in the same places with the same
messages, and stop at a malformed feature with what came before it read.
"""

import io
import json
import random

import pytest
from test_cli_roundtrip import awkward_value, same

from orbisk_cli import geojson
from orbisk_cli.geojson import FeatureCollectionSource, FeatureLinesSource, point_of
from orbisk_cli.values import BadRow, decode, problem_in

BOUNDARY_BAIT = '},\n{"type":"Feature","geometry":{"type":"Point","coordinates":[1.0,2.0]},"properties":{'


def deep(levels):
    value = 1
    for i in range(levels):
        value = [value] if i % 2 else {"k": value}
    return value


def coordinate(rng, limit):
    pick = rng.random()
    if pick < 0.7:
        return rng.uniform(-limit, limit)
    return rng.choice([limit, -limit, 0.0, -0.0, 5e-324, 1e-7, float(int(limit)), int(limit) - 1, 0, -3])


def plain_value(rng):
    """A value written without escapes."""
    return rng.choice(
        [
            rng.randrange(-(10**6), 10**6),
            rng.uniform(-1e6, 1e6),
            "name é 🌍",
            True,
            None,
            [1, "a", {"b": [2.5, {}]}],
            rng.randrange(10**17),
        ]
    )


def good_feature(rng, plain=False):
    feature = {
        "type": "Feature",
        "geometry": {"type": "Point", "coordinates": [coordinate(rng, 180.0), coordinate(rng, 90.0)]},
    }
    pick = rng.random()
    if pick < 0.8:
        value = plain_value if plain else awkward_value
        feature["properties"] = {
            rng.choice(["name", "ключ", "名前", "n", "a b", "v"]): value(rng) for _ in range(rng.randrange(5))
        }
        if rng.random() < 0.1 and not plain:
            feature["properties"]["text"] = BOUNDARY_BAIT
    elif pick < 0.9:
        feature["properties"] = None
    if rng.random() < 0.3:
        feature["id"] = rng.choice([rng.randrange(10**6), "f-1", None])
    if rng.random() < 0.1:
        feature["bbox"] = [0.0, 0.0, 1.0, 1.0]
    return feature


# Features that decode but are not importable points, and JSON texts that do not decode.
BAD_FEATURES = [
    lambda f: f["geometry"].update(type="LineString", coordinates=[[1, 2], [3, 4]]),
    lambda f: f.update(geometry=None),
    lambda f: f.pop("geometry"),
    lambda f: f.update(type="Feat"),
    lambda f: f["geometry"].update(coordinates=[1.0, 2.0, 3.0]),
    lambda f: f["geometry"].update(coordinates=["1", 2.0]),
    lambda f: f["geometry"].update(coordinates=[True, 2.0]),
    lambda f: f["geometry"].update(coordinates=[10.0, 90.5]),
    lambda f: f["geometry"].update(coordinates=[-180.00001, 0.0]),
    lambda f: f["geometry"].update(coordinates=[10**400, 0]),
    lambda f: f.update(properties=[1, 2]),
    lambda f: f["geometry"].update(type=["Point"]),
    lambda f: f.update(type={"a": 1}),
]
# Features whose properties decide, some at the edge of what the store keeps.
METADATA = [
    lambda f: f.update(properties={"big": 2**64}),
    lambda f: f.update(properties={"overflows": 1.25e300}),  # written as 1.25e+400
    lambda f: f.update(properties={"small": -(2**63) - 1}),
    lambda f: f.update(properties={"lone": "\ud800 x"}),
    lambda f: f.update(properties={"\udfff": 1}),
    lambda f: f.update(properties={"deep": deep(127)}),
    lambda f: f.update(properties={"deep": deep(126)}),
    lambda f: f.update(properties={"edge": [2**63 - 1, -(2**63), 1.5e308, 1e-300, "\U0001f30d"]}),
]
NOT_FEATURES = ["[]", "5", '"Feature"', "null", "{}", "[[1,2]]"]
MALFORMED = [
    '{"type":"Feature",}',
    '{"type":"Feature" "geometry":null}',
    '{"a":NaN}',
    '{"a":1e}',
    '[' * 5000,
    '{"a":"unterminated}',
]


def feature_text(rng, feature, plain=False):
    if rng.random() < 0.5:
        feature = dict(rng.sample(list(feature.items()), len(feature)))
    indent = rng.choice([None, None, None, 0, 2])
    separators = rng.choice([(",", ":"), (", ", ": "), (" ,", " :\t")]) if indent is None else None
    text = json.dumps(feature, indent=indent, separators=separators, ensure_ascii=not plain and rng.random() < 0.3)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate can only be written escaped
        text = json.dumps(feature, indent=indent, separators=separators)
    return text.replace("1.25e+300", "1.25e+400")


def expectation(text):
    """What a reader gives for one feature's text: a point, a problem, or
    None when the text is not JSON."""
    try:
        feature = decode(text)
    except (json.JSONDecodeError, RecursionError):
        return None
    except ValueError as e:  # a NaN or an infinity in text that is JSON otherwise: a bad feature
        try:
            json.JSONDecoder(parse_constant=lambda name: None).decode(text)
        except (ValueError, RecursionError):
            return None
        return str(e)
    try:
        lat, lon, properties = point_of(feature)
    except ValueError as e:
        return str(e)
    return problem_in(properties) or (lat, lon, properties)


def generated(rng, n, malformed):
    """(feature texts, what each gives); the malformed one, when asked for, is the last."""
    texts, expected = [], []
    good = rng.choice([1.0, 0.98, 0.8])
    bad = rng.choice([BAD_FEATURES + METADATA, METADATA])
    plain = rng.random() < 0.5
    if plain and good == 0.98:  # numbers the store refuses, among features that pass the byte screen
        good, bad = 0.9, METADATA[:3]
    for i in range(n):
        pick = rng.random()
        if malformed and i == n - 1:
            text = rng.choice(MALFORMED)
        elif pick < good:
            text = feature_text(rng, good_feature(rng, plain), plain)
        elif pick < (good + 3) / 4:  # of the rest, three bad features to one that is not a feature
            feature = good_feature(rng, plain)
            rng.choice(bad)(feature)
            text = feature_text(rng, feature, plain)
        else:
            text = rng.choice(NOT_FEATURES)
        texts.append(text)
        expected.append(expectation(text))
    return texts, expected


def events(source):
    """What the source yields: points (without their line) and bad rows, and the malformed place last."""
    got = []
    try:
        for item in source.batches():
            if isinstance(item, BadRow):
                got.append((item.place, item.problem))
            else:
                got.extend(point[:4] for point in item)
    except BadRow as e:
        got.append(("stop", e.place, e.problem))
    return got


def check(got, want):
    assert len(got) == len(want), (got[len(want) :], want[len(got) :])
    for g, w in zip(got, want):
        assert same(list(g), list(w)), (g, w)


@pytest.mark.parametrize("seed", range(40))
def test_feature_collection_reader_matches_the_oracle(monkeypatch, seed):
    rng = random.Random(seed)
    malformed = seed % 5 == 4
    texts, expected = generated(rng, rng.randrange(1, 150), malformed)
    layout = rng.choice(["lines", "one line", "spaced"])
    gap = {"lines": lambda: ",\n", "one line": lambda: ",", "spaced": lambda: rng.choice([",", " ,\n\t", "\r\n,  "])}[
        layout
    ]
    head = rng.choice(
        [
            '{"type":"FeatureCollection","features":[\n',
            '\ufeff{ "features" : [ ',
            '{"name":"x","bbox":[0,1,2,3],\n"type": "FeatureCollection",\n"features":\n[\n',
        ]
    )
    parts, lines = [head], []
    for i, text in enumerate(texts):
        if i:
            parts.append(gap())
        lines.append("".join(parts).count("\n") + 1)
        parts.append(text)
    parts.append(rng.choice(["\n]}\n", "]  ,\"type\":\"FeatureCollection\"}", "\n]\n}"]))
    whole = "".join(parts)
    want = []
    for number, (line, result) in enumerate(zip(lines, expected), 1):
        if result is None:  # the whole file decoded as one text fails at the same place
            try:
                decode(whole.removeprefix("\ufeff"))
            except RecursionError:
                problem = "is nested too deeply to read"
            except json.JSONDecodeError as e:
                problem = f"is not valid JSON ({e.msg}: line {e.lineno} column {e.colno})"
            except ValueError as e:
                problem = f"is not valid JSON ({e})"
            want.append(("stop", f"f line {line}", f"feature {number} {problem}"))
            break
        if isinstance(result, str):
            want.append((f"f feature {number} (line {line})", result))
        else:
            want.append((*result, number))
    # Windows of a few features cut numbers between chunks; tiny ones cut every feature.
    for chunk in (rng.randrange(100, 400), rng.randrange(100, 400), rng.choice([16, 3000, 1 << 20])):
        monkeypatch.setattr(geojson, "_CHUNK", chunk)
        source = FeatureCollectionSource(io.BytesIO(whole.encode()), "f", None, rng.choice([1, 7, 50_000]))
        check(events(source), want)


@pytest.mark.parametrize("seed", range(20))
def test_feature_lines_reader_matches_the_oracle(monkeypatch, seed):
    rng = random.Random(1000 + seed)
    monkeypatch.setattr(geojson, "_CHUNK", rng.choice([16, 400, 1 << 20]))
    texts, expected = generated(rng, rng.randrange(1, 150), malformed=seed % 2 == 0)
    raw, want = [], []
    for text, result in zip(texts, expected):
        line = len(raw) + 1
        one = text.replace("\n", " ")
        data = (rng.choice(["", "\x1e", " "]) + one + rng.choice(["", "\r", " "])).encode()
        if rng.random() < 0.03:
            data, result = data + b"\xff", "not UTF-8 text (invalid start byte)"
        raw.append(data)
        if result is None:
            try:
                decode(one)
            except RecursionError:
                result = "nested too deeply to read"
            except ValueError as e:
                result = str(e)
        if isinstance(result, str):
            want.append((f"f line {line}", result))
        else:
            want.append((*result, line))
        if rng.random() < 0.05:
            raw.append(b"  ")
    data = b"\n".join(raw) + rng.choice([b"\n", b""])
    if rng.random() < 0.3:
        data = b"\xef\xbb\xbf" + data
    source = FeatureLinesSource(io.BytesIO(data), "f", None, rng.choice([1, 7, 50_000]))
    check(events(source), want)


@pytest.mark.parametrize("mixed", [False, True])
@pytest.mark.parametrize("reader", [FeatureCollectionSource, FeatureLinesSource])
def test_a_height_key_keeps_the_third_coordinate_of_3d_points(reader, mixed):
    rng = random.Random(12)
    features, want = [], []
    for number in range(1, 200):
        lon, lat = rng.uniform(-180, 180), rng.uniform(-90, 90)
        height = rng.choice([rng.uniform(-400, 9000), rng.randrange(-400, 9000), 0])
        flat = mixed and number % 3 == 0
        properties = rng.choice([None, {"name": f"p{number}"}])
        coordinates = [lon, lat] if flat else [lon, lat, height]
        features.append(
            {"type": "Feature", "geometry": {"type": "Point", "coordinates": coordinates}, "properties": properties}
        )
        meta = dict(properties or {})
        if not flat:
            meta["elevation"] = height
        want.append((lat, lon, meta, number))
    if reader is FeatureCollectionSource:
        data = json.dumps({"type": "FeatureCollection", "features": features}, indent=0)
    else:
        data = "\n".join(map(json.dumps, features))
    source = reader(io.BytesIO(data.encode()), "f", None, 50, "elevation")
    check(events(source), want)
