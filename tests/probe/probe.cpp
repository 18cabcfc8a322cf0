// A test-only extension module that reaches engine internals directly: the
// metadata conversions, before any method of the handle returns stored metadata
// to Python; the geometry of the polygon test, so that pytest can check it
// against exact rational arithmetic; the engine's multi-part polygon and
// nearest-neighbour queries on a handle, which no method of the handle offers;
// and a build of the handle class whose file layer can be made to fail
// (engine/util/fault_injection.hpp), with the controls of that hook.
#include <memory>
#include <optional>

#include "engine/database.hpp"
#include "engine/metadata/metadata.hpp"
#include "engine/query/orient2d.hpp"
#include "engine/query/polygon.hpp"
#include "engine/query/route_override.hpp"
#include "engine/util/fault_injection.hpp"
#include "python/convert.hpp"
#include "python/filter_parse.hpp"
#include "python/py_util.hpp"
#include "python/rows.hpp"
#include "python/string_caches.hpp"
#include "python/text_to_py.hpp"

using namespace orbisk;
using namespace orbisk::py;

namespace orbisk::py {
PyObject* init_module();
std::shared_ptr<Database> database_of_handle(PyObject* obj);
}  // namespace orbisk::py

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

// The conversion of parsed metadata values to Python objects that rows were
// built with before they were built from the text itself: the reference that
// the direct conversion is checked against.
struct ValueToPy {
    StringCaches& caches;
    PyObject* operator()(std::monostate) const { return Py_NewRef(Py_None); }
    PyObject* operator()(bool b) const { return PyBool_FromLong(b); }
    PyObject* operator()(std::uint64_t v) const {
        if (v > static_cast<std::uint64_t>(INT64_MAX)) return PyFloat_FromDouble(static_cast<double>(v));
        return PyLong_FromUnsignedLongLong(v);
    }
    PyObject* operator()(std::int64_t v) const { return PyLong_FromLongLong(v); }
    PyObject* operator()(double d) const { return PyFloat_FromDouble(d); }
    PyObject* operator()(const std::string& s) const { return caches.value(s); }
    PyObject* operator()(const MetadataArray& arr) const {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(arr.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < arr.size(); ++i) {
            PyObject* item = std::visit(*this, arr[i].v);
            if (!item || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) != 0) return nullptr;
        }
        return list.release();
    }
    PyObject* operator()(const MetadataObject& obj) const {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [k, v] : obj)
            if (!set_item(dict.get(), k, v)) return nullptr;
        return dict.release();
    }
    bool set_item(PyObject* dict, std::string_view k, const MetadataValue& v) const {
        Ref key = Ref::steal(caches.key(k));
        if (!key) return false;
        Ref value = Ref::steal(std::visit(*this, v.v));
        return value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
    }
    PyObject* metadata(const MetadataMap& map) const {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [k, v] : map)
            if (!set_item(dict.get(), k, v)) return nullptr;
        return dict.release();
    }
};

// Converts a list of str or bytes texts with one set of string caches, as the
// rows of one call are, by `convert(text, caches)` -> new reference, Py_None
// for an unreadable text, or nullptr with an exception set.
template <class Convert>
PyObject* convert_texts(PyObject* arg, Convert convert) {
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
        Ref value = Ref::steal(convert(text, caches));
        if (!value || PyList_Append(out.get(), value.get()) != 0) return nullptr;
    }
    return out.release();
}

// from_json_texts(list of str or bytes) -> list of dict or None: each text's
// metadata as result rows carry it (None where the text is unreadable).
PyObject* probe_from_json_texts(PyObject*, PyObject* arg) {
    std::optional<MetadataToPy> to_py;
    return convert_texts(arg, [&](std::string_view text, StringCaches& caches) -> PyObject* {
        if (!to_py) to_py.emplace(caches);
        PyObject* dict = (*to_py)(text);
        if (!dict && !PyErr_Occurred()) return Py_NewRef(Py_None);
        return dict;
    });
}

// from_json_texts_via_map(list of str or bytes) -> the same, through the
// value model: the text read into a MetadataMap, then each value converted.
PyObject* probe_from_json_texts_via_map(PyObject*, PyObject* arg) {
    return convert_texts(arg, [](std::string_view text, StringCaches& caches) -> PyObject* {
        auto map = metadata_from_json_text(text);
        return map ? ValueToPy{caches}.metadata(*map) : Py_NewRef(Py_None);
    });
}

// texts_readable(list of str or bytes) -> list of bool: whether the scan's
// quick check finds each text readable, without building it.
PyObject* probe_texts_readable(PyObject*, PyObject* arg) {
    return convert_texts(arg, [](std::string_view text, StringCaches&) -> PyObject* {
        return PyBool_FromLong(metadata_text_readable(text));
    });
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

// ---- engine queries on a handle ------------------------------------------------

std::shared_ptr<Database> handle_argument(PyObject* obj) {
    auto db = database_of_handle(obj);
    if (!db) raise_conversion_error(obj, "PyZurAD", "handle");
    return db;
}

bool optional_filter(PyObject* obj, std::optional<FilterExpr>& out) {
    if (obj == Py_None) return true;
    if (!PyDict_Check(obj)) return raise_conversion_error(obj, "PyDict", "filter"), false;
    return parse_filter(obj, out.emplace());
}

// Engine refusals of the arguments as ValueError, anything else as RuntimeError.
PyObject* raise_engine_error(const Error& e) {
    return raise_error(e, e.kind == ErrorKind::InvalidData ? PyExc_ValueError : PyExc_RuntimeError);
}

bool vertex_list(PyObject* ring, std::vector<Vertex>& out) {
    if (!PyList_Check(ring)) return raise_conversion_error(ring, "PyList", "ring"), false;
    for (Py_ssize_t i = 0; i < PyList_Size(ring); ++i) {
        PyObject* item = PyList_GetItem(ring, i);
        if (!PyTuple_Check(item)) return raise_conversion_error(item, "PyTuple"), false;
        PyObject* x = PyTuple_GetItem(item, 0);
        PyObject* y = x ? PyTuple_GetItem(item, 1) : nullptr;
        if (!y) return false;
        const Vertex v{PyFloat_AsDouble(x), PyFloat_AsDouble(y)};
        if (PyErr_Occurred()) return false;
        out.push_back(v);
    }
    return true;
}

// query_shape(handle, parts, filter=None) -> rows: the points in the
// multi-part polygon `parts`, a list of parts, each a list of rings (the
// exterior first, then the holes), each a list of (x, y) tuples.
PyObject* probe_query_shape(PyObject*, PyObject* args) {
    PyObject *handle, *list, *filter_obj = Py_None;
    if (!PyArg_ParseTuple(args, "OO|O", &handle, &list, &filter_obj)) return nullptr;
    auto db = handle_argument(handle);
    if (!db) return nullptr;
    if (!PyList_Check(list)) return raise_conversion_error(list, "PyList", "parts");
    std::vector<PartRings> parts;
    for (Py_ssize_t p = 0; p < PyList_Size(list); ++p) {
        PyObject* rings = PyList_GetItem(list, p);
        if (!PyList_Check(rings)) return raise_conversion_error(rings, "PyList", "part");
        PartRings& part = parts.emplace_back();
        for (Py_ssize_t r = 0; r < PyList_Size(rings); ++r)
            if (!vertex_list(PyList_GetItem(rings, r), part.emplace_back())) return nullptr;
    }
    std::optional<FilterExpr> filter;
    if (!optional_filter(filter_obj, filter)) return nullptr;
    Result<TextRecords> r;
    {
        GilRelease unlocked;
        auto shape = MultiPolygon::make(std::move(parts));
        if (shape)
            r = db->spatial_query(std::move(*shape), filter ? &*filter : nullptr);
        else
            r = fail(shape.error());
    }
    if (!r) return raise_engine_error(r.error());
    return build_rows(*r);
}

// nearest(handle, lat, lon, k, filter=None, max_distance_m=None) -> rows with
// "distance_m", nearest first.
PyObject* probe_nearest(PyObject*, PyObject* args) {
    PyObject *handle, *filter_obj = Py_None, *most_obj = Py_None;
    NearestQuery query{};
    unsigned long long k;
    if (!PyArg_ParseTuple(args, "OddK|OO", &handle, &query.lat, &query.lon, &k, &filter_obj, &most_obj)) return nullptr;
    query.k = k;
    auto db = handle_argument(handle);
    if (!db) return nullptr;
    std::optional<FilterExpr> filter;
    if (!optional_filter(filter_obj, filter)) return nullptr;
    if (most_obj != Py_None) {
        query.max_distance_m = PyFloat_AsDouble(most_obj);
        if (PyErr_Occurred()) return nullptr;
    }
    Result<DistanceRecords> r;
    {
        GilRelease unlocked;
        r = db->nearest(query, filter ? &*filter : nullptr);
    }
    if (!r) return raise_engine_error(r.error());
    return build_rows(r->records, r->distances.data());
}

// nearest_stats(handle, lat, lon, k, filter=None) -> (index_route, rounds,
// examined): how the search went, its rows left unbuilt.
PyObject* probe_nearest_stats(PyObject*, PyObject* args) {
    PyObject *handle, *filter_obj = Py_None;
    NearestQuery query{};
    unsigned long long k;
    if (!PyArg_ParseTuple(args, "OddK|O", &handle, &query.lat, &query.lon, &k, &filter_obj)) return nullptr;
    query.k = k;
    auto db = handle_argument(handle);
    if (!db) return nullptr;
    std::optional<FilterExpr> filter;
    if (!optional_filter(filter_obj, filter)) return nullptr;
    NearestStats stats;
    Result<DistanceRecords> r;
    {
        GilRelease unlocked;
        r = db->nearest(query, filter ? &*filter : nullptr, &stats);
    }
    if (!r) return raise_engine_error(r.error());
    return Py_BuildValue("(OIK)", stats.index_route ? Py_True : Py_False, stats.rounds,
                         static_cast<unsigned long long>(stats.examined));
}

// faults_arm(at=None, error=EIO, persistent=False, kill=False): starts counting and
// logging the file layer's calls afresh. `at` is the number of a call (from 0)
// or a list of them: those calls fail with `error` (with `persistent`, the first
// and every later one), or the process is killed at the first when `kill`.
PyObject* probe_faults_arm(PyObject*, PyObject* args) {
    PyObject* at = Py_None;
    int error = EIO;
    int persistent = 0;
    int kill = 0;
    if (!PyArg_ParseTuple(args, "|Oipp", &at, &error, &persistent, &kill)) return nullptr;
    std::optional<fault_injection::Plan> plan;
    if (at != Py_None) {
        plan = fault_injection::Plan{{}, error, persistent != 0, kill != 0};
        Ref list = Ref::steal(PyList_Check(at) ? Py_NewRef(at) : Py_BuildValue("[O]", at));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_Size(list.get()); ++i) {
            unsigned long long n;
            if (!to_u64(PyList_GetItem(list.get(), i), "at", n)) return nullptr;
            plan->at.push_back(n);
        }
    }
    fault_injection::arm(plan);
    Py_RETURN_NONE;
}

// force_route(None | "scan" | "index"): the route every metadata scan and
// spatial query of this build takes from now on (None: chosen by cost).
PyObject* probe_force_route(PyObject*, PyObject* arg) {
    ForcedRoute route = ForcedRoute::None;
    if (arg != Py_None) {
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(arg, &size);
        if (!name) return nullptr;
        const std::string_view n(name, static_cast<std::size_t>(size));
        if (n == "scan")
            route = ForcedRoute::Scan;
        else if (n == "index")
            route = ForcedRoute::Index;
        else {
            PyErr_SetString(PyExc_ValueError, "route must be None, 'scan' or 'index'");
            return nullptr;
        }
    }
    force_route(route);
    Py_RETURN_NONE;
}

PyObject* probe_faults_disarm(PyObject*, PyObject*) {
    fault_injection::disarm();
    Py_RETURN_NONE;
}

// faults_events() -> list of (call, path, errno, created) since the last arm.
PyObject* probe_faults_events(PyObject*, PyObject*) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (const auto& e : fault_injection::events()) {
        Ref item =
            Ref::steal(Py_BuildValue("(ss#iO)", fault_injection::call_name(e.call), e.path.data(),
                                     static_cast<Py_ssize_t>(e.path.size()), e.error, e.created ? Py_True : Py_False));
        if (!item || PyList_Append(out.get(), item.get()) != 0) return nullptr;
    }
    return out.release();
}

// faults_renamed() -> {index of the event: bytes} for every rename that succeeded
// since the last arm, with what the renamed file then held.
PyObject* probe_faults_renamed(PyObject*, PyObject*) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    const auto events = fault_injection::events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& e = events[i];
        if (e.call != SysCall::Rename || e.error != 0) continue;
        Ref key = Ref::steal(PyLong_FromSize_t(i));
        Ref value = Ref::steal(PyBytes_FromStringAndSize(e.content.data(), static_cast<Py_ssize_t>(e.content.size())));
        if (!key || !value || PyDict_SetItem(out.get(), key.get(), value.get()) != 0) return nullptr;
    }
    return out.release();
}

PyMethodDef probe_methods[] = {
    {"orient2d", probe_orient2d, METH_VARARGS, nullptr},
    {"ring_location", probe_ring_location, METH_VARARGS, nullptr},
    {"query_shape", probe_query_shape, METH_VARARGS, nullptr},
    {"nearest", probe_nearest, METH_VARARGS, nullptr},
    {"nearest_stats", probe_nearest_stats, METH_VARARGS, nullptr},
    {"to_json_text", probe_to_json_text, METH_O, nullptr},
    {"to_json_text_via_map", probe_to_json_text_via_map, METH_O, nullptr},
    {"from_json_texts", probe_from_json_texts, METH_O, nullptr},
    {"from_json_texts_via_map", probe_from_json_texts_via_map, METH_O, nullptr},
    {"texts_readable", probe_texts_readable, METH_O, nullptr},
    {"force_route", probe_force_route, METH_O, nullptr},
    {"faults_arm", probe_faults_arm, METH_VARARGS, nullptr},
    {"faults_disarm", probe_faults_disarm, METH_NOARGS, nullptr},
    {"faults_events", probe_faults_events, METH_NOARGS, nullptr},
    {"faults_renamed", probe_faults_renamed, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT, "_orbisk_probe", nullptr, -1, probe_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__orbisk_probe(void) {
    Ref module = Ref::steal(PyModule_Create(&probe_module));
    if (!module) return nullptr;
    // The handle class of this build, whose file layer the faults_* functions steer.
    Ref handles = Ref::steal(init_module());
    if (!handles) return nullptr;
    Ref type = Ref::steal(PyObject_GetAttrString(handles.get(), "PyZurAD"));
    if (!type || PyModule_AddObjectRef(module.get(), "PyZurAD", type.get()) != 0) return nullptr;
    return module.release();
}
