"""`orbisk map`: a picture of the selected points (matplotlib, the extra `map`).

Up to SCATTER_LIMIT points are drawn one by one; more are drawn as density,
hexagonal cells coloured by the logarithm of their point count.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any

from orbisk_cli.errors import CliError

SCATTER_LIMIT = 20_000


def draw(
    chunks: Iterable[list[dict[str, Any]]], out: str, title: str, box: tuple[float, float, float, float] | None
) -> int:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
    except ImportError:
        raise CliError("maps need matplotlib: pip install 'orbisk[map]'") from None
    lat_parts, lon_parts = [], []
    for rows in chunks:
        lat_parts.append(np.fromiter((r["latitude"] for r in rows), dtype=np.float64, count=len(rows)))
        lon_parts.append(np.fromiter((r["longitude"] for r in rows), dtype=np.float64, count=len(rows)))
    lat = np.concatenate(lat_parts) if lat_parts else np.zeros(0)
    lon = np.concatenate(lon_parts) if lon_parts else np.zeros(0)
    n = len(lat)
    if box is not None and box[1] <= box[3]:
        south, west, north, east = box
    elif n:
        south, north, west, east = lat.min(), lat.max(), lon.min(), lon.max()
        pad_lat, pad_lon = max((north - south) * 0.05, 0.01), max((east - west) * 0.05, 0.01)
        south, north = max(south - pad_lat, -90.0), min(north + pad_lat, 90.0)
        west, east = max(west - pad_lon, -180.0), min(east + pad_lon, 180.0)
    else:
        south, west, north, east = -90.0, -180.0, 90.0, 180.0
    fig, ax = plt.subplots(figsize=(8, 4.6), dpi=100)
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
    middle = math.radians((south + north) / 2)
    ax.set_aspect(1 / max(math.cos(middle), 0.2))
    ax.grid(True, color="white", linewidth=0.8)
    ax.set_axisbelow(True)
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.set_title(f"{title}: {n:,} points")
    fig.tight_layout()
    try:
        fig.savefig(out, format="png")
    except OSError as e:
        raise CliError(f"cannot write {out}: {e.strerror or e}") from None
    finally:
        plt.close(fig)
    return n
