"""Each marked line is a wrong call that both type checkers must flag."""

from orbisk import PyZurAD

db = PyZurAD()
db.insert(1.0, 2.0, [("name", "x")])  # wrong: metadata
db.insert("48.1", 2.0, {})  # wrong: lat
db.insert_batch([(1.0, 2.0)])  # wrong: points
db.query_polygon([(1.0,)])  # wrong: coordinates
db.query_radius(1.0, 2.0, 3.0, filter=["a"])  # wrong: filter
db.query({"a": 1}, limit="5")  # wrong: limit
db.verify_integrity(flush="yes")  # wrong: flush
db.slot_stats(1)  # wrong: too many
PyZurAD(path=123)  # wrong: path
PyZurAD(path=b"geo.db")  # wrong: path bytes
count: str = db.count()  # wrong: return
row_id: str = db.query({})[0]["id"]  # wrong: row
db.query({})[0]["name"]  # wrong: row key
db.nearest(1.0, 2.0)  # wrong: no such method
