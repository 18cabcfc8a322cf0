// Result rows: the Python dicts {"id", "latitude", "longitude", "metadata"}
// built from the records a read returns, shared by every read method.
#pragma once

#include <vector>

#include "engine/storage/record_store.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// A new list of row dicts in the order of `records`, or nullptr with a Python
// exception set. Keys and up to 8192 string values are shared across the rows.
PyObject* build_rows(const std::vector<PointRecord>& records);

}  // namespace orbisk::py
