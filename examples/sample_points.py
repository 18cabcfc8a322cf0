"""Writes a CSV of generated places clustered around cities, for trying the `orbisk` command.

python examples/sample_points.py places.csv [N]
"""

import csv
import random
import sys

CITIES = [
    ("Paris", 48.8566, 2.3522),
    ("London", 51.5072, -0.1276),
    ("New York", 40.7128, -74.006),
    ("Tokyo", 35.6762, 139.6503),
    ("Sydney", -33.8688, 151.2093),
    ("São Paulo", -23.5505, -46.6333),
    ("Lagos", 6.5244, 3.3792),
    ("Mumbai", 19.076, 72.8777),
    ("Mexico City", 19.4326, -99.1332),
    ("Cairo", 30.0444, 31.2357),
    ("Moscow", 55.7558, 37.6173),
    ("Los Angeles", 34.0522, -118.2437),
]
KINDS = ["cafe", "museum", "park", "station", "library", "market", "school", "harbour"]

path, n = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 200_000
rng = random.Random(42)
with open(path, "w", newline="", encoding="utf-8") as f:
    out = csv.writer(f)
    out.writerow(["latitude", "longitude", "name", "city", "kind", "stars", "open"])
    for i in range(n):
        city, lat, lon = rng.choice(CITIES)
        spread = rng.choice([0.05, 0.2, 1.5])
        lat = max(-90.0, min(90.0, rng.gauss(lat, spread)))
        lon = max(-180.0, min(180.0, rng.gauss(lon, spread * 1.3)))
        out.writerow(
            [
                lat,
                lon,
                f"place {i}",
                city,
                rng.choice(KINDS),
                rng.randint(1, 5),
                "true" if rng.random() < 0.7 else "false",
            ]
        )
