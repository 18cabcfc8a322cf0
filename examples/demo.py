"""A short tour of orbisk on a store that lives in a temporary directory."""

import os
import random
import tempfile

from orbisk import PyZurAD

KINDS = ["cafe", "museum", "park", "station", "library", "market"]
CITIES = {
    "Oslo": (59.91, 10.75),
    "Lisbon": (38.72, -9.14),
    "Nairobi": (-1.29, 36.82),
    "Lima": (-12.05, -77.04),
    "Osaka": (34.69, 135.50),
}

with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "places.db")
    db = PyZurAD(path)
    rng = random.Random(3)
    points = []
    for i in range(5000):
        city = rng.choice(list(CITIES))
        lat, lon = CITIES[city]
        meta = {
            "name": f"{city.lower()}-{i}",
            "city": city,
            "kind": rng.choice(KINDS),
            "rating": round(rng.uniform(1, 5), 1),
            "visits": rng.randrange(100000),
        }
        if rng.random() < 0.3:
            meta["tags"] = rng.sample(["free", "outdoor", "accessible", "late"], rng.randrange(1, 3))
        if rng.random() < 0.1:
            meta["closed"] = True
        points.append((lat + rng.uniform(-0.2, 0.2), lon + rng.uniform(-0.2, 0.2), meta))
    ids = db.insert_batch(points)
    print(f"inserted {len(ids)} points, ids {ids[0]} to {ids[-1]}; (next_slot, live_count) = {db.slot_stats()}")

    def show(title, filter, limit=None):
        rows = db.query(filter, limit=limit)  # noqa: F821
        print(f"\n{title}\n  filter {filter!r}{'' if limit is None else f', limit={limit}'}: {len(rows)} rows")
        for r in rows[:3]:
            print(f"  {r['id']:5d} ({r['latitude']:.3f}, {r['longitude']:.3f}) {r['metadata']}")

    show("Museums in Oslo", {"city": "Oslo", "kind": "museum"})
    show("Highly rated, much visited places", {"rating": {"$gte": 4.8}, "visits": {"$gt": 90000}})
    show(
        "Free or outdoor places that are not closed",
        {"tags": {"$in": ["free", "outdoor"]}, "closed": {"$ne": True}},
        limit=5,
    )
    show(
        "Either a market in Lima or a late-night cafe",
        {"$or": [{"city": "Lima", "kind": "market"}, {"kind": "cafe", "tags": {"$in": ["late"]}}]},
    )
    print(
        "\nany station in Osaka rated below 1.2?",
        db.exists({"city": "Osaka", "kind": "station", "rating": {"$lt": 1.2}}),
    )

    def show_rows(title, rows):
        print(f"\n{title}: {len(rows)} rows")
        for r in sorted(rows, key=lambda r: r["id"])[:3]:
            m = r["metadata"]
            print(f"  {r['id']:5d} ({r['latitude']:.3f}, {r['longitude']:.3f}) {m['name']} {m['kind']} {m['rating']}")

    # Boxes are (min_lat, min_lon, max_lat, max_lon), bounds included.
    show_rows("Everything in central Oslo", db.query_bbox(59.85, 10.65, 59.95, 10.85))
    show_rows("Parks in central Oslo", db.query_bbox(59.85, 10.65, 59.95, 10.85, {"kind": "park"}))
    # Radii are great-circle distances in metres.
    show_rows("Within 5 km of Lisbon's centre", db.query_radius(38.72, -9.14, 5000))
    show_rows(
        "Museums rated 4 or more within 10 km of Nairobi's centre",
        db.query_radius(-1.29, 36.82, 10_000, {"kind": "museum", "rating": {"$gte": 4}}),
    )
    # Polygon vertices are (longitude, latitude); points on the edges are left out.
    osaka_bay = [(135.30, 34.50), (135.50, 34.55), (135.55, 34.75), (135.40, 34.80), (135.42, 34.65)]
    show_rows("Inside a five-sided area around Osaka", db.query_polygon(osaka_bay))
    show_rows("Late-opening places in that area", db.query_polygon(osaka_bay, {"tags": {"$in": ["late"]}}))

    try:
        db.query({"rating": {"$between": [1, 2]}})
    except ValueError as e:
        print("a filter with an unknown operator is refused:", e)

    db.flush()
    print("\nintegrity after flush:", db.verify_integrity())

    def data_files():
        names = sorted(f for f in os.listdir(d) if f.endswith(".mmap"))
        return [f"{f} ({os.path.getsize(os.path.join(d, f)):,} bytes)" for f in names]

    print("\ndata files:", ", ".join(data_files()))
    gone = db.delete_by_metadata({"$or": [{"closed": True}, {"city": "Lima", "rating": {"$lt": 2}}]})
    print(f"deleted {gone} closed places and poorly rated ones in Lima; (next_slot, live_count) = {db.slot_stats()}")
    print("deleting them again matches nothing:", db.delete_by_metadata({"closed": True}))
    last = db.query({})[-1]
    print(f"compaction reclaimed {db.compact()} slots; (next_slot, live_count) = {db.slot_stats()}")
    name = last["metadata"]["name"]
    print(f"{name} is still the last point, now with id {db.query({'name': name})[0]['id']} (it had {last['id']})")
    print("data files:", ", ".join(data_files()))
    del db
    reopened = PyZurAD(path)
    print("\nafter reopening:", reopened.len(), "points;", len(reopened.query({"city": "Nairobi"})), "in Nairobi")
