"""GeoJSON in and out: a FeatureCollection of Points, or one Feature a line.

The reader streams: it decodes one feature at a time from a window of the
file, so a collection larger than memory loads. Coordinates are written with
Python's shortest round-trip form of a double, so they read back bit for bit.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Iterator
from operator import itemgetter
from typing import IO, Any

from orbisk_cli.source import Point, Source
from orbisk_cli.values import BadRow, decode, encode_all, raw_decode, scan
_SPACE = re.compile(r"[ \t\n\r]*")
_AFTER_FEATURE = re.compile(r"[ \t\n\r]*([,\]])[ \t\n\r]*")
_CHUNK = 1 << 20
_LARGEST_FEATURE = 64 << 20


def point_of(feature: Any) -> tuple[float, float, dict[str, Any]]:
    """(lat, lon, properties) of a Point feature; ValueError says what is wrong."""
    if feature.__class__ is dict:  # the usual feature, checked in few steps
        geometry = feature.get("geometry")
        if geometry.__class__ is dict and geometry.get("type") == "Point" and feature.get("type") == "Feature":
            coords = geometry.get("coordinates")
            if coords.__class__ is list and len(coords) == 2:
                lon, lat = coords
                if (lat.__class__ is float and lon.__class__ is float and -90.0 <= lat <= 90.0
                        and -180.0 <= lon <= 180.0):
                    properties = feature.get("properties")
                    if properties.__class__ is dict:
                        return lat, lon, properties
    return _point_of(feature)


def _point_of(feature: Any) -> tuple[float, float, dict[str, Any]]:
    if type(feature) is not dict or feature.get("type") != "Feature":
        raise ValueError("not a GeoJSON Feature")
    geometry = feature.get("geometry")
    if type(geometry) is not dict:
        raise ValueError("has no geometry")
    if geometry.get("type") != "Point":
        raise ValueError(f"geometry is a {geometry.get('type')}, not a Point")
    coords = geometry.get("coordinates")
    if type(coords) is not list or len(coords) != 2:
        n = len(coords) if type(coords) is list else 0
        raise ValueError(f"Point has {n} coordinates; only [longitude, latitude] can be stored")
    lon, lat = coords
    if type(lon) not in (float, int) or type(lat) not in (float, int):
        raise ValueError("Point coordinates are not numbers")
    lat = float(lat)
    lon = float(lon)
    if not (-90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0):
        raise ValueError(f"coordinate out of range (latitude {lat!r}, longitude {lon!r})")
    properties = feature.get("properties")
    if properties is None:
        properties = {}
    elif type(properties) is not dict:
        raise ValueError("properties are not an object")
    return lat, lon, properties


class FeatureCollectionSource(Source):
    """Reads the features of a FeatureCollection one by one.

    The window `buf` holds the file's text from some point on; `pos` is where
    reading has got to. Line numbers, wanted only for messages, are counted
    from the last position asked about.
    """

    unit = "feature"

    def __init__(self, stream: IO[bytes], name: str, total: int | None, batch_size: int) -> None:
        super().__init__(name, total, batch_size)
        self.stream = stream
        self.decoder = codecs.getincrementaldecoder("utf-8-sig")()
        self.buf = ""
        self.pos = 0
        self.counted = (0, 1)  # (a position in buf, its line)
        self.eof = False

    def _line(self, pos: int) -> int:
        at, line = self.counted
        line += self.buf.count("\n", at, pos) if pos >= at else -self.buf.count("\n", pos, at)
        self.counted = (pos, line)
        return line

    def _more(self) -> bool:
        """Reads the next chunk into the window; False at the end of the file."""
        if self.eof:
            return False
        data = self.stream.read(_CHUNK)
        self.done += len(data)
        if not data:
            self.eof = True
            tail = self.decoder.decode(b"", final=True)
        else:
            tail = self.decoder.decode(data)
        if self.pos:
            self.counted = (0, self._line(self.pos))
            self.buf = self.buf[self.pos :]
            self.pos = 0
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

    def _value(self, what: str) -> Any:
        """Decodes the JSON value after the window's position."""
        self._skip_space()
        while True:
            try:
                value, end = raw_decode(self.buf, self.pos)
            except RecursionError:
                raise self._malformed(f"{what} is nested too deeply to read") from None
            except ValueError as e:
                if len(self.buf) - self.pos > _LARGEST_FEATURE or not self._more():
                    raise self._malformed(f"{what} is not valid JSON ({e})") from None
                continue
            if end == len(self.buf) and not self.eof and self._more():
                continue  # a number may go on in the next chunk
            self.pos = end
            return value

    def _malformed(self, problem: str) -> BadRow:
        return BadRow(f"{self.name} line {self._line(self.pos)}", problem)

    def _expect(self, chars: str, what: str) -> str:
        c = self._skip_space()
        if not c or c not in chars:
            raise self._malformed(f"expected {what}")
        self.pos += 1
        return c

    def rows(self) -> Iterator[tuple[Any, ...] | BadRow]:
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

    def _features(self) -> Iterator[tuple[Any, ...] | BadRow]:
        self._expect("[", "the features array")
        if self._skip_space() == "]":
            self.pos += 1
            return
        number = 0
        while True:
            number += 1
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
            else:
                feature = self._value(f"feature {number}")
                closing = ""
            try:
                lat, lon, properties = point_of(feature)
            except ValueError as e:
                yield BadRow(f"{self.name} feature {number} (line {line})", str(e))
            else:
                yield lat, lon, properties, number, line
            if (closing or self._expect(",]", "',' or ']' after a feature")) == "]":
                return

    def place_of(self, point: Point) -> str:
        return f"{self.name} feature {point[3]} (line {point[4]})"  # type: ignore[misc]

    def place(self, number: int) -> str:
        return f"{self.name} feature {number}"


class FeatureLinesSource(Source):
    """Reads one GeoJSON Feature a line (newline-delimited GeoJSON)."""

    unit = "line"

    def __init__(self, stream: IO[bytes], name: str, total: int | None, batch_size: int) -> None:
        super().__init__(name, total, batch_size)
        self.stream = stream

    def rows(self) -> Iterator[tuple[Any, ...] | BadRow]:
        number = 0
        for raw in self.stream:
            number += 1
            self.done += len(raw)
            try:
                text = raw.decode("utf-8-sig" if number == 1 else "utf-8").strip(" \t\r\n\x1e")
            except UnicodeDecodeError as e:
                yield BadRow(f"{self.name} line {number}", f"not UTF-8 text ({e.reason})")
                continue
            if not text:
                continue
            try:
                try:
                    feature, end = scan(text, 0)
                except StopIteration:
                    end = -1
                if end != len(text):
                    feature = decode(text)  # raises the error to report
                lat, lon, properties = point_of(feature)
            except RecursionError:
                yield BadRow(f"{self.name} line {number}", "nested too deeply to read")
            except ValueError as e:
                yield BadRow(f"{self.name} line {number}", str(e))
            else:
                yield lat, lon, properties, number

    def place(self, number: int) -> str:
        return f"{self.name} line {number}"


# ---- writers ----------------------------------------------------------------------


_FEATURE = '{"type":"Feature","id":%d,"geometry":{"type":"Point","coordinates":[%r,%r]},"properties":%s}'


def feature_texts(rows: list[dict[str, Any]]) -> list[str]:
    properties = encode_all(list(map(itemgetter("metadata"), rows)))
    return list(map(_FEATURE.__mod__, zip(map(itemgetter("id"), rows), map(itemgetter("longitude"), rows),
                                           map(itemgetter("latitude"), rows), properties)))


class FeatureCollectionWriter:
    def __init__(self, out: IO[str]) -> None:
        self.out = out
        self.first = True
        out.write('{"type":"FeatureCollection","features":[')

    def write(self, rows: list[dict[str, Any]]) -> None:
        if not rows:
            return
        lead = "\n" if self.first else ",\n"
        self.first = False
        self.out.write(lead + ",\n".join(feature_texts(rows)))

    def close(self) -> None:
        self.out.write("\n]}\n")


class FeatureLinesWriter:
    def __init__(self, out: IO[str]) -> None:
        self.out = out

    def write(self, rows: list[dict[str, Any]]) -> None:
        if rows:
            self.out.write("\n".join(feature_texts(rows)) + "\n")

    def close(self) -> None:
        pass
