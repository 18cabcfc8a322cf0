"""A short tour of orbisk on a store that lives in a temporary directory."""
import os
import tempfile

from orbisk import PyZurAD

with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "cities.db")
    db = PyZurAD(path)
    first = db.insert(48.8566, 2.3522, {"name": "Paris", "population": 2_102_650})
    ids = db.insert_batch([
        (51.5072, -0.1276, {"name": "London", "tags": ["capital", "port"]}),
        (-33.8688, 151.2093, {"name": "Sydney", "coastal": True}),
    ])
    print("inserted ids:", [first] + ids)
    print("points stored:", db.len(), "(next_slot, live_count):", db.slot_stats())
    db.flush()
    print("integrity after flush:", db.verify_integrity())
    del db

    reopened = PyZurAD(path)
    print("after reopening:", reopened.len(), "points")
    print("files:", sorted(os.listdir(d)))
