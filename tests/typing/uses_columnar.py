"""Uses every method of the companion handle as a typed program would; mypy --strict must accept it."""

from __future__ import annotations

from orbisk_columnar import ArrowResult, ColumnarStore, DistanceRow, Row


def ids_of(rows: list[Row]) -> list[int]:
    return [row["id"] for row in rows]


def main(path: str, data: object) -> None:
    with ColumnarStore(path, capacity=100, wal_sync_interval_ms=None) as store:
        added: range = store.append(data, latitude="lat", longitude="lon", columns=["name"])
        added = store.append(data, geometry="geometry")
        result: ArrowResult = store.to_arrow(
            bbox=(35, -10, 55, 5), filter={"name": "Paris"}, limit=10, geometry="wkb", types={"name": "string"}
        )
        result = store.to_arrow(radius=(48.8, 2.3, 1000.0), metadata="json", batch_size=1000)
        result = store.to_arrow(polygon=[(-5, 38), (0, 38), (0, 42)], columns=["name"])
        capsule: object = result.__arrow_c_stream__()
        rows: int = result.num_rows
        names: list[str] = result.column_names
        found = ids_of(store.rows(filter={"name": {"$in": ["Paris"]}}, limit=3))
        near: list[DistanceRow] = store.nearest(48.8, 2.3, 10, {"open": True}, max_distance_m=5000)
        metres: float = near[0]["distance_m"]
        ordered: list[DistanceRow] = store.rows(bbox=(35, -10, 55, 5), sort_by_distance=(48.8, 2.3), limit=5)
        lake = {"type": "Polygon", "coordinates": [[[0, 0], [9, 0], [9, 9]], [[1, 1], [2, 1], [1, 2]]]}
        inside: list[Row] = store.rows(polygon=lake, filter={"name": "Paris"})
        result = store.to_arrow(polygon=lake, sort_by_distance=(0.0, 0.0), max_distance_m=1e6)
        print(near, metres, ordered, inside)
        print(added, capsule, rows, names, found, len(store), store.read_only, store.closed, store.path)
    reader = ColumnarStore(path, read_only=True)
    reader.close()
