// The `orbisk` extension module: the PyZurAD class and its method table.
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/database.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/util/text.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/filter_parse.hpp"
#include "python/handle.hpp"
#include "python/py_util.hpp"
#include "python/rows.hpp"

namespace orbisk::py {

namespace {

PyObject* handle_type = nullptr;

// The engine database of a handle, kept alive for the duration of a call.
std::shared_ptr<Database> database_of(PyObject* self) { return *reinterpret_cast<Handle*>(self)->db; }

// Runs one operation on the handle's database with the interpreter lock
// released; the lock is held again before the database reference is dropped.
template <class Op>
auto released(PyObject* self, Op op) {
    const std::shared_ptr<Database> db = database_of(self);
    GilRelease unlocked;
    return op(*db);
}

// ---- argument helpers -------------------------------------------------------

// `skip_index`: None, or a non-str sequence of str. Checked, not used.
bool check_skip_index(PyObject* obj) {
    if (!obj || obj == Py_None) return true;
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "argument 'skip_index': Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_conversion_error(obj, "Sequence", "skip_index");
        return false;
    }
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        if (!item) return false;
        if (!PyUnicode_Check(item.get())) {
            raise_conversion_error(item.get(), "PyString", "skip_index");
            return false;
        }
    }
    return true;
}

// ---- constructor --------------------------------------------------------------

// The str a `path` argument stands for: a str itself, or the str that the
// `__fspath__` of an os.PathLike returns (what os.fspath gives). Anything else,
// bytes and a PathLike of bytes included, is refused as before: TypeError.
Ref path_text(PyObject* obj) {
    if (PyUnicode_Check(obj)) return Ref::borrow(obj);
    Ref fspath = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__"));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        raise_conversion_error(obj, "PyString", "path");
        return Ref();
    }
    Ref text = Ref::steal(PyOS_FSPath(obj));  // the object's own errors propagate
    if (text && !PyUnicode_Check(text.get())) {
        raise_conversion_error(obj, "PyString", "path");
        return Ref();
    }
    return text;
}

PyObject* handle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "capacity", "wal_sync_interval_ms", nullptr};
    PyObject* path_obj = Py_None;
    PyObject* capacity_obj = nullptr;
    PyObject* interval_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:PyZurAD", const_cast<char**>(kwlist), &path_obj, &capacity_obj,
                                     &interval_obj))
        return nullptr;

    std::optional<std::string> path;
    if (path_obj != Py_None) {
        Ref text = path_text(path_obj);
        if (!text) return nullptr;
        path.emplace();
        if (!path_bytes(text.get(), *path)) return nullptr;
    }
    unsigned long long capacity = 10000;
    if (capacity_obj && !to_u64(capacity_obj, "capacity", capacity)) return nullptr;
    unsigned long long interval = 0;
    if (interval_obj != Py_None && !to_u64(interval_obj, "wal_sync_interval_ms", interval)) return nullptr;

    Result<std::shared_ptr<Database>> db = fail(Error::internal(""));
    {
        // Another process may hold the store's lock for a long time.
        GilRelease unlocked;
        db = path ? Database::open(*path, capacity, interval) : Database::open_temporary();
    }
    if (!db) {
        if (!path) {
            const std::string msg = cat("Failed to create mmap storage: ", db.error().message);
            PyErr_SetString(internal_error_type(), msg.c_str());
            return nullptr;
        }
        PyErr_SetString(PyExc_OSError, db.error().message.c_str());
        return nullptr;
    }

    return new_handle(type, std::move(*db));
}

void handle_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<Handle*>(self)->db;
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// ---- inserts ------------------------------------------------------------------

PyObject* handle_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<4> a;
    if (!a.bind("insert", {"lat", "lon", "metadata", "skip_index"}, 3, args, nargs, kwnames)) return nullptr;
    double lat, lon;
    if (!to_double(a[0], "lat", lat) || !to_double(a[1], "lon", lon)) return nullptr;
    if (!PyDict_Check(a[2])) return raise_conversion_error(a[2], "PyDict", "metadata");
    if (!check_skip_index(a[3])) return nullptr;
    // One buffer per thread for the text: no allocation per insert.
    thread_local std::string text;
    if (text.capacity() > (1 << 20)) std::string().swap(text);
    text.clear();
    if (!metadata_text_from_py_dict(a[2], text)) return nullptr;

    auto db = database_of(self);
    Result<std::uint64_t> r;
    {
        GilRelease unlocked;
        r = db->insert(lat, lon, text);
    }
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    return PyLong_FromUnsignedLongLong(*r);
}

PyObject* handle_insert_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<2> a;
    if (!a.bind("insert_batch", {"points", "skip_index"}, 1, args, nargs, kwnames)) return nullptr;
    PyObject* list = a[0];
    if (!PyList_Check(list)) return raise_conversion_error(list, "PyList", "points");
    if (!check_skip_index(a[1])) return nullptr;

    PointBatch points;
    points.reserve(static_cast<std::size_t>(PyList_Size(list)), 0);
    // Conversions may run user code that changes the list; follow its current size.
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        Ref item = Ref::borrow(PyList_GetItem(list, i));
        if (!item) return nullptr;
        if (!PyTuple_Check(item.get())) return raise_conversion_error(item.get(), "PyTuple");
        PyObject* fields[3];
        for (Py_ssize_t f = 0; f < 3; ++f) {
            fields[f] = PyTuple_GetItem(item.get(), f);  // IndexError when the tuple is short
            if (!fields[f]) return nullptr;
        }
        double lat, lon;
        if (!to_double(fields[0], nullptr, lat) || !to_double(fields[1], nullptr, lon)) return nullptr;
        if (!PyDict_Check(fields[2])) return raise_conversion_error(fields[2], "PyDict");
        if (!metadata_text_from_py_dict(fields[2], points.text_buffer())) return nullptr;
        points.add(lat, lon);
    }

    auto db = database_of(self);
    Result<std::vector<std::uint64_t>> r;
    {
        GilRelease unlocked;
        r = db->insert_batch(points);
        // Freeing the converted points is engine work too.
        points = PointBatch();
    }
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(r->size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < r->size(); ++i) {
        PyObject* id = PyLong_FromUnsignedLongLong((*r)[i]);
        if (!id) return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), id);
    }
    return out.release();
}

// ---- durability -----------------------------------------------------------------

PyObject* handle_flush(PyObject* self, PyObject*) {
    const Status st = released(self, [](Database& db) { return db.flush(); });
    if (!st) return raise_error(st.error(), PyExc_OSError);
    Py_RETURN_NONE;
}

// A Python bool, or a NumPy boolean scalar read through its truth value.
bool to_flag(PyObject* obj, const char* arg, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
    PyErr_Clear();
    const std::string name = type_name(obj);
    const char* mod =
        module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), nullptr) : nullptr;
    if (!mod) PyErr_Clear();
    if (mod && std::string_view(mod) == "numpy" && (name == "bool_" || name == "bool")) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_conversion_error(obj, "PyBool", arg);
    return false;
}

PyObject* handle_verify_integrity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<1> a;
    if (!a.bind("verify_integrity", {"flush"}, 0, args, nargs, kwnames)) return nullptr;
    bool flush = false;
    if (a[0] && !to_flag(a[0], "flush", flush)) return nullptr;
    auto db = database_of(self);
    Result<std::vector<std::string>> r;
    {
        GilRelease unlocked;
        r = db->verify_integrity(flush);
    }
    if (!r) return raise_error(r.error(), PyExc_OSError);
    Ref errors = Ref::steal(PyList_New(0));
    if (!errors) return nullptr;
    for (const auto& e : *r) {
        Ref s = Ref::steal(PyUnicode_DecodeUTF8(e.data(), static_cast<Py_ssize_t>(e.size()), "surrogateescape"));
        if (!s || PyList_Append(errors.get(), s.get()) != 0) return nullptr;
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (PyDict_SetItemString(dict.get(), "ok", r->empty() ? Py_True : Py_False) != 0 ||
        PyDict_SetItemString(dict.get(), "errors", errors.get()) != 0)
        return nullptr;
    return dict.release();
}

// ---- plain reads ------------------------------------------------------------------

// The counts are cheap, but another handle's change makes this one catch up
// first, which may wait for a writer of another process.
PyObject* handle_len(PyObject* self, PyObject*) {
    const auto r = released(self, [](Database& db) { return db.live_count(); });
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    return PyLong_FromUnsignedLongLong(*r);
}

PyObject* handle_slot_stats(PyObject* self, PyObject*) {
    const auto r = released(self, [](Database& db) { return db.slot_stats(); });
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(r->first), static_cast<unsigned long long>(r->second));
}

// ---- metadata queries ----------------------------------------------------------

// The `filter` argument: a dict, parsed. False with a Python exception set.
bool filter_argument(PyObject* obj, FilterExpr& out) {
    if (!PyDict_Check(obj)) return raise_conversion_error(obj, "PyDict", "filter"), false;
    return parse_filter(obj, out);
}

// Most records a result frees with the interpreter lock held.
constexpr std::size_t kFreeHeldMax = 64;

// Whether a filter holds few enough conditions and operand values that
// freeing it with the interpreter lock held costs less than handing the lock
// over and back.
bool small_filter(const FilterExpr& filter) {
    std::size_t budget = kFreeHeldMax;
    auto fits = [&budget](auto& self, const FilterExpr& f) -> bool {
        std::size_t weight = 1;
        if (const auto* items = std::get_if<MetadataArray>(&f.operand.v)) weight += items->size();
        if (const auto* members = std::get_if<MetadataObject>(&f.operand.v)) weight += members->size();
        if (weight > budget) return false;
        budget -= weight;
        for (const FilterExpr& child : f.children)
            if (!self(self, child)) return false;
        return true;
    };
    return fits(fits, filter);
}

// Runs a metadata scan with the interpreter lock released; the filter is
// freed there too.
Result<TextRecords> scan_unlocked(PyObject* self, FilterExpr& filter, std::uint64_t limit) {
    auto db = database_of(self);
    GilRelease unlocked;
    auto r = db->metadata_scan_texts(filter, limit);
    filter = FilterExpr();
    return r;
}

// The rows of a read's records, or RuntimeError for its failure. Many records
// are freed with the interpreter lock released: that is engine work too (a
// few are freed sooner than the lock is handed over and back).
PyObject* rows_of(Result<TextRecords>& r) {
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    PyObject* rows = build_rows(*r);
    if (r->size() > kFreeHeldMax) {
        GilRelease unlocked;
        *r = TextRecords();
    }
    return rows;
}

PyObject* handle_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<2> a;
    if (!a.bind("query", {"filter", "limit"}, 1, args, nargs, kwnames)) return nullptr;
    if (!PyDict_Check(a[0])) return raise_conversion_error(a[0], "PyDict", "filter");
    unsigned long long limit = kNoLimit;
    if (!a.none(1) && !to_u64(a[1], "limit", limit)) return nullptr;
    FilterExpr filter;
    if (!parse_filter(a[0], filter)) return nullptr;
    if (limit == kNoLimit) {
        auto r = scan_unlocked(self, filter, limit);
        return rows_of(r);
    }
    // A limited read leaves checking its texts to the row builder, which
    // parses them anyway. Only when one of `limit` records proves unreadable
    // (a damaged store) might a readable record beyond them have been due: the
    // read is made again, checked, so that the limit counts readable records.
    auto db = database_of(self);
    Result<TextRecords> r;
    {
        GilRelease unlocked;
        r = db->metadata_scan_texts(filter, limit, TextCheck::kUnchecked);
    }
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    const std::size_t read = r->size();
    Ref rows = Ref::steal(rows_of(r));
    if (!rows || read < limit || static_cast<std::size_t>(PyList_Size(rows.get())) == read) {
        if (!small_filter(filter)) {
            GilRelease unlocked;
            filter = FilterExpr();
        }
        return rows.release();
    }
    rows = Ref();
    r = scan_unlocked(self, filter, limit);
    return rows_of(r);
}

PyObject* handle_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<1> a;
    if (!a.bind("exists", {"filter"}, 1, args, nargs, kwnames)) return nullptr;
    FilterExpr filter;
    if (!filter_argument(a[0], filter)) return nullptr;
    auto r = scan_unlocked(self, filter, 1);
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    return PyBool_FromLong(!r->empty());
}

// ---- spatial queries --------------------------------------------------------------

// Runs a spatial query with the interpreter lock released, and builds its rows.
PyObject* spatial_rows(PyObject* self, SpatialShape shape, std::optional<FilterExpr> filter) {
    auto db = database_of(self);
    Result<TextRecords> r;
    {
        GilRelease unlocked;
        r = db->spatial_query(shape, filter ? &*filter : nullptr);
        // Freeing a long ring or a large filter is engine work too.
        shape = GeoBox{};
        filter.reset();
    }
    return rows_of(r);
}

// query_bbox and query_radius: numbers (every parameter but the last), then
// the optional filter; `make` turns the numbers into the query's shape.
template <std::size_t M, class MakeShape>
PyObject* query_by_numbers(PyObject* self, const char* func, const std::array<const char*, M>& names,
                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, MakeShape make) {
    Args<M> a;
    if (!a.bind(func, names, M - 1, args, nargs, kwnames)) return nullptr;
    std::array<double, M - 1> v;
    for (std::size_t i = 0; i + 1 < M; ++i)
        if (!to_double(a[i], names[i], v[i])) return nullptr;
    if (!check_optional_filter(a[M - 1])) return nullptr;
    std::optional<FilterExpr> filter;
    if (!parse_optional_filter(a[M - 1], filter)) return nullptr;
    return spatial_rows(self, make(v), std::move(filter));
}

PyObject* handle_query_bbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 5> names{"min_lat", "min_lon", "max_lat", "max_lon", "filter"};
    return query_by_numbers(self, "query_bbox", names, args, nargs, kwnames, [](const auto& v) {
        return SpatialShape(GeoBox{v[0], v[1], v[2], v[3]});
    });
}

PyObject* handle_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> names{"center_lat", "center_lon", "radius_meters", "filter"};
    return query_by_numbers(self, "query_radius", names, args, nargs, kwnames,
                            [](const auto& v) { return SpatialShape(Circle(v[0], v[1], v[2])); });
}

PyObject* handle_query_polygon(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<2> a;
    if (!a.bind("query_polygon", {"coordinates", "filter"}, 1, args, nargs, kwnames)) return nullptr;
    if (!PyList_Check(a[0])) return raise_conversion_error(a[0], "PyList", "coordinates");
    if (!check_optional_filter(a[1])) return nullptr;
    std::vector<Vertex> vertices;
    if (!polygon_vertices(a[0], vertices)) return nullptr;
    std::optional<FilterExpr> filter;
    if (!parse_optional_filter(a[1], filter)) return nullptr;
    return spatial_rows(self, Polygon(std::move(vertices)), std::move(filter));
}

// ---- deletion and compaction ------------------------------------------------------

PyObject* handle_delete_by_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<1> a;
    if (!a.bind("delete_by_metadata", {"filter"}, 1, args, nargs, kwnames)) return nullptr;
    FilterExpr filter;
    if (!filter_argument(a[0], filter)) return nullptr;
    auto db = database_of(self);
    Result<std::uint64_t> r;
    {
        GilRelease unlocked;
        r = db->delete_by_metadata(filter);
        filter = FilterExpr();
    }
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    return PyLong_FromUnsignedLongLong(*r);
}

PyObject* handle_compact(PyObject* self, PyObject*) {
    const auto r = released(self, [](Database& db) { return db.compact(); });
    if (!r) return raise_error(r.error(), PyExc_RuntimeError);
    return PyLong_FromUnsignedLongLong(*r);
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef handle_methods[] = {
    {"insert", FASTCALL(handle_insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, lat, lon, metadata, skip_index=None)\n--\n\n"},
    {"insert_batch", FASTCALL(handle_insert_batch), METH_FASTCALL | METH_KEYWORDS,
     "insert_batch($self, points, skip_index=None)\n--\n\n"},
    {"query_bbox", FASTCALL(handle_query_bbox), METH_FASTCALL | METH_KEYWORDS,
     "query_bbox($self, min_lat, min_lon, max_lat, max_lon, filter=None)\n--\n\n"},
    {"query_polygon", FASTCALL(handle_query_polygon), METH_FASTCALL | METH_KEYWORDS,
     "query_polygon($self, coordinates, filter=None)\n--\n\n"},
    {"query_radius", FASTCALL(handle_query_radius), METH_FASTCALL | METH_KEYWORDS,
     "query_radius($self, center_lat, center_lon, radius_meters, filter=None)\n--\n\n"},
    {"query", FASTCALL(handle_query), METH_FASTCALL | METH_KEYWORDS, "query($self, filter, limit=None)\n--\n\n"},
    {"len", handle_len, METH_NOARGS, "len($self)\n--\n\n"},
    {"count", handle_len, METH_NOARGS, "count($self)\n--\n\n"},
    {"exists", FASTCALL(handle_exists), METH_FASTCALL | METH_KEYWORDS, "exists($self, filter)\n--\n\n"},
    {"delete_by_metadata", FASTCALL(handle_delete_by_metadata), METH_FASTCALL | METH_KEYWORDS,
     "delete_by_metadata($self, filter)\n--\n\n"},
    {"verify_integrity", FASTCALL(handle_verify_integrity), METH_FASTCALL | METH_KEYWORDS,
     "verify_integrity($self, flush=False)\n--\n\n"
     "fsck-style integrity check. Returns a dict\n`{ok, errors}`. Default (`flush=False`) verifies the committed\n"
     "on-disk data against the CRC recorded at the last flush (detects\nat-rest corruption; most meaningful right "
     "after open). `flush=True`\nfirst flushes, then validates the write -> read path."},
    {"flush", handle_flush, METH_NOARGS,
     "flush($self)\n--\n\n"
     "Durably checkpoint: catch the committed mmap + manifest up to the\ncurrent state and reset the WAL, under the "
     "cross-process write lock."},
    {"compact", handle_compact, METH_NOARGS,
     "compact($self)\n--\n\n"
     "OB-R1: crash-safe compaction \u2014 reclaim tombstoned slots/bytes by\nrewriting a fresh, tombstone-free data "
     "generation and atomically\nswapping the manifest to it. Returns the number of tombstones reclaimed."},
    {"slot_stats", handle_slot_stats, METH_NOARGS,
     "slot_stats($self)\n--\n\n"
     "OB-R1: `(next_slot, live_count)` \u2014 the gap is the tombstone backlog."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(handle_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_methods, handle_methods},
    {Py_tp_doc, const_cast<char*>("PyZurAD(path=None, capacity=10000, wal_sync_interval_ms=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "orbisk.PyZurAD", sizeof(Handle), 0, Py_TPFLAGS_DEFAULT, handle_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orbisk", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;

}  // namespace

// The engine database behind a handle of this module, or null when `obj` is
// not one: the test probe reaches engine operations that no method offers
// through handles opened as usual.
std::shared_ptr<Database> database_of_handle(PyObject* obj) {
    if (!handle_type || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(handle_type))) return nullptr;
    return database_of(obj);
}

PyObject* init_module() {
    if (the_module) return Py_NewRef(the_module);
    if (!internal_error_type()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type = Ref::steal(PyType_FromSpec(&handle_spec));
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "PyZurAD", type.get()) != 0) return nullptr;
    Ref all = Ref::steal(Py_BuildValue("[s]", "PyZurAD"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0) return nullptr;
    handle_type = type.release();
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace orbisk::py

PyMODINIT_FUNC PyInit_orbisk(void) { return orbisk::py::init_module(); }
