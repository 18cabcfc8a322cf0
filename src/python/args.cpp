#include "python/args.hpp"

#include "engine/util/text.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace orbisk::py {

namespace {

PyObject* type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

std::string plural(std::size_t n, const char* word) { return cat(n, " ", word, n == 1 ? "" : "s"); }

}  // namespace

bool bind_args(const char* func, const char* const* names, std::size_t n, std::size_t required, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    auto fname = [&] { return cat(func, "()"); };
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > n) {
        const std::string expected = required == n ? cat(n) : cat("from ", required, " to ", n);
        type_error(cat(fname(), " takes ", expected, " positional argument", n == 1 ? "" : "s", " but ", nargs,
                       nargs == 1 ? " was" : " were", " given"));
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        const char* kname = key ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
        if (!kname) return false;
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i)
            if (std::strcmp(names[i], kname) == 0) slot = i;
        if (slot == n) {
            type_error(cat(fname(), " got an unexpected keyword argument '", kname, "'"));
            return false;
        }
        if (out[slot]) {
            type_error(cat(fname(), " got multiple values for argument '", kname, "'"));
            return false;
        }
        out[slot] = args[nargs + k];
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (!out[i]) missing.push_back(cat("'", names[i], "'"));
    if (!missing.empty()) {
        // CPython's wording: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
        std::string list;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            list += missing[i];
        }
        type_error(cat(fname(), " missing ", plural(missing.size(), "required positional argument"), ": ", list));
        return false;
    }
    return true;
}

bool polygon_vertices(PyObject* list, std::vector<Vertex>& out) {
    // Conversions may run user code that changes the list; follow its current size.
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        Ref item = Ref::borrow(PyList_GetItem(list, i));
        if (!item) return false;
        if (!PyTuple_Check(item.get())) return raise_conversion_error(item.get(), "PyTuple"), false;
        PyObject* x = PyTuple_GetItem(item.get(), 0);  // IndexError when the tuple is short
        PyObject* y = x ? PyTuple_GetItem(item.get(), 1) : nullptr;
        if (!y) return false;
        Vertex v;
        if (!to_double(x, nullptr, v.x) || !to_double(y, nullptr, v.y)) return false;
        out.push_back(v);
    }
    return true;
}

}  // namespace orbisk::py
