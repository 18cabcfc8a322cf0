"""Which points `export`, `query` and `map` work on, read in chunks.

A box, or the whole store, is read in bands of latitude, each sized from
the density of the band before it to hold about CHUNK points, so an export
of a large store never holds all of it in memory. A point on the line
between two bands is returned by both queries and kept by the lower band
only. Rows come in ascending id order within each band. A radius or a
polygon is one query; so is a selection with --limit, whose rows are the
lowest ids that match.
"""

from __future__ import annotations

import json
import math
import queue
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from operator import itemgetter
from typing import Any

from orbisk_cli.errors import CliError
from orbisk_cli.store import Store

CHUNK = 100_000
SHAPES = ("Polygon", "MultiPolygon", "Feature", "FeatureCollection", "GeometryCollection")
_BOX_ORDER = "the box is MIN_LAT MIN_LON MAX_LAT MAX_LON, latitude first"
WORLD = (-90.0, -180.0, 90.0, 180.0)
_by_id = itemgetter("id")


@dataclass
class Selection:
    filter: dict[str, Any] | None = None
    bbox: tuple[float, float, float, float] | None = None
    radius: tuple[float, float, float] | None = None
    polygon: dict[str, Any] | None = None  # GeoJSON, read through the companion module
    limit: int | None = None
    store: str = ""  # the store's path, for the companion


def parse_filter(text: str) -> dict[str, Any]:
    try:
        value = json.loads(text)
    except ValueError as e:
        raise CliError(f"--filter is not valid JSON: {e}") from None
    if not isinstance(value, dict):
        raise CliError("--filter must be a JSON object, such as '{\"name\": \"Paris\"}'")
    return value


def read_polygon(path: str) -> dict[str, Any]:
    """The shape in a GeoJSON file: a Polygon or a MultiPolygon, with holes, or a
    Feature or FeatureCollection of them; checked as the query will read it."""
    try:
        with open(path, encoding="utf-8-sig") as f:
            doc = json.load(f)
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror}") from None
    except ValueError as e:
        raise CliError(f"{path} is not valid JSON: {e}") from None
    if not isinstance(doc, dict) or doc.get("type") not in SHAPES:
        kind = doc.get("type") if isinstance(doc, dict) else type(doc).__name__
        raise CliError(
            f"{path} holds a {kind}, not a GeoJSON Polygon or MultiPolygon (or a Feature or collection of them)"
        )
    from orbisk_columnar._columnar import polygon_parts

    try:
        polygon_parts(doc)
    except (TypeError, ValueError) as e:
        raise CliError(f"{path}: " + str(e).removeprefix("argument 'polygon': ")) from None
    return doc


def _finite(option: str, numbers: list[float]) -> None:
    for n in numbers:
        if not math.isfinite(n):
            raise CliError(f"{option} takes finite numbers, not {n!r}")


def selection_from(args: Any) -> Selection:
    chosen = [name for name in ("bbox", "radius", "polygon") if getattr(args, name, None) is not None]
    if len(chosen) > 1:
        raise CliError(
            f"give at most one of --bbox, --radius and --polygon (got {' and '.join('--' + c for c in chosen)})"
        )
    sel = Selection(limit=getattr(args, "limit", None))
    if getattr(args, "filter", None) is not None:
        sel.filter = parse_filter(args.filter)
    if args.bbox is not None:
        _finite("--bbox", args.bbox)
        min_lat, min_lon, max_lat, max_lon = args.bbox
        for lat in (min_lat, max_lat):
            if not -90.0 <= lat <= 90.0:
                raise CliError(f"--bbox: latitude {lat:g} is outside [-90, 90]; {_BOX_ORDER}")
        if min_lat > max_lat:
            raise CliError(
                f"--bbox: the box is empty, its MIN_LAT {min_lat:g} is above its MAX_LAT {max_lat:g}; {_BOX_ORDER}"
            )
        sel.bbox = tuple(args.bbox)
    if args.radius is not None:
        _finite("--radius", args.radius)
        if args.radius[2] < 0:
            raise CliError(f"--radius: the distance {args.radius[2]!r} m is negative")
        sel.radius = tuple(args.radius)
    if args.polygon is not None:
        sel.polygon = read_polygon(args.polygon)
        sel.store = args.store
    if sel.limit is not None and sel.limit < 0:
        raise CliError("--limit must be 0 or more")
    return sel


EXACT_LIMIT = 4000


def exact_limit(live: int, limit: int) -> bool:
    """Whether a scan with this limit, of a store of `live` points, keeps the
    lowest ids that match (a scan of more candidates than EXACT_LIMIT that
    wants fewer of them shares the work out and keeps whichever it finds)."""
    return live <= EXACT_LIMIT or limit >= live


def known_total(db: Store, sel: Selection) -> int | None:
    """How many points the selection holds, when that is known without reading them."""
    if sel.filter or sel.bbox is not None or sel.radius is not None or sel.polygon is not None:
        return None
    total = db.len()
    return total if sel.limit is None else min(total, sel.limit)


def swapped_box_note(db: Store, sel: Selection) -> str | None:
    """For a box that holds no point: a note when the box with latitude and
    longitude swapped holds some (the usual mistake), else None."""
    if sel.bbox is None:
        return None
    min_lat, min_lon, max_lat, max_lon = sel.bbox
    if not (-90.0 <= min_lon <= max_lon <= 90.0):
        return None
    found = len(_ask(db.query_bbox, min_lon, min_lat, max_lon, max_lat, sel.filter))
    if not found:
        return None
    points = "1 point" if found == 1 else f"{found:,} points"
    return (
        f"note: no point is in the box, but {points} would be with latitude and longitude swapped "
        f"(--bbox {min_lon:g} {min_lat:g} {max_lon:g} {max_lat:g}); {_BOX_ORDER}"
    )


def _ask(method: Any, *args: Any) -> list[dict[str, Any]]:
    """Calls a query method, turning its refusals of the filter into a CliError."""
    try:
        return method(*args)  # type: ignore[no-any-return]
    except (ValueError, TypeError) as e:
        raise CliError(f"bad filter: {e}") from None


def _bands(db: Store, box: tuple[float, float, float, float], flt: dict[str, Any] | None) -> Iterator[list[Any]]:
    min_lat, min_lon, max_lat, max_lon = box
    total = db.len()
    if total <= CHUNK or min_lat >= max_lat:
        rows = _ask(db.query_bbox, min_lat, min_lon, max_lat, max_lon, flt)
        rows.sort(key=_by_id)
        yield rows
        return
    height = (max_lat - min_lat) * CHUNK / total
    lo = min_lat
    while True:
        hi = lo + height
        if hi >= max_lat:
            hi = max_lat
        elif hi <= lo:
            hi = math.nextafter(lo, math.inf)
        rows = _ask(db.query_bbox, lo, min_lon, hi, max_lon, flt)
        if lo != min_lat:
            rows = [r for r in rows if r["latitude"] != lo]
        rows.sort(key=_by_id)
        yield rows
        if hi == max_lat:
            return
        height *= min(4.0, max(0.25, CHUNK / max(len(rows), 1)))
        lo = hi


def chunks(db: Store, sel: Selection) -> Iterator[list[Any]]:
    """The selected rows, in chunks. The next chunk is read by a second thread
    while the caller works on this one: a query leaves the interpreter lock
    free while the engine searches."""
    done = threading.Event()
    ready: queue.Queue[tuple[list[Any] | None, BaseException | None]] = queue.Queue(maxsize=1)

    def read() -> None:
        try:
            for chunk in _chunks(db, sel):
                ready.put((chunk, None))
                if done.is_set():
                    return
            ready.put((None, None))
        except BaseException as e:  # handed to the caller
            ready.put((None, e))

    reader = threading.Thread(target=read, name="orbisk-read", daemon=True)
    reader.start()
    try:
        while True:
            chunk, error = ready.get()
            if error is not None:
                raise error
            if chunk is None:
                return
            yield chunk
    finally:
        done.set()
        while reader.is_alive():  # let a reader blocked on a full queue see `done`
            try:
                ready.get(timeout=0.05)
            except queue.Empty:
                pass
        reader.join()


def _polygon_rows(sel: Selection) -> list[dict[str, Any]]:
    """The points in a shape with holes and parts, which the companion module reads."""
    from orbisk_columnar import ColumnarStore

    try:
        store = ColumnarStore(sel.store, read_only=True)
    except OSError as e:
        raise CliError(f"cannot open store {sel.store}: {e}") from None
    with store:
        return _ask(lambda: store.rows(polygon=sel.polygon, filter=sel.filter))


def _chunks(db: Store, sel: Selection) -> Iterator[list[Any]]:
    flt = sel.filter
    if sel.radius is not None:
        rows = _ask(db.query_radius, *sel.radius, flt)
    elif sel.polygon is not None:
        rows = _polygon_rows(sel)
    elif sel.limit is not None and sel.bbox is None:
        # A limited scan of more than EXACT_LIMIT points may keep any of the
        # matches: the lowest ids come from a whole scan, then.
        rows = _ask(db.query, flt or {}, sel.limit if exact_limit(db.len(), sel.limit) else None)
    elif sel.limit is not None:
        rows = _ask(db.query_bbox, *sel.bbox, flt)  # type: ignore[misc]
    else:
        yield from _bands(db, sel.bbox or WORLD, flt)
        return
    rows.sort(key=_by_id)
    if sel.limit is not None:
        del rows[sel.limit :]
    for start in range(0, len(rows), CHUNK):
        yield rows[start : start + CHUNK]
    if not rows:
        yield rows
