"""The `orbisk` command: subcommands, and errors as one line on stderr."""

from __future__ import annotations

import argparse
import gc
import os
import sys
from typing import Any, NoReturn

from orbisk_cli.errors import CliError

FORMATS = ("csv", "geojson", "ndjson", "parquet")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _Version(argparse.Action):
    """--version: the installed distribution's version, from its metadata."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the installed version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from importlib.metadata import PackageNotFoundError, version

        try:
            text = f"orbisk {version('orbisk')}"
        except PackageNotFoundError:
            text = "orbisk: no installed distribution to take the version from"
        sys.stdout.write(text + "\n")
        parser.exit()


def _count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if n < 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return n


def _selection_options(p: argparse.ArgumentParser, limit: bool) -> None:
    p.add_argument(
        "--bbox",
        nargs=4,
        type=float,
        metavar=("MIN_LAT", "MIN_LON", "MAX_LAT", "MAX_LON"),
        help="points in this box, bounds included; latitude first, like query_bbox "
        "(MIN_LON > MAX_LON crosses the antimeridian)",
    )
    p.add_argument(
        "--radius", nargs=3, type=float, metavar=("LAT", "LON", "METERS"), help="points within METERS of (LAT, LON)"
    )
    p.add_argument(
        "--polygon",
        metavar="FILE",
        help="points strictly inside the GeoJSON Polygon or MultiPolygon in FILE, outside its holes "
        "(or a Feature or FeatureCollection of them; [longitude, latitude] vertices, not wrapped at the antimeridian)",
    )
    p.add_argument("--filter", metavar="JSON", help='metadata filter, e.g. \'{"kind": "cafe", "stars": {"$gte": 4}}\'')
    if limit:
        p.add_argument("--limit", type=int, metavar="N", help="at most N points, the lowest ids first")


def _column_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--lat-column", metavar="NAME", help="CSV/Parquet latitude column (found by name if not given)")
    p.add_argument("--lon-column", metavar="NAME", help="CSV/Parquet longitude column (found by name if not given)")
    p.add_argument(
        "--delimiter", metavar="CHAR", type=_delimiter, help="CSV field delimiter (default: comma; tab for .tsv)"
    )


def _degrees(text: str) -> float:
    try:
        degrees = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (0 < degrees <= 180) or abs(180 / degrees - round(180 / degrees)) > 1e-9:
        raise argparse.ArgumentTypeError(f"{text} does not divide 180 degrees into whole cells")
    return degrees


def _run_nearest(args: Any) -> int:
    from orbisk_cli.nearest import run_nearest

    return run_nearest(args)


def _delimiter(text: str) -> str:
    if text == "\\t":
        return "\t"
    if len(text) != 1 or text in '"\r\n':
        raise argparse.ArgumentTypeError(f"{text!r} is not one character other than a quote or a line break")
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="orbisk", description="Import, export, query and look after orbisk point stores.")
    parser.add_argument("--version", action=_Version)
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    p = sub.add_parser(
        "import",
        help="load points from files into a store (created if missing)",
        description="Load points from GeoJSON, newline-delimited GeoJSON, CSV or GeoParquet files "
        "(CSV and GeoJSON also gzipped: name.csv.gz). A CSV column's cells are values only when "
        "every cell of the column is one written as it reads back: integers such as 12 or -7, "
        "floats in their shortest form such as 1.5 or 1e+16, true, false, null and JSON text; "
        "otherwise the column is text, so 007, +33, 1E4 and 1.50 stay text. An empty cell leaves "
        "the key out; a cell written \"\" is the empty string. A value the store would not give "
        "back as it is makes its feature or row bad: an integer beyond the signed 64-bit range, "
        "NaN or an infinite number, a document nested deeper than 127 levels. An import stops at "
        "the first bad row, with the points before it imported; --skip-bad reports bad rows and "
        "goes on past them. Interrupted (Ctrl-C), it says up to which row the file is stored, and "
        "--skip-rows goes on from there.",
    )
    p.add_argument("store", help="the store's path")
    p.add_argument("files", nargs="+", metavar="FILE", help="input files ('-' for standard input)")
    p.add_argument("--format", choices=FORMATS, help="input format (default: from the file name)")
    p.add_argument("--skip-bad", action="store_true", help="report bad rows and go on past them")
    p.add_argument(
        "--skip-rows",
        type=_count,
        default=0,
        metavar="N",
        help="pass over the first N rows of the first file (CSV records after the header, GeoJSON "
        "features, lines of newline-delimited GeoJSON, Parquet rows): where an interrupted import left off",
    )
    p.add_argument(
        "--text-columns",
        action="append",
        metavar="A,B",
        help="CSV columns read as text whatever they hold (may be given more than once)",
    )
    p.add_argument("--no-typing", action="store_true", help="read every CSV column as text")
    p.add_argument(
        "--height-key",
        metavar="NAME",
        help="keep the third coordinate of 3-D GeoJSON points as the metadata key NAME",
    )
    _column_options(p)
    p.set_defaults(run=run_import)

    p = sub.add_parser(
        "export",
        help="write points to a file or standard output",
        description="Write the selected points, in id order, as GeoJSON, newline-delimited GeoJSON, "
        "CSV or GeoParquet 1.1, the format named by the file's extension (.gz after a CSV or "
        "GeoJSON name: gzipped). CSV and GeoParquet begin with an id column.",
    )
    p.add_argument("store")
    p.add_argument("file", nargs="?", help="output file (default: standard output)")
    p.add_argument("--format", choices=FORMATS, help="output format (default: from the file name, else geojson)")
    p.add_argument("--no-id", action="store_true", help="leave the id column out of CSV and GeoParquet")
    p.add_argument(
        "--partition",
        action="store_true",
        help="write FILE as a folder of GeoParquet files, one a cell of a grid of latitude and longitude, in "
        "Hive-style folders (FILE/cell=N/part-00000.parquet), for engines that read such folders (DuckDB, Dask, "
        "Spark); N = floor((lat + 90) / D) * (360 / D) + floor((lon + 180) / D)",
    )
    p.add_argument(
        "--partition-degrees",
        type=_degrees,
        default=10.0,
        metavar="D",
        help="the size of the partition grid's cells in degrees, a divisor of 180 (default 10)",
    )
    _selection_options(p, limit=True)
    _column_options(p)
    p.set_defaults(run=run_export)

    p = sub.add_parser(
        "query",
        help="print the selected points",
        description="Print the selected points as a "
        "table, or as GeoJSON, newline-delimited GeoJSON or CSV with --format.",
    )
    p.add_argument("store")
    p.add_argument("--format", choices=("table", "geojson", "ndjson", "csv"), default="table")
    p.add_argument("--count", action="store_true", help="print only the number of selected points")
    _selection_options(p, limit=True)
    p.set_defaults(run=run_query, lat_column=None, lon_column=None, delimiter=None, no_id=False)

    p = sub.add_parser(
        "nearest",
        help="print the points nearest to a place",
        description="Print the K points nearest to (LAT, LON) by great-circle distance, nearest first "
        "(ties by id), each with its distance in metres: as a table, or as GeoJSON (a distance_m member "
        "beside each feature's properties), newline-delimited GeoJSON or CSV with --format.",
    )
    p.add_argument("store")
    p.add_argument("lat", type=float, metavar="LAT", help="latitude of the place, in degrees")
    p.add_argument("lon", type=float, metavar="LON", help="longitude of the place, in degrees")
    p.add_argument("-k", type=_count, default=10, metavar="K", help="how many points (default 10)")
    p.add_argument("--filter", metavar="JSON", help="only points whose metadata matches, e.g. '{\"open\": true}'")
    p.add_argument("--max-distance", type=float, metavar="M", help="none farther than M metres")
    p.add_argument("--format", choices=("table", "geojson", "ndjson", "csv"), default="table")
    p.set_defaults(run=_run_nearest)

    p = sub.add_parser("stats", help="points, slots, files, extent and metadata keys of a store")
    p.add_argument("store")
    p.add_argument("--top", type=int, default=10, metavar="N", help="metadata keys to show (default 10)")
    p.set_defaults(run=run_stats)

    p = sub.add_parser(
        "verify",
        help="check the stored data against its checksums (exit status 1 on any issue)",
        description="Check the stored data against its checksums. The findings go to standard "
        "output; the exit status is 1 on any issue, a store that refuses to open included.",
    )
    p.add_argument("store")
    p.add_argument("--flush", action="store_true", help="checkpoint first, then check")
    p.set_defaults(run=run_verify)

    p = sub.add_parser(
        "delete",
        help="delete the points whose metadata matches a filter",
        description="Delete the points whose metadata matches --filter. Their slots stay in the "
        "files as tombstones until `orbisk compact` reclaims them.",
    )
    p.add_argument("store")
    group = p.add_mutually_exclusive_group(required=True)
    group.add_argument("--filter", metavar="JSON", help='metadata filter, e.g. \'{"kind": "cafe"}\'')
    group.add_argument("--all", action="store_true", help="delete every point")
    p.set_defaults(run=run_delete)

    p = sub.add_parser("compact", help="reclaim the space of deleted points")
    p.add_argument("store")
    p.set_defaults(run=run_compact)

    p = sub.add_parser("flush", help="checkpoint the store and empty its log")
    p.add_argument("store")
    p.set_defaults(run=run_flush)

    p = sub.add_parser(
        "map",
        help="draw the selected points as a picture",
        description="Draw the selected points as a picture in the format its name ends with: "
        ".png, .jpg, .svg, .pdf, .eps, .tif or .webp. A selection across the antimeridian is drawn "
        "centred on itself.",
    )
    p.add_argument("store")
    p.add_argument("--out", required=True, metavar="PICTURE", help="picture to write (map.png, map.svg, ...)")
    _selection_options(p, limit=False)
    p.set_defaults(run=run_map)
    return parser


# ---- commands ----------------------------------------------------------------------


def run_import(args: Any) -> int:
    from orbisk_cli.importer import format_of, import_files

    for path in args.files:  # refuse an unknown format before creating anything
        format_of(path, args.format)
        if path != "-" and not os.path.isfile(path):
            raise CliError(f"cannot read {path}: " + ("it is a directory" if os.path.isdir(path) else "no such file"))
    directory = os.path.dirname(args.store)
    if directory:
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as e:
            raise CliError(f"cannot create the directory {directory}: {e.strerror}") from None
    return import_files(args.store, args.files, args, sys.stdout, sys.stderr)


def _note_empty_box(db: Any, sel: Any, count: int) -> None:
    from orbisk_cli.selection import swapped_box_note

    if count == 0:
        note = swapped_box_note(db, sel)
        if note:
            sys.stderr.write(f"orbisk: {note}\n")


def run_export(args: Any) -> int:
    from orbisk_cli.export import export, output_format
    from orbisk_cli.selection import known_total, selection_from
    from orbisk_cli.store import open_reader

    if args.partition:
        if not args.file:
            raise CliError("--partition writes a folder: give its name after the store")
        if args.format not in (None, "parquet"):
            raise CliError("--partition writes GeoParquet files; leave out --format or give --format parquet")
        from orbisk_cli.export import export_partitioned

        sel = selection_from(args)
        db = open_reader(args.store)
        count, files = export_partitioned(db, sel, args.file, args, sys.stderr, known_total(db, sel))
        points = f"{count:,} point{'s' if count != 1 else ''}"
        print(f"exported {points} to {files:,} file{'s' if files != 1 else ''} in {args.file}")
        _note_empty_box(db, sel, count)
        return 0
    fmt = output_format(args.file, args.format)
    sel = selection_from(args)
    db = open_reader(args.store)
    count = export(db, sel, args.file, fmt, args, sys.stderr, known_total(db, sel))
    if args.file:
        print(f"exported {count:,} point{'s' if count != 1 else ''} to {args.file}")
    _note_empty_box(db, sel, count)
    return 0


def run_query(args: Any) -> int:
    from orbisk_cli.selection import chunks, selection_from
    from orbisk_cli.store import open_reader

    sel = selection_from(args)
    db = open_reader(args.store)
    if args.count:
        if sel.filter is None and sel.bbox is None and sel.radius is None and sel.polygon is None:
            count = db.len() if sel.limit is None else min(db.len(), sel.limit)
        else:
            count = sum(map(len, chunks(db, sel)))
        print(count)
        _note_empty_box(db, sel, count)
        return 0
    if args.format != "table":
        from orbisk_cli.export import export

        count = export(db, sel, None, args.format, args, sys.stderr)
        _note_empty_box(db, sel, count)
        return 0
    from orbisk_cli.values import encode

    rows = [row for chunk in chunks(db, sel) for row in chunk]
    rows.sort(key=lambda r: r["id"])
    cells = [(str(r["id"]), repr(r["latitude"]), repr(r["longitude"]), encode(r["metadata"])) for r in rows]
    head = ("id", "latitude", "longitude", "metadata")
    widths = [max([len(h)] + [len(c[i]) for c in cells]) for i, h in enumerate(head[:3])]
    out = sys.stdout
    out.write(f"{head[0]:>{widths[0]}}  {head[1]:>{widths[1]}}  {head[2]:>{widths[2]}}  {head[3]}\n")
    for c in cells:
        out.write(f"{c[0]:>{widths[0]}}  {c[1]:>{widths[1]}}  {c[2]:>{widths[2]}}  {c[3]}\n")
    out.write(f"({len(rows):,} point{'s' if len(rows) != 1 else ''})\n")
    out.flush()
    _note_empty_box(db, sel, len(rows))
    return 0


def run_stats(args: Any) -> int:
    from orbisk_cli.progress import Progress
    from orbisk_cli.selection import Selection, chunks
    from orbisk_cli.stats import summarize
    from orbisk_cli.store import open_reader

    db = open_reader(args.store)
    progress = Progress(sys.stderr, db.len(), os.path.basename(args.store))
    summarize(db, args.store, chunks(db, Selection()), args.top, sys.stdout, progress)
    return 0


def run_verify(args: Any) -> int:
    from orbisk import PyZurAD

    from orbisk_cli.store import exists
    from orbisk_columnar import ColumnarStore

    if not exists(args.store):
        raise CliError(f"store {args.store} does not exist")
    try:  # read-only unless it is to checkpoint first
        db = PyZurAD(args.store) if args.flush else ColumnarStore(args.store, read_only=True)
    except OSError as e:  # a store refused at open is the check's finding
        print(f"{args.store}: {e}")
        return 1
    try:
        report = db.verify_integrity(flush=True) if isinstance(db, PyZurAD) else db.verify_integrity()
    except OSError as e:
        raise CliError(f"flush before the check failed: {e}" if args.flush else f"the check failed: {e}") from None
    if report["ok"]:
        print(f"{args.store}: ok")
        return 0
    for error in report["errors"]:
        print(f"{args.store}: {error}")
    return 1


def run_delete(args: Any) -> int:
    from orbisk_cli.progress import Ticker
    from orbisk_cli.selection import parse_filter
    from orbisk_cli.store import open_store

    flt = {} if args.all else parse_filter(args.filter)
    if not flt and not args.all:
        raise CliError("--filter '{}' matches every point; give --all to delete them all")
    db = open_store(args.store)
    try:
        with Ticker(sys.stderr, "deleting"):
            deleted = db.delete_by_metadata(flt)
    except (ValueError, TypeError) as e:
        raise CliError(f"bad filter: {e}") from None
    except RuntimeError as e:
        raise CliError(f"delete failed: {e}") from None
    reclaim = " (orbisk compact reclaims their space)" if deleted else ""
    print(f"deleted {deleted:,} point{'s' if deleted != 1 else ''}{reclaim}")
    return 0


def run_compact(args: Any) -> int:
    from orbisk_cli.progress import Ticker
    from orbisk_cli.store import open_store, store_files

    db = open_store(args.store)
    before = sum(os.path.getsize(f) for f in store_files(args.store))
    try:
        with Ticker(sys.stderr, "compacting"):
            reclaimed = db.compact()
    except (RuntimeError, OSError) as e:
        raise CliError(f"compaction failed: {e}") from None
    after = sum(os.path.getsize(f) for f in store_files(args.store))
    print(f"reclaimed {reclaimed:,} slots and {max(before - after, 0):,} bytes ({before:,} -> {after:,} bytes)")
    return 0


def run_flush(args: Any) -> int:
    from orbisk_cli.store import open_store

    db = open_store(args.store)
    try:
        db.flush()
    except OSError as e:
        raise CliError(f"flush failed: {e}") from None
    print(f"{args.store}: flushed")
    return 0


def run_map(args: Any) -> int:
    from orbisk_cli.mapping import draw, picture_format
    from orbisk_cli.progress import Progress, Ticker
    from orbisk_cli.selection import chunks, known_total, selection_from
    from orbisk_cli.store import open_reader

    picture_format(args.out)  # an unknown format is refused before the store is read
    sel = selection_from(args)
    db = open_reader(args.store)
    title = os.path.basename(args.store)
    progress = Progress(sys.stderr, known_total(db, sel), title)
    n = draw(chunks(db, sel), args.out, title, sel.bbox, progress, Ticker(sys.stderr, f"drawing {args.out}"))
    print(f"drew {n:,} point{'s' if n != 1 else ''} to {args.out}")
    _note_empty_box(db, sel, n)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # Commands build and drop millions of rows, dicts and lists that never form
    # cycles; the collector's passes over them cost a fifth of an import.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return int(args.run(args))
    except CliError as e:
        _close_stdout()
        sys.stderr.write(f"orbisk: {e}\n")
        return e.status
    except KeyboardInterrupt:
        sys.stderr.write("\norbisk: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader of our output went away (`orbisk query ... | head`).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except BaseException as e:  # noqa: BLE001 - the user sees one line, never a traceback
        if isinstance(e, SystemExit):
            raise
        _close_stdout()
        sys.stderr.write(f"orbisk: {type(e).__name__}: {e}\n")
        return 1
    finally:
        if collecting:
            gc.enable()


def _close_stdout() -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
