"""`orbisk nearest`: the k points nearest to a place, nearest first.

The store is opened read-only through the companion module, which runs the
nearest-neighbour search. Each row carries its great-circle distance in
metres: a column of the table and of CSV, and a `distance_m` member of each
GeoJSON feature beside its properties (which stay the point's metadata).
"""

from __future__ import annotations

import math
import sys
from typing import IO, Any

from orbisk_cli.errors import CliError


def check_origin(lat: float, lon: float) -> None:
    if not (math.isfinite(lat) and math.isfinite(lon)):
        raise CliError(f"LAT and LON must be finite numbers, not {lat!r} and {lon!r}")
    if not -90.0 <= lat <= 90.0:
        raise CliError(f"LAT {lat:g} is outside [-90, 90] (latitude comes first)")
    if not -180.0 <= lon <= 180.0:
        raise CliError(f"LON {lon:g} is outside [-180, 180]")


def run_nearest(args: Any) -> int:
    from orbisk_cli.selection import parse_filter
    from orbisk_cli.store import exists
    from orbisk_columnar import ColumnarStore

    check_origin(args.lat, args.lon)
    if args.max_distance is not None and not args.max_distance >= 0.0:
        raise CliError(f"--max-distance takes a distance of 0 metres or more, not {args.max_distance!r}")
    flt = parse_filter(args.filter) if args.filter is not None else None
    if not exists(args.store):
        raise CliError(f"store {args.store} does not exist")
    try:
        store = ColumnarStore(args.store, read_only=True)
    except OSError as e:
        raise CliError(f"cannot open store {args.store}: {e}") from None
    with store:
        try:
            rows: list[Any] = store.nearest(args.lat, args.lon, args.k, flt, args.max_distance)
        except (ValueError, TypeError) as e:  # the arguments are checked above: the filter is at fault
            raise CliError(f"bad filter: {e}") from None
    write_rows(rows, args.format, sys.stdout)
    return 0


def write_rows(rows: list[dict[str, Any]], fmt: str, out: IO[str]) -> None:
    from orbisk_cli.values import encode

    if fmt == "table":
        cells = [
            (str(r["id"]), f"{r['distance_m']:.1f}", repr(r["latitude"]), repr(r["longitude"]), encode(r["metadata"]))
            for r in rows
        ]
        head = ("id", "distance_m", "latitude", "longitude", "metadata")
        widths = [max([len(h)] + [len(c[i]) for c in cells]) for i, h in enumerate(head[:4])]
        for line in [head, *cells]:
            out.write("  ".join(f"{c:>{w}}" for c, w in zip(line, widths)) + f"  {line[4]}\n")
        out.write(f"({len(rows):,} point{'s' if len(rows) != 1 else ''})\n")
    elif fmt in ("geojson", "ndjson"):
        from orbisk_cli.geojson import feature_texts

        # A member beside the properties: the properties stay the point's metadata.
        features = [t[:-1] + f',"distance_m":{r["distance_m"]!r}}}' for t, r in zip(feature_texts(rows), rows)]
        if fmt == "ndjson":
            out.write("".join(f + "\n" for f in features))
        else:
            body = ",\n".join(features)
            out.write('{"type":"FeatureCollection","features":[' + ("\n" + body if body else "") + "\n]}\n")
    else:
        # The export's CSV, written by the same rules (so that it reads back the
        # same), with the distance after the id.
        from orbisk_cli.csvfile import CsvWriter
        from orbisk_cli.schema import Schema

        schema = Schema().learn(rows)
        taken = set(schema.kinds)

        def free(name: str) -> str:
            while name in taken:
                name += "_"
            taken.add(name)
            return name

        lat_name, lon_name, id_name, distance_name = map(free, ("latitude", "longitude", "id", "distance_m"))
        writer = CsvWriter(schema, lat_name, lon_name, ",", id_name)
        ident, rest = writer.head.split(",", 1)
        out.write(f"{ident},{distance_name},{rest}")
        for text, r in zip(writer.render(rows), rows):
            ident, rest = text.split(",", 1)  # the id: digits, never quoted
            out.write(f"{ident},{r['distance_m']!r},{rest}\n")
