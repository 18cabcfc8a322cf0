// Binding of positional and keyword arguments of METH_FASTCALL | METH_KEYWORDS
// methods to their parameters, with CPython's wording for argument errors.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "engine/query/polygon.hpp"

#include "python/py_util.hpp"

namespace orbisk::py {

// Fills out[i] (borrowed references, nullptr when omitted) for `n` parameters
// named `names`, of which the first `required` must be given. Returns false
// with a TypeError set when the arguments do not fit.
bool bind_args(const char* func, const char* const* names, std::size_t n, std::size_t required, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The vertices of a polygon ring: a list of tuples whose first two elements
// are the longitude and the latitude; further elements are ignored. False with
// a Python exception set.
bool polygon_vertices(PyObject* list, std::vector<Vertex>& out);

template <std::size_t N>
struct Args {
    std::array<PyObject*, N> v{};
    bool bind(const char* func, const std::array<const char*, N>& names, std::size_t required, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames) {
        return bind_args(func, names.data(), N, required, args, nargs, kwnames, v.data());
    }
    PyObject* operator[](std::size_t i) const { return v[i]; }
    // True when the argument was omitted or is None.
    bool none(std::size_t i) const { return v[i] == nullptr || v[i] == Py_None; }
};

}  // namespace orbisk::py
