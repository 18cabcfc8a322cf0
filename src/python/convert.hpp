// Conversion of metadata between Python objects and the engine's value model.
#pragma once

#include <string>
#include <string_view>

#include "engine/metadata/metadata.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

// Walks a dict as metadata conversion does: items in the dict's own order,
// stopping when user code run by a conversion changes the dict, keys checked to
// be str. Calls f(key object, key UTF-8, value object) for each item.
template <class F>
bool walk_dict(PyObject* dict, F f) {
    const Py_ssize_t initial = PyDict_Size(dict);
    Py_ssize_t pos = 0;
    Py_ssize_t steps = 0;
    PyObject* k;
    PyObject* v;
    for (;;) {
        if (PyDict_Size(dict) != initial) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!PyDict_Next(dict, &pos, &k, &v)) return true;
        if (++steps > initial) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        if (!PyUnicode_Check(key.get())) {
            raise_conversion_error(key.get(), "PyString");
            return false;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(key.get(), &n);
        if (!s) return false;
        if (!f(std::move(key), std::string_view(s, static_cast<std::size_t>(n)), value.get())) return false;
    }
}

// Walks a list in order, following its current size (conversions may change it).
template <class F>
bool walk_list(PyObject* list, F f) {
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        Ref item = Ref::borrow(PyList_GetItem(list, i));
        if (!item) return false;
        if (!f(item.get())) return false;
    }
    return true;
}

// Converts one Python value found inside a container at nesting level
// `parent_level` (the top-level metadata dict is level 1). Returns false with a
// Python exception set.
bool value_from_py(PyObject* obj, MetadataValue& out, int parent_level);
// Converts a metadata dict (the caller has checked it is a dict) at nesting
// level `level`. Returns false with a Python exception set.
bool metadata_from_py_dict(PyObject* dict, MetadataMap& out, int level = 1);
// Appends the stored text of a metadata dict to `out`, straight from the Python
// objects: the same text as metadata_to_json_text of the converted map, and the
// same errors as metadata_from_py_dict. On failure `out` is left as it was.
bool metadata_text_from_py_dict(PyObject* dict, std::string& out);

}  // namespace orbisk::py
