"""`orbisk map`: a picture of the selected points (matplotlib, the extra `map`).

Up to SCATTER_LIMIT points are drawn one by one; more are drawn as density,
hexagonal cells coloured by the logarithm of their point count. A selection
that crosses the antimeridian (a box whose MIN_LON is greater than its
MAX_LON, or points whose widest gap in longitude is not the one at 180°) is
drawn centred on itself: longitudes west of its western edge are moved on by
360° and labelled as they are. The picture format is the one the file name
ends with.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

from orbisk_cli.errors import CliError
from orbisk_cli.progress import Progress, Ticker

SCATTER_LIMIT = 20_000
# file name ending: matplotlib's name of the format
PICTURE_FORMATS = {
    ".png": "png",
    ".jpg": "jpeg",
    ".jpeg": "jpeg",
    ".svg": "svg",
    ".svgz": "svgz",
    ".pdf": "pdf",
    ".eps": "eps",
    ".ps": "ps",
    ".tif": "tiff",
    ".tiff": "tiff",
    ".webp": "webp",
}


def picture_format(path: str) -> str:
    """The format a picture named `path` is written in."""
    dot = path.rfind(".")
    ext = path[dot:].lower() if dot > path.rfind("/") else ""
    if ext not in PICTURE_FORMATS:
        names = list(PICTURE_FORMATS)
        raise CliError(
            f"cannot tell the picture format of {path} from its name; "
            f"orbisk map writes {', '.join(names[:-1])} and {names[-1]}"
        )
    return PICTURE_FORMATS[ext]


def longitude_window(lon: Any, box: tuple[float, float, float, float] | None) -> tuple[float, float] | None:
    """(west, east) with east > 180 when the selection is drawn across the
    antimeridian, else None."""
    if box is not None:
        return (box[1], box[3] + 360.0) if box[1] > box[3] else None
    if len(lon) < 2:
        return None
    import numpy as np

    ordered = np.unique(lon)
    if len(ordered) < 2:
        return None
    gaps = np.diff(ordered)
    widest = int(gaps.argmax())
    around = 360.0 - (ordered[-1] - ordered[0])  # the gap across 180°
    if gaps[widest] <= around:
        return None
    return float(ordered[widest + 1]), float(ordered[widest] + 360.0)


def draw(
    chunks: Iterable[list[dict[str, Any]]],
    out: str,
    title: str,
    box: tuple[float, float, float, float] | None,
    progress: Progress,
    ticker: Ticker,
) -> int:
    fmt = picture_format(out)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        raise CliError("maps need matplotlib: pip install 'orbisk[map]'") from None
    lat_parts, lon_parts = [], []
    n = 0
    for rows in chunks:
        lat_parts.append(np.fromiter((r["latitude"] for r in rows), dtype=np.float64, count=len(rows)))
        lon_parts.append(np.fromiter((r["longitude"] for r in rows), dtype=np.float64, count=len(rows)))
        n += len(rows)
        progress.update(n, n)
    progress.finish(n, n)
    lat = np.concatenate(lat_parts) if lat_parts else np.zeros(0)
    lon = np.concatenate(lon_parts) if lon_parts else np.zeros(0)
    window = longitude_window(lon, box)
    if window is not None:
        lon = np.where(lon < window[0], lon + 360.0, lon)
    if box is not None:
        south, north = box[0], box[2]
        west, east = window if window is not None else (box[1], box[3])
    elif n:
        south, north, west, east = lat.min(), lat.max(), lon.min(), lon.max()
        pad_lat, pad_lon = max((north - south) * 0.05, 0.01), max((east - west) * 0.05, 0.01)
        south, north = max(south - pad_lat, -90.0), min(north + pad_lat, 90.0)
        low, high = (window[0] - 180.0, window[0] + 360.0) if window is not None else (-180.0, 180.0)
        west, east = max(west - pad_lon, low), min(east + pad_lon, high)
    else:
        south, west, north, east = -90.0, -180.0, 90.0, 180.0
    with ticker:
        fig, ax = plt.subplots(figsize=(8, 4.6), dpi=100)
        try:
            ax.set_facecolor("#f4f6f8")
            if n > SCATTER_LIMIT:
                cells = ax.hexbin(
                    lon,
                    lat,
                    gridsize=160,
                    bins="log",
                    mincnt=1,
                    cmap="viridis",
                    extent=(west, east, south, north),
                    linewidths=0,
                )
                fig.colorbar(cells, ax=ax, label="points per cell", shrink=0.85)
            elif n:
                ax.scatter(lon, lat, s=6 if n < 2000 else 2, c="#d1495b", alpha=0.8 if n < 2000 else 0.5, linewidths=0)
            ax.set_xlim(west, east)
            ax.set_ylim(south, north)
            if window is not None:  # longitudes beyond 180° are labelled as the ones they stand for
                ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x - 360.0 if x > 180.0 else x:g}"))
            middle = math.radians((south + north) / 2)
            ax.set_aspect(1 / max(math.cos(middle), 0.2))
            ax.grid(True, color="white", linewidth=0.8)
            ax.set_axisbelow(True)
            ax.set_xlabel("longitude")
            ax.set_ylabel("latitude")
            ax.set_title(f"{title}: {n:,} points")
            fig.tight_layout()
            fig.savefig(out, format=fmt)
        except OSError as e:
            raise CliError(f"cannot write {out}: {e.strerror or e}") from None
        finally:
            plt.close(fig)
    return n
