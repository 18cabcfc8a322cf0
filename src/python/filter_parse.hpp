// Parsing of filter documents (Python dicts) into the engine's FilterExpr tree.
#pragma once

#include <optional>

#include "engine/query/filter.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// Parses a filter document; the caller has checked that `dict` is a dict.
// Returns false with a Python exception set: the first offending entry in walk
// order decides which.
bool parse_filter(PyObject* dict, FilterExpr& out);

// The optional `filter` of a spatial query: omitted or None is no filter,
// anything else must be a dict. Checks the type; the parse comes later.
bool check_optional_filter(PyObject* obj);
bool parse_optional_filter(PyObject* obj, std::optional<FilterExpr>& out);

}  // namespace orbisk::py
