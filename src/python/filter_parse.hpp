// Parsing of filter documents (Python dicts) into the engine's FilterExpr tree.
#pragma once

#include "engine/query/filter.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// Parses a filter document; the caller has checked that `dict` is a dict.
// Returns false with a Python exception set: the first offending entry in walk
// order decides which.
bool parse_filter(PyObject* dict, FilterExpr& out);

}  // namespace orbisk::py
