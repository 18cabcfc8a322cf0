// A test-only extension module that reaches engine internals directly: the
// metadata conversions, and the geometry of the polygon test, so that pytest
// can check them against exact rational arithmetic.
#include "engine/metadata/metadata.hpp"
#include "engine/query/orient2d.hpp"
#include "engine/query/polygon.hpp"
#include "python/convert.hpp"
#include "python/py_util.hpp"

using namespace orbisk;
using namespace orbisk::py;

namespace {

PyObject* text_to_py(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// to_json_text(dict) -> str: the text an insert stores for this metadata.
PyObject* probe_to_json_text(PyObject*, PyObject* arg) {
    if (!PyDict_Check(arg)) return raise_conversion_error(arg, "PyDict", "metadata");
    std::string text;
    if (!metadata_text_from_py_dict(arg, text)) return nullptr;
    return text_to_py(text);
}

// to_json_text_via_map(dict) -> str: the same text, through the value model.
PyObject* probe_to_json_text_via_map(PyObject*, PyObject* arg) {
    if (!PyDict_Check(arg)) return raise_conversion_error(arg, "PyDict", "metadata");
    MetadataMap map;
    if (!metadata_from_py_dict(arg, map)) return nullptr;
    return text_to_py(metadata_to_json_text(map));
}

// from_json_texts(list of str or bytes) -> list of dict or None, converted with
// one set of string caches, as the rows of one call are.
PyObject* probe_from_json_texts(PyObject*, PyObject* arg) {
    if (!PyList_Check(arg)) return raise_conversion_error(arg, "PyList", "texts");
    StringCaches caches;
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_Size(arg); ++i) {
        PyObject* item = PyList_GetItem(arg, i);
        std::string_view text;
        if (PyBytes_Check(item)) {
            char* data;
            Py_ssize_t n;
            if (PyBytes_AsStringAndSize(item, &data, &n) != 0) return nullptr;
            text = std::string_view(data, static_cast<std::size_t>(n));
        } else {
            Py_ssize_t n;
            const char* data = PyUnicode_AsUTF8AndSize(item, &n);
            if (!data) return nullptr;
            text = std::string_view(data, static_cast<std::size_t>(n));
        }
        auto map = metadata_from_json_text(text);
        Ref value = map ? Ref::steal(metadata_to_py(*map, caches)) : Ref::borrow(Py_None);
        if (!value || PyList_Append(out.get(), value.get()) != 0) return nullptr;
    }
    return out.release();
}

// orient2d(ax, ay, bx, by, cx, cy) -> float whose sign is the orientation.
PyObject* probe_orient2d(PyObject*, PyObject* args) {
    double ax, ay, bx, by, cx, cy;
    if (!PyArg_ParseTuple(args, "dddddd", &ax, &ay, &bx, &by, &cx, &cy)) return nullptr;
    return PyFloat_FromDouble(orient2d(ax, ay, bx, by, cx, cy));
}

// ring_location(vertices, x, y) -> "inside" | "outside" | "boundary": where
// (x, y) lies relative to the ring of (x, y) tuples, closed as a polygon query
// closes it.
PyObject* probe_ring_location(PyObject*, PyObject* args) {
    PyObject* list;
    double x, y;
    if (!PyArg_ParseTuple(args, "Odd", &list, &x, &y)) return nullptr;
    if (!PyList_Check(list)) return raise_conversion_error(list, "PyList", "vertices");
    std::vector<Vertex> vertices;
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        PyObject* item = PyList_GetItem(list, i);
        if (!PyTuple_Check(item)) return raise_conversion_error(item, "PyTuple");
        PyObject* vx = PyTuple_GetItem(item, 0);
        PyObject* vy = vx ? PyTuple_GetItem(item, 1) : nullptr;
        if (!vy) return nullptr;
        const Vertex v{PyFloat_AsDouble(vx), PyFloat_AsDouble(vy)};
        if (PyErr_Occurred()) return nullptr;
        vertices.push_back(v);
    }
    const Polygon polygon(std::move(vertices));
    static const char* const names[] = {"outside", "inside", "boundary"};
    return PyUnicode_FromString(names[static_cast<int>(point_in_ring(polygon.ring(), x, y))]);
}

PyMethodDef probe_methods[] = {
    {"orient2d", probe_orient2d, METH_VARARGS, nullptr},
    {"ring_location", probe_ring_location, METH_VARARGS, nullptr},
    {"to_json_text", probe_to_json_text, METH_O, nullptr},
    {"to_json_text_via_map", probe_to_json_text_via_map, METH_O, nullptr},
    {"from_json_texts", probe_from_json_texts, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {PyModuleDef_HEAD_INIT, "_orbisk_probe", nullptr, -1, probe_methods,
                            nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__orbisk_probe(void) { return PyModule_Create(&probe_module); }
