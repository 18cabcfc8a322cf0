"""GeoJSON in and out: a FeatureCollection of Points, or one Feature a line.

The readers stream: they decode a window of the file at a time, so a
collection larger than memory loads, and turn a window's features into
points in a few passes over the whole list; a window with anything unusual
in it is read again one feature at a time, which names each problem and
its place. Coordinates are written with Python's shortest round-trip form
of a double, so they read back bit for bit.
"""

from __future__ import annotations

import codecs
import json
import re
from collections.abc import Iterable, Iterator
from itertools import chain, count, repeat
from operator import itemgetter
from typing import IO, Any

from orbisk_cli.source import ArrowBatch, Item, Point, Source
from orbisk_cli.values import (
    MAX_DEPTH,
    BadRow,
    any_problem_in_documents,
    decode,
    decode_constants,
    encode_all,
    raw_decode,
    scan,
    screened,
)


def _compiled() -> Any:
    """The compiled feature reader and pyarrow, when both are at hand (else None)."""
    try:
        import pyarrow

        from orbisk_columnar._columnar import read_features
    except ImportError:
        return None
    return read_features, pyarrow


def arrow_batch(arrow: tuple[Any, Any], result: Any, last_row: int, with_lines: bool) -> ArrowBatch:
    """The points the compiled reader read, to append; their rows as the row
    reader reads them (points with their numbers, and lines when `with_lines`)."""
    pa = arrow[1]
    table = pa.table(result)
    numbers, lines = table.column("number"), table.column("line")
    table = table.drop_columns(["number", "line"])

    def points() -> Iterator[list[Point] | BadRow]:
        columns = [table.column(n).to_pylist() for n in ("latitude", "longitude")]
        columns.append(list(map(decode, table.column("metadata_rest").cast(pa.string()).to_pylist())))
        columns.append(numbers.to_pylist())
        if with_lines:
            columns.append(lines.to_pylist())
        yield list(zip(*columns))

    return ArrowBatch(table, "latitude", "longitude", None, last_row, points)


_SPACE = re.compile(r"[ \t\n\r]*")
_AFTER_FEATURE = re.compile(r"[ \t\n\r]*([,\]])[ \t\n\r]*")
_OVERLAP = 24  # bytes before a chunk that a number or escape in it may have begun in
_CHUNK = 1 << 16  # small enough that a window's objects stay in the processor's cache
_COMPILED_WINDOWS = 16  # chunks a window of the compiled reader holds: fewer calls, no objects to keep in cache
_LARGEST_FEATURE = 64 << 20


def point_of(feature: Any, height: str | None = None) -> tuple[float, float, dict[str, Any]]:
    """(lat, lon, properties) of a Point feature; ValueError says what is wrong.
    `height`: the metadata key that keeps the third coordinate of a 3-D point."""
    if feature.__class__ is dict:  # the usual feature, checked in few steps
        geometry = feature.get("geometry")
        if geometry.__class__ is dict and geometry.get("type") == "Point" and feature.get("type") == "Feature":
            coords = geometry.get("coordinates")
            if coords.__class__ is list and len(coords) == 2:
                lon, lat = coords
                if (
                    lat.__class__ is float
                    and lon.__class__ is float
                    and -90.0 <= lat <= 90.0
                    and -180.0 <= lon <= 180.0
                ):
                    properties = feature.get("properties")
                    if properties.__class__ is dict:
                        return lat, lon, properties
    return _point_of(feature, height)


def _point_of(feature: Any, height: str | None) -> tuple[float, float, dict[str, Any]]:
    if type(feature) is not dict or feature.get("type") != "Feature":
        raise ValueError("not a GeoJSON Feature")
    geometry = feature.get("geometry")
    if type(geometry) is not dict:
        raise ValueError("has no geometry")
    if geometry.get("type") != "Point":
        raise ValueError(f"geometry is a {geometry.get('type')}, not a Point")
    coords = geometry.get("coordinates")
    n = len(coords) if isinstance(coords, list) else 0
    if n != 2 and (n != 3 or height is None):
        hint = " (--height-key NAME keeps the third as the metadata key NAME)" if n == 3 else ""
        raise ValueError(f"Point has {n} coordinates; only [longitude, latitude] can be stored{hint}")
    assert isinstance(coords, list)
    lon, lat = coords[:2]
    if type(lon) not in (float, int) or type(lat) not in (float, int):
        raise ValueError("Point coordinates are not numbers")
    try:
        lat = float(lat)
        lon = float(lon)
    except OverflowError:  # an integer beyond any double
        raise ValueError(f"coordinate out of range (latitude {coords[1]!r}, longitude {coords[0]!r})") from None
    if not (-90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0):
        raise ValueError(f"coordinate out of range (latitude {lat!r}, longitude {lon!r})")
    properties = feature.get("properties")
    if properties is None:
        properties = {}
    elif type(properties) is not dict:
        raise ValueError("properties are not an object")
    if len(coords) == 3:
        assert height is not None
        if type(coords[2]) not in (float, int):
            raise ValueError("the Point's height is not a number")
        if height in properties:
            raise ValueError(f"properties hold {height!r} already, the key --height-key gives the height")
        properties = {**properties, height: coords[2]}
    return lat, lon, properties


_GEOMETRY = itemgetter("geometry")
_TYPE = itemgetter("type")
_COORDINATES = itemgetter("coordinates")
_LON = itemgetter(0)
_LAT = itemgetter(1)
_HEIGHT = itemgetter(2)


def too_deep(documents: list[dict[str, Any]]) -> bool:
    """Whether a metadata document has a value nested deeper than the store
    keeps; a pass a level over the objects and arrays only."""
    values: list[Any] = list(chain.from_iterable(map(dict.values, documents)))
    depth = 2
    while values:
        kinds = set(map(type, values))
        if dict not in kinds and list not in kinds:
            return False
        if depth > MAX_DEPTH:
            return True
        dicts = [v for v in values if v.__class__ is dict] if dict in kinds else []
        lists = [v for v in values if v.__class__ is list] if list in kinds else []
        values = list(chain(chain.from_iterable(map(dict.values, dicts)), chain.from_iterable(lists)))
        depth += 1
    return False


def points_of(
    features: list[Any], numbers: Iterable[int], text_screened: bool = False, height: str | None = None
) -> list[Point] | None:
    """The points (lat, lon, properties, number) of features with those
    numbers, in a few passes over the whole list; None when any feature is
    not a plain Point feature whose properties the store gives back as they
    are (point_of and problem_in then name the problem, one at a time).
    `text_screened`: the features' text passed `screened`; `height`: the key
    of the third coordinate of 3-D points."""
    try:
        if set(map(_TYPE, features)) != {"Feature"}:
            return None
        geometries = list(map(_GEOMETRY, features))
        if set(map(_TYPE, geometries)) != {"Point"}:
            return None
        coords = list(map(_COORDINATES, geometries))
        if set(map(type, coords)) != {list}:
            return None
        heights = None
        if set(map(len, coords)) != {2}:
            if height is None or set(map(len, coords)) != {3}:
                return None
            heights = list(map(_HEIGHT, coords))
            if not set(map(type, heights)) <= {float, int}:
                return None
        lons = list(map(_LON, coords))
        lats = list(map(_LAT, coords))
        kinds = set(map(type, lons)) | set(map(type, lats))
        if kinds != {float}:
            if not kinds <= {float, int}:
                return None
            lons = list(map(float, lons))
            lats = list(map(float, lats))
        if min(lats) < -90.0 or max(lats) > 90.0 or min(lons) < -180.0 or max(lons) > 180.0:
            return None
    except (KeyError, TypeError, OverflowError):  # not objects, members missing, unhashable members
        return None
    properties: list[Any] = list(map(dict.get, features, repeat("properties")))
    kinds = set(map(type, properties))
    if kinds != {dict}:
        if not kinds <= {dict, type(None)}:
            return None
        properties = [{} if p is None else p for p in properties]
    if heights is not None:
        if any(height in p for p in properties):
            return None
        properties = [{**p, height: z} for p, z in zip(properties, heights)]
    if too_deep(properties) if text_screened else any_problem_in_documents(properties):
        return None
    return list(zip(lats, lons, properties, numbers))


class _Constant:
    """A value passed over for a NaN or an infinite number in it."""

    def __init__(self, name: str) -> None:
        self.name = name


def batched(pieces: Iterator[Item], size: int) -> Iterator[Item]:
    """Batches of at least `size` points (but at a bad row, an Arrow batch or
    the end) from lists of checked points, Arrow batches and bad rows in file
    order. When the file cannot
    be read on, the points before that place are yielded first."""
    batch: list[Point] = []
    try:
        for piece in pieces:
            if isinstance(piece, (BadRow, ArrowBatch)):
                if batch:
                    yield batch
                    batch = []
                yield piece
            else:
                batch += piece
                if len(batch) >= size:
                    yield batch
                    batch = []
    except BadRow:
        if batch:
            yield batch
        raise
    if batch:
        yield batch


def checked_rows(source: Source, rows: list[Any]) -> Iterator[list[Point] | BadRow]:
    """Points and bad rows read one at a time, as checked points and bad rows."""
    start = 0
    for i, row in enumerate(rows):
        if row.__class__ is BadRow:
            if i > start:
                yield from source.checked(rows[start:i])
            yield row
            start = i + 1
    if start < len(rows):
        yield from source.checked(rows[start:])


class FeatureCollectionSource(Source):
    """Reads the features of a FeatureCollection, many at a time.

    The window `buf` holds the file's text from some point on (`base` is the
    offset of its first character in the text); `pos` is where reading has
    got to. Most of the features array is decoded a window at a time, as
    one JSON array: the text up to the last place that looks like the end of
    a feature, by the separator seen between two features before. When that
    text decodes, the cut was between features (the decoder went through
    the same states as it would in the whole file), so the features are the
    file's. A window that does not decode, or holds a feature that is not a
    plain Point feature, is read again one feature at a time, which knows
    each feature's line for its message; so is the start of the array, to
    learn the separator, and its end. Line numbers, wanted only for messages,
    are counted from the last position asked about.
    """

    unit = "feature"
    row_unit = "feature"

    def __init__(
        self, stream: IO[bytes], name: str, total: int | None, batch_size: int, height: str | None = None
    ) -> None:
        super().__init__(name, total, batch_size)
        self.height = height
        self.stream = stream
        self.decoder = codecs.getincrementaldecoder("utf-8-sig")()
        self.buf = ""
        self.base = 0
        self.pos = 0
        self.counted = (0, 1)  # (a position in buf, its line)
        self.column = 0  # of buf's first character in its line, from 0
        self.eof = False
        self.unreadable: BadRow | None = None
        self.last = b""  # the end of the chunk read last
        self.suspect = (0, 0)  # text offsets that did not pass `screened`
        self.number = 0  # of the last feature read
        self.closed = False  # whether the features array has ended
        self.boundary = ""  # the end of a feature, the separator and the start of the next
        self.arrow = _compiled()

    def _line(self, pos: int) -> int:
        at, line = self.counted
        line += self.buf.count("\n", at, pos) if pos >= at else -self.buf.count("\n", pos, at)
        self.counted = (pos, line)
        return line

    def _more(self) -> bool:
        """Reads the next chunk into the window; False at the end of the file.
        Text that is not UTF-8 ends the window before it, and is reported when
        reading goes on past that end."""
        if self.eof:
            if self.unreadable is not None:
                raise self.unreadable
            return False
        data = self.stream.read(_CHUNK)
        self.done += len(data)
        try:
            tail = self.decoder.decode(data, final=not data)
        except UnicodeDecodeError as e:
            good = e.object[: e.start]
            tail = good.decode("utf-8-sig" if not self.base + len(self.buf) else "utf-8")
            line = self._line(len(self.buf)) + good.count(b"\n")
            self.unreadable = BadRow(f"{self.name} line {line}", f"not UTF-8 text ({e.reason})")
            data = b""
        if not data:
            self.eof = True
        if self.pos:
            self.counted = (0, self._line(self.pos))
            newline = self.buf.rfind("\n", 0, self.pos)
            self.column = self.pos - newline - 1 if newline >= 0 else self.column + self.pos
            self.buf = self.buf[self.pos :]
            self.base += self.pos
            self.pos = 0
        start = self.base + len(self.buf)
        # The text that may hold a refused value. The compiled reader looks for
        # such values itself; the text it leaves to this one counts as suspect.
        if self.arrow or not screened(self.last + data):
            if self.suspect[1] <= self.base + self.pos:
                self.suspect = (start - _OVERLAP, start + len(tail))
            else:
                self.suspect = (self.suspect[0], start + len(tail))
        self.last = (self.last + data)[-_OVERLAP:]
        self.buf += tail
        return True

    def _skip_space(self) -> str:
        """Moves past white space; returns the next character ('' at the end)."""
        while True:
            self.pos = _SPACE.match(self.buf, self.pos).end()  # type: ignore[union-attr]
            if self.pos < len(self.buf):
                return self.buf[self.pos]
            if not self._more():
                return ""

    def _value(self, what: str, constants: bool = False) -> Any:
        """Decodes the JSON value after the window's position. `constants`: a
        value that is JSON but for a NaN or an infinite number is passed over
        and given as a _Constant, which names it."""
        self._skip_space()
        while True:
            try:
                try:
                    value, end = raw_decode(self.buf, self.pos)
                except json.JSONDecodeError:
                    raise
                except ValueError as e:  # a NaN or infinity, refused by the decoder
                    if not constants:
                        raise
                    name, end = decode_constants(self.buf, self.pos)
                    if name is None:
                        raise e from None
                    value = _Constant(name)
            except RecursionError:
                raise self._malformed(f"{what} is nested too deeply to read") from None
            except ValueError as e:
                have = len(self.buf) - self.pos
                if have > _LARGEST_FEATURE or not self._more():
                    raise self._malformed(f"{what} is not valid JSON ({self._where(e)})") from None
                while len(self.buf) - self.pos < 2 * have and self._more():
                    pass  # a value longer than the window: twice as much text before trying again
                continue
            if end == len(self.buf) and not self.eof and self._more():
                continue  # a number may go on in the next chunk
            self.pos = end
            return value

    def _where(self, error: ValueError) -> str:
        """The decoder's complaint, placed in the file rather than in the window."""
        if not isinstance(error, json.JSONDecodeError):
            return str(error)
        newline = self.buf.rfind("\n", 0, error.pos)
        column = error.pos - newline if newline >= 0 else self.column + error.pos + 1
        return f"{error.msg}: line {self._line(error.pos)} column {column}"

    def _malformed(self, problem: str) -> BadRow:
        return BadRow(f"{self.name} line {self._line(self.pos)}", problem)

    def _expect(self, chars: str, what: str) -> str:
        c = self._skip_space()
        if not c or c not in chars:
            raise self._malformed(f"expected {what}")
        self.pos += 1
        return c

    def batches(self) -> Iterator[Item]:
        return batched(self._pieces(), self.batch_size)

    def _pieces(self) -> Iterator[Item]:
        """Checked points and bad features, in file order."""
        self._expect("{", "a GeoJSON FeatureCollection object")
        seen_features = False
        if self._skip_space() == "}":
            raise self._malformed("the object has no features")
        while True:
            key = self._value("a member name")
            if type(key) is not str:
                raise self._malformed("expected a member name")
            self._expect(":", "':'")
            if key == "features":
                seen_features = True
                yield from self._features()
            else:
                value = self._value(f"member {key!r}")
                if key == "type" and value != "FeatureCollection":
                    raise self._malformed(f"a GeoJSON {value} is not a FeatureCollection")
            if self._expect(",}", "',' or '}'") == "}":
                break
        if not seen_features:
            raise self._malformed("the object has no features")
        if self._skip_space():
            raise self._malformed("text after the FeatureCollection")

    def _features(self) -> Iterator[Item]:
        self._expect("[", "the features array")
        if self._skip_space() == "]":
            self.pos += 1
            return
        self.number = 0
        self.closed = False
        yield from self._one_by_one(0)  # the first feature, and the separator after it
        window = _CHUNK * (_COMPILED_WINDOWS if self.arrow else 1)
        while not self.closed:
            self._skip_space()
            while len(self.buf) - self.pos < window and not self.eof:
                self._more()
            buf, pos = self.buf, self.pos
            cut = buf.rfind(self.boundary, pos) + 1 if self.boundary else 0
            if cut > pos and self.arrow and self.number >= self.skip_rows:
                # The compiled reader takes the window when it holds plain Point features only.
                read_features = self.arrow[0]
                result = read_features(buf[pos:cut].encode(), self.number + 1, self._line(pos), False, self.height)
                if result is not None:
                    self.number += result.num_rows
                    self.pos = cut
                    yield arrow_batch(self.arrow, result, self.number, True)
                    self.closed = self._expect(",]", "',' or ']' after a feature") == "]"
                    continue
            if cut > pos:
                text = "[" + buf[pos:cut] + "]"
                try:
                    features, end = scan(text, 0)
                except (StopIteration, ValueError, RecursionError):
                    end = -1
                clean = self.base + cut <= self.suspect[0] or self.base + pos >= self.suspect[1]
                if end == len(text):
                    points = points_of(features, count(self.number + 1), clean, self.height)
                else:
                    points = None
                if points is not None:
                    self.number += len(points)
                    self.pos = cut
                    if self.skip_rows and points[0][3] <= self.skip_rows:
                        points = [p for p in points if p[3] > self.skip_rows]
                    if points:
                        yield points
                    self.closed = self._expect(",]", "',' or ']' after a feature") == "]"
                    continue
            else:
                cut = len(buf)  # no end of a feature seen: read on to the end of the window
            yield from self._one_by_one(self.base + cut)

    def _one_by_one(self, until: int) -> Iterator[list[Point] | BadRow]:
        """Reads features one at a time up to the text offset `until` (one at
        least), or to the end of the array, learning the separator."""
        rows: list[Any] = []
        read = 0
        try:
            while not self.closed and (not read or self.base + self.pos < until):
                row = self._next_feature()
                read += 1
                if row is not None:
                    rows.append(row)
        except BadRow:  # the file cannot be read on: the features before it count
            yield from checked_rows(self, rows)
            raise
        yield from checked_rows(self, rows)

    def _next_feature(self) -> tuple[Any, ...] | BadRow | None:
        """The next feature as a point or a bad row; None for one --skip-rows passes over."""
        self.number += 1
        number = self.number
        # A whole feature and the separator after it within the window are
        # read in two steps; anything else goes the careful way.
        if self.pos >= len(self.buf) or self.buf[self.pos] in " \t\n\r":
            self._skip_space()
        buf, pos = self.buf, self.pos
        try:
            feature, end = scan(buf, pos)
            after = _AFTER_FEATURE.match(buf, end)
        except (StopIteration, ValueError, RecursionError):
            after = None
        line = self._line(pos)
        if after is not None and after.end() < len(buf):
            self.pos = after.end()
            closing = after.group(1)
            if closing == "," and buf[end - 1] == "}" and buf[self.pos] == "{":
                colon = buf.find(":", self.pos, self.pos + 64)
                if colon > 0:
                    self.boundary = buf[end - 1 : colon + 1]
        else:
            feature = self._value(f"feature {number}", constants=True)
            closing = ""
        row: tuple[Any, ...] | BadRow | None
        if feature.__class__ is _Constant:
            row = BadRow(f"{self.name} feature {number} (line {line})", f"{feature.name} is not a JSON number")
        else:
            try:
                lat, lon, properties = point_of(feature, self.height)
            except ValueError as e:
                row = BadRow(f"{self.name} feature {number} (line {line})", str(e))
            else:
                row = lat, lon, properties, number, line
        self.closed = (closing or self._expect(",]", "',' or ']' after a feature")) == "]"
        return None if number <= self.skip_rows else row

    def place_of(self, point: Point) -> str:
        return f"{self.name} feature {point[3]} (line {point[4]})"  # type: ignore[misc]

    def place(self, number: int) -> str:
        return f"{self.name} feature {number}"


class FeatureLinesSource(Source):
    """Reads one GeoJSON Feature a line (newline-delimited GeoJSON), a chunk
    of lines at a time: each line decoded on its own, the features turned
    into points together. A chunk with a line that is not one JSON value or
    a feature that is not a plain Point feature is read again line by line,
    which names the problem."""

    unit = "line"
    row_unit = "line"

    def __init__(
        self, stream: IO[bytes], name: str, total: int | None, batch_size: int, height: str | None = None
    ) -> None:
        super().__init__(name, total, batch_size)
        self.height = height
        self.stream = stream
        self.arrow = _compiled()

    def batches(self) -> Iterator[Item]:
        return batched(self._pieces(), self.batch_size)

    def _pieces(self) -> Iterator[Item]:
        number = 0
        size = _CHUNK * (_COMPILED_WINDOWS if self.arrow else 1)
        while data := self.stream.read(size):
            if not data.endswith(b"\n"):
                data += self.stream.readline()
            self.done += len(data)
            lines = data.count(b"\n") + (not data.endswith(b"\n"))
            first = number + 1
            number += lines
            if number <= self.skip_rows:
                continue
            if self.arrow and first > self.skip_rows:
                text = data[3:] if first == 1 and data.startswith(b"\xef\xbb\xbf") else data
                result = self.arrow[0](text, first, first, True, self.height)
                if result is not None:
                    yield arrow_batch(self.arrow, result, number, False)
                    continue
            raws = data.split(b"\n")
            if not raws[-1]:
                raws.pop()
            points = None
            try:
                texts = list(
                    map(
                        str.strip,
                        data.decode("utf-8-sig" if first == 1 else "utf-8").split("\n"),
                        repeat(" \t\r\n\x1e"),
                    )
                )
                if data.endswith(b"\n"):
                    texts.pop()
                numbers: Iterable[int] = count(first)
                if "" in texts:  # empty lines count but hold nothing
                    numbers = [n for n, text in enumerate(texts, first) if text]
                    texts = [text for text in texts if text]
                pairs = list(map(scan, texts, repeat(0)))
                if texts and list(map(itemgetter(1), pairs)) == list(map(len, texts)):
                    points = points_of(list(map(itemgetter(0), pairs)), numbers, screened(data), self.height)
            except (UnicodeDecodeError, StopIteration, ValueError, RecursionError):
                pass
            if points is not None:
                if self.skip_rows and first <= self.skip_rows:
                    points = [p for p in points if p[3] > self.skip_rows]
                yield points
            else:
                rows = [self._row(raw, n) for n, raw in enumerate(raws, first)]
                yield from checked_rows(self, [row for row in rows if row is not None])

    def _row(self, raw: bytes, number: int) -> Point | BadRow | None:
        """The point on one line, the problem with it, or None for an empty
        line and one --skip-rows passes over."""
        if number <= self.skip_rows:
            return None
        try:
            text = raw.decode("utf-8-sig" if number == 1 else "utf-8").strip(" \t\r\n\x1e")
        except UnicodeDecodeError as e:
            return BadRow(f"{self.name} line {number}", f"not UTF-8 text ({e.reason})")
        if not text:
            return None
        try:
            try:
                feature, end = scan(text, 0)
            except StopIteration:
                end = -1
            if end != len(text):
                feature = decode(text)  # raises the error to report
            lat, lon, properties = point_of(feature, self.height)
        except RecursionError:
            return BadRow(f"{self.name} line {number}", "nested too deeply to read")
        except ValueError as e:
            return BadRow(f"{self.name} line {number}", str(e))
        return lat, lon, properties, number

    def place(self, number: int) -> str:
        return f"{self.name} line {number}"


# ---- writers ----------------------------------------------------------------------


_FEATURE = '{"type":"Feature","id":%d,"geometry":{"type":"Point","coordinates":[%r,%r]},"properties":%s}'


def feature_texts(rows: list[dict[str, Any]]) -> list[str]:
    properties = encode_all(list(map(itemgetter("metadata"), rows)))
    return list(
        map(
            _FEATURE.__mod__,
            zip(
                map(itemgetter("id"), rows),
                map(itemgetter("longitude"), rows),
                map(itemgetter("latitude"), rows),
                properties,
            ),
        )
    )


class FeatureCollectionWriter:
    """A FeatureCollection, a feature a line: head, lead, the features joined
    by the separator, tail, foot (see `export`)."""

    head = '{"type":"FeatureCollection","features":['
    lead = "\n"
    separator = ",\n"
    tail = ""
    foot = "\n]}\n"

    def render(self, rows: list[dict[str, Any]]) -> list[str]:
        return feature_texts(rows)


class FeatureLinesWriter:
    """One feature a line."""

    head = lead = tail = foot = ""
    separator = "\n"
    tail = "\n"

    def render(self, rows: list[dict[str, Any]]) -> list[str]:
        return feature_texts(rows)
