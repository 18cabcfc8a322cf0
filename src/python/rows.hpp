// Result rows: the Python dicts {"id", "latitude", "longitude", "metadata"}
// built from the records a read returns, shared by every read method.
#pragma once

#include "engine/query/text_records.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// A new list of row dicts in the order of `records`, or nullptr with a Python
// exception set. Keys and up to 8192 string values are shared across the rows.
PyObject* build_rows(const TextRecords& records);

}  // namespace orbisk::py
