// Result rows: the Python dicts {"id", "latitude", "longitude", "metadata"}
// built from the records a read returns, shared by every read method.
#pragma once

#include "engine/query/text_records.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// A new list of row dicts in the order of `records`, or nullptr with a Python
// exception set. Keys and up to 8192 string values are shared across the rows.
// With `distances` (one per record, in record order), each row also holds its
// record's distance under "distance_m".
PyObject* build_rows(const TextRecords& records, const double* distances = nullptr);

}  // namespace orbisk::py
