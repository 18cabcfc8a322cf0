// The `orbisk_columnar._columnar` extension module: the handle behind
// orbisk_columnar.ColumnarStore (open, read-only opening, selections as rows
// or as Arrow, appends from Arrow streams) and the Arrow result it returns.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "columnar/arrow_import.hpp"
#include "columnar/feature_reader.hpp"
#include "columnar/shape_arg.hpp"
#include "columnar/spare_buffers.hpp"
#include "columnar/table_builder.hpp"
#include "columnar/text_screen.hpp"
#include "engine/database.hpp"
#include "engine/query/metadata_scan.hpp"
#include "engine/util/text.hpp"
#include "python/args.hpp"
#include "python/filter_parse.hpp"
#include "python/handle.hpp"
#include "python/py_util.hpp"
#include "python/rows.hpp"

namespace orbisk::py {

namespace {

using columnar::ArrowTable;

// ---- the Arrow result ----------------------------------------------------------------

struct Result_ {
    PyObject_HEAD std::shared_ptr<const ArrowTable>* table;
};

PyObject* result_type = nullptr;

const std::shared_ptr<const ArrowTable>& table_of(PyObject* self) { return *reinterpret_cast<Result_*>(self)->table; }

void result_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<Result_*>(self)->table;
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

void stream_capsule_destructor(PyObject* capsule) {
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

void schema_capsule_destructor(PyObject* capsule) {
    auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

PyObject* result_arrow_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<1> a;
    if (!a.bind("__arrow_c_stream__", {"requested_schema"}, 0, args, nargs, kwnames)) return nullptr;
    // A requested schema is a wish the producer may decline: the stream keeps its own.
    auto* stream = new ArrowArrayStream;
    columnar::export_stream(table_of(self), stream);
    PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", stream_capsule_destructor);
    if (!capsule) {
        stream->release(stream);
        delete stream;
    }
    return capsule;
}

PyObject* result_arrow_c_schema(PyObject* self, PyObject*) {
    auto* schema = new ArrowSchema;
    columnar::export_schema(table_of(self)->schema, schema);
    PyObject* capsule = PyCapsule_New(schema, "arrow_schema", schema_capsule_destructor);
    if (!capsule) {
        schema->release(schema);
        delete schema;
    }
    return capsule;
}

PyObject* result_num_rows(PyObject* self, void*) { return PyLong_FromLongLong(table_of(self)->rows()); }

PyObject* result_column_names(PyObject* self, void*) {
    const auto& fields = table_of(self)->schema.children;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        PyObject* s = PyUnicode_DecodeUTF8(fields[i].name.data(), static_cast<Py_ssize_t>(fields[i].name.size()),
                                           "surrogateescape");
        if (!s) return nullptr;
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), s);
    }
    return out.release();
}

PyObject* result_repr(PyObject* self) {
    const std::string s =
        cat("<orbisk_columnar.ArrowResult: ", table_of(self)->rows(), " rows, ", table_of(self)->schema.children.size(),
            " columns, ", table_of(self)->batches.size(), " record batches>");
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef result_methods[] = {
    {"__arrow_c_stream__", FASTCALL(result_arrow_c_stream), METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "A new Arrow C stream (a PyCapsule named \"arrow_array_stream\") over the\n"
     "record batches, from the first. Each call gives a stream of its own."},
    {"__arrow_c_schema__", result_arrow_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n"
     "The schema of the record batches as a PyCapsule named \"arrow_schema\"."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"num_rows", result_num_rows, nullptr, "The number of rows.", nullptr},
    {"column_names", result_column_names, nullptr, "The names of the columns, in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_doc, const_cast<char*>("Points selected from a store, as Arrow record batches held in memory.\n\n"
                                  "Any Arrow consumer reads it through the Arrow PyCapsule stream\n"
                                  "interface: pyarrow.table(r), polars.from_arrow(r), duckdb.sql(...),\n"
                                  "geopandas.GeoDataFrame.from_arrow(r).")},
    {0, nullptr},
};

PyType_Spec result_spec = {"orbisk_columnar.ArrowResult", sizeof(Result_), 0, Py_TPFLAGS_DEFAULT, result_slots};

PyObject* new_result(std::shared_ptr<const ArrowTable> table) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(result_type), Py_tp_alloc));
    PyObject* self = alloc(reinterpret_cast<PyTypeObject*>(result_type), 0);
    if (!self) return nullptr;
    reinterpret_cast<Result_*>(self)->table = new std::shared_ptr<const ArrowTable>(std::move(table));
    return self;
}

// ---- the handle ----------------------------------------------------------------------

// The database of an open handle, kept alive for the call; null with ValueError once closed.
std::shared_ptr<Database> database_of(PyObject* self) {
    auto* db = reinterpret_cast<Handle*>(self)->db;
    if (!db) {
        PyErr_SetString(PyExc_ValueError, "operation on a closed store");
        return nullptr;
    }
    return *db;
}

PyObject* read_only_error_type() {
    static PyObject* type = [] {
        Ref io = Ref::steal(PyImport_ImportModule("io"));
        return io ? PyObject_GetAttrString(io.get(), "UnsupportedOperation") : nullptr;
    }();
    return type;
}

// Raises an engine error: a write through a read-only handle as
// io.UnsupportedOperation (an OSError), the rest as the orbisk module does.
PyObject* raise_engine_error(const Error& e, PyObject* type) {
    if (e.kind == ErrorKind::ReadOnly) {
        PyObject* t = read_only_error_type();
        if (!t) return nullptr;
        PyErr_SetString(t, e.message.c_str());
        return nullptr;
    }
    return raise_error(e, type);
}

PyObject* handle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "read_only", "capacity", "wal_sync_interval_ms", nullptr};
    PyObject* path_obj = nullptr;
    int read_only = 0;
    PyObject* capacity_obj = nullptr;
    PyObject* interval_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|pOO:Handle", const_cast<char**>(kwlist), &path_obj, &read_only,
                                     &capacity_obj, &interval_obj))
        return nullptr;
    if (!PyUnicode_Check(path_obj)) return raise_conversion_error(path_obj, "PyString", "path");
    std::string path;
    if (!path_bytes(path_obj, path)) return nullptr;
    unsigned long long capacity = 10000;
    if (capacity_obj && capacity_obj != Py_None && !to_u64(capacity_obj, "capacity", capacity)) return nullptr;
    unsigned long long interval = 0;
    if (interval_obj != Py_None && !to_u64(interval_obj, "wal_sync_interval_ms", interval)) return nullptr;

    Result<std::shared_ptr<Database>> db = fail(Error::internal(""));
    {
        GilRelease unlocked;
        db = read_only ? Database::open_read_only(path) : Database::open(path, capacity, interval);
    }
    if (!db) return raise_engine_error(db.error(), PyExc_OSError);
    return new_handle(type, std::move(*db));
}

void handle_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* h = reinterpret_cast<Handle*>(self);
    if (h->db) {
        // Closing a store unmaps its files: engine work.
        std::shared_ptr<Database>* db = h->db;
        h->db = nullptr;
        GilRelease unlocked;
        delete db;
    }
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

PyObject* handle_close(PyObject* self, PyObject*) {
    auto* h = reinterpret_cast<Handle*>(self);
    if (h->db) {
        std::shared_ptr<Database>* db = h->db;
        h->db = nullptr;
        GilRelease unlocked;
        delete db;  // calls running in other threads keep the database until they end
    }
    Py_RETURN_NONE;
}

PyObject* handle_closed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Handle*>(self)->db == nullptr);
}

PyObject* handle_read_only(PyObject* self, void*) {
    auto db = database_of(self);
    if (!db) return nullptr;
    return PyBool_FromLong(db->is_read_only());
}

PyObject* handle_len(PyObject* self, PyObject*) {
    auto db = database_of(self);
    if (!db) return nullptr;
    Result<std::uint64_t> r;
    {
        GilRelease unlocked;
        r = db->live_count();
    }
    if (!r) return raise_engine_error(r.error(), PyExc_RuntimeError);
    return PyLong_FromUnsignedLongLong(*r);
}

PyObject* handle_slot_stats(PyObject* self, PyObject*) {
    auto db = database_of(self);
    if (!db) return nullptr;
    Result<std::pair<std::uint64_t, std::uint64_t>> r;
    {
        GilRelease unlocked;
        r = db->slot_stats();
    }
    if (!r) return raise_engine_error(r.error(), PyExc_RuntimeError);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(r->first), static_cast<unsigned long long>(r->second));
}

// The committed data checked against its checksums, without a checkpoint
// first: a read-only handle can check what it reads.
PyObject* handle_verify_integrity(PyObject* self, PyObject*) {
    auto db = database_of(self);
    if (!db) return nullptr;
    Result<std::vector<std::string>> r;
    {
        GilRelease unlocked;
        r = db->verify_integrity(false);
    }
    if (!r) return raise_engine_error(r.error(), PyExc_OSError);
    Ref errors = Ref::steal(PyList_New(0));
    if (!errors) return nullptr;
    for (const std::string& e : *r) {
        Ref s = Ref::steal(PyUnicode_DecodeUTF8(e.data(), static_cast<Py_ssize_t>(e.size()), "surrogateescape"));
        if (!s || PyList_Append(errors.get(), s.get()) != 0) return nullptr;
    }
    return Py_BuildValue("{sOsO}", "ok", r->empty() ? Py_True : Py_False, "errors", errors.get());
}

// ---- selections --------------------------------------------------------------------

constexpr double kNoDistanceBound = std::numeric_limits<double>::infinity();

// What to read: all points, or those in a shape, matching a filter, at most
// `limit`; with an origin, in ascending distance from it (the `limit` nearest),
// none farther than `max_distance`.
struct Selection {
    std::optional<SpatialShape> shape;
    std::optional<FilterExpr> filter;
    std::uint64_t limit = kNoLimit;
    std::optional<std::pair<double, double>> origin;
    double max_distance = kNoDistanceBound;
};

// `n` numbers from a sequence (a tuple or a list) given as argument `arg`.
bool numbers(PyObject* obj, const char* arg, std::size_t n, const char* what, double* out) {
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) {
        const std::string msg = cat("argument '", arg, "': ", what, ", not '", type_name(obj), "'");
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    Ref seq = Ref::steal(PySequence_Tuple(obj));
    if (!seq) return false;
    if (PyTuple_Size(seq.get()) != static_cast<Py_ssize_t>(n)) {
        const std::string msg = cat("argument '", arg, "': ", what, ", not ", PyTuple_Size(seq.get()), " values");
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!to_double(PyTuple_GetItem(seq.get(), static_cast<Py_ssize_t>(i)), arg, out[i])) return false;
    return true;
}

// A number of points (k, limit): an integer, 0 or more.
bool to_count(PyObject* obj, const char* arg, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return prefix_type_error(arg), false;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) return false;
    if (negative) {
        Ref text = Ref::steal(PyObject_Str(index.get()));
        const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (!s) return false;
        const std::string msg = cat("argument '", arg, "': a number of points, 0 or more, not ", s);
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool raise_invalid(const Status& st) {
    PyErr_SetString(PyExc_ValueError, st.error().message.c_str());
    return false;
}

constexpr std::size_t kSelectionArgs = 7;
constexpr std::array<const char*, kSelectionArgs> kSelectionNames{
    "bbox", "radius", "polygon", "filter", "limit", "sort_by_distance", "max_distance_m"};

// The selection arguments, in the order of kSelectionNames. Refusals of the
// origin and of the largest distance are raised here, before any engine work.
bool selection_from(PyObject* const* v, Selection& sel) {
    PyObject* bbox = v[0];
    PyObject* radius = v[1];
    PyObject* polygon = v[2];
    PyObject* filter = v[3];
    PyObject* limit = v[4];
    PyObject* origin = v[5];
    PyObject* most = v[6];
    auto given = [](PyObject* o) { return o && o != Py_None; };
    if (given(bbox) + given(radius) + given(polygon) > 1) {
        PyErr_SetString(PyExc_ValueError, "give at most one of bbox, radius and polygon");
        return false;
    }
    if (given(bbox)) {
        double b[4];
        if (!numbers(bbox, "bbox", 4, "a (min_lat, min_lon, max_lat, max_lon) sequence", b)) return false;
        sel.shape = SpatialShape(GeoBox{b[0], b[1], b[2], b[3]});
    } else if (given(radius)) {
        double r[3];
        if (!numbers(radius, "radius", 3, "a (center_lat, center_lon, radius_meters) sequence", r)) return false;
        sel.shape = SpatialShape(Circle(r[0], r[1], r[2]));
    } else if (given(polygon)) {
        if (!polygon_shape(polygon, "polygon", sel.shape)) return false;
    }
    if (!check_optional_filter(filter)) return false;
    if (given(limit) && !to_count(limit, "limit", sel.limit)) return false;
    if (given(origin)) {
        double o[2];
        if (!numbers(origin, "sort_by_distance", 2, "a (lat, lon) sequence", o)) return false;
        sel.origin.emplace(o[0], o[1]);
    }
    if (given(most)) {
        if (!sel.origin) {
            PyErr_SetString(PyExc_ValueError,
                            "max_distance_m applies to a selection in order of distance: give sort_by_distance=(lat, "
                            "lon) as well");
            return false;
        }
        if (!to_double(most, "max_distance_m", sel.max_distance)) return false;
    }
    if (sel.origin) {
        const NearestQuery q{sel.origin->first, sel.origin->second, 0, sel.max_distance};
        if (auto st = validate_nearest(q); !st) return raise_invalid(st);
    }
    return parse_optional_filter(filter, sel.filter);
}

// Keeps the records (and their distances, when given) up to the `limit`-th
// whose text reads: rows drop the others, so the limit counts only those.
void keep_readable(TextRecords& r, std::uint64_t limit, std::vector<double>* distances) {
    if (limit >= r.size()) return;
    if (limit == 0) {
        r.truncate(0);
        if (distances) distances->clear();
        return;
    }
    std::size_t kept = 0, n = 0;
    r.for_each([&](const TextRecords::Record& rec) {
        ++n;
        kept += metadata_text_readable(rec.text);
        return kept < limit;
    });
    const std::size_t keep = kept < limit ? r.size() : n;
    r.truncate(keep);
    if (distances && distances->size() > keep) distances->resize(keep);
}

// The records of a selection, read with the interpreter lock released; with
// an origin, their distances too (in `distances`, one per record), else none.
Result<DistanceRecords> read_selection(Database& db, Selection& sel) {
    const FilterExpr* filter = sel.filter ? &*sel.filter : nullptr;
    Result<DistanceRecords> r;
    if (sel.origin) {
        const auto [lat, lon] = *sel.origin;
        if (!sel.shape && (sel.limit != kNoLimit || sel.max_distance != kNoDistanceBound)) {
            // The nearest `limit` (within the largest distance): a nearest-neighbour search.
            r = db.nearest(NearestQuery{lat, lon, sel.limit, sel.max_distance}, filter);
        } else if (!sel.shape) {
            r = db.metadata_scan_by_distance(filter ? *filter : FilterExpr(), kNoLimit, lat, lon);
        } else {
            r = db.spatial_query_by_distance(*sel.shape, filter, lat, lon);
            if (r && sel.max_distance != kNoDistanceBound) {
                const auto& d = r->distances;
                const auto within =
                    static_cast<std::size_t>(std::upper_bound(d.begin(), d.end(), sel.max_distance) - d.begin());
                r->records.truncate(within);
                r->distances.resize(within);
            }
            if (r) keep_readable(r->records, sel.limit, &r->distances);
        }
    } else {
        Result<TextRecords> t = sel.shape ? db.spatial_query(*sel.shape, filter)
                                          : db.metadata_scan_texts(filter ? *filter : FilterExpr(), sel.limit);
        if (t && sel.shape) keep_readable(*t, sel.limit, nullptr);
        if (t)
            r = DistanceRecords{std::move(*t), {}};
        else
            r = fail(t.error());
    }
    // Freeing a long ring or a large filter is engine work too.
    sel = Selection();
    return r;
}

PyObject* handle_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<kSelectionArgs> a;
    if (!a.bind("rows", kSelectionNames, 0, args, nargs, kwnames)) return nullptr;
    Selection sel;
    if (!selection_from(a.v.data(), sel)) return nullptr;
    const bool sorted = sel.origin.has_value();
    auto db = database_of(self);
    if (!db) return nullptr;
    Result<DistanceRecords> r;
    {
        GilRelease unlocked;
        r = read_selection(*db, sel);
    }
    if (!r) return raise_engine_error(r.error(), PyExc_RuntimeError);
    PyObject* rows = build_rows(r->records, sorted ? r->distances.data() : nullptr);
    {
        GilRelease unlocked;
        *r = DistanceRecords();
    }
    return rows;
}

PyObject* handle_nearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<5> a;
    if (!a.bind("nearest", {"lat", "lon", "k", "filter", "max_distance_m"}, 3, args, nargs, kwnames)) return nullptr;
    NearestQuery q{0.0, 0.0, 0, kNoDistanceBound};
    if (!to_double(a[0], "lat", q.lat) || !to_double(a[1], "lon", q.lon) || !to_count(a[2], "k", q.k)) return nullptr;
    if (!check_optional_filter(a[3])) return nullptr;
    if (!a.none(4) && !to_double(a[4], "max_distance_m", q.max_distance_m)) return nullptr;
    if (auto st = validate_nearest(q); !st) return raise_invalid(st), nullptr;
    std::optional<FilterExpr> filter;
    if (!parse_optional_filter(a[3], filter)) return nullptr;
    auto db = database_of(self);
    if (!db) return nullptr;
    Result<DistanceRecords> r;
    {
        GilRelease unlocked;
        r = db->nearest(q, filter ? &*filter : nullptr);
        filter.reset();
    }
    if (!r) return raise_engine_error(r.error(), PyExc_RuntimeError);
    return build_rows(r->records, r->distances.data());
}

PyObject* module_polygon_parts(PyObject*, PyObject* shape) {
    std::optional<SpatialShape> out;
    if (!polygon_shape(shape, "polygon", out)) return nullptr;
    return PyLong_FromSize_t(std::get<MultiPolygon>(*out).part_count());
}

// A str argument's UTF-8 text.
bool utf8_of(PyObject* obj, const char* arg, std::string& out) {
    if (!PyUnicode_Check(obj)) return raise_conversion_error(obj, "PyString", arg), false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    out.assign(s, static_cast<std::size_t>(n));
    return true;
}

// A list or tuple of str.
bool names_of(PyObject* obj, const char* arg, std::vector<std::string>& out) {
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) return raise_conversion_error(obj, "Sequence", arg), false;
    Ref seq = Ref::steal(PySequence_Tuple(obj));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PyTuple_Size(seq.get()); ++i) {
        std::string s;
        if (!utf8_of(PyTuple_GetItem(seq.get(), i), arg, s)) return false;
        out.push_back(std::move(s));
    }
    return true;
}

PyObject* handle_to_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t S = kSelectionArgs;
    Args<S + 5> a;
    if (!a.bind("to_arrow",
                {"bbox", "radius", "polygon", "filter", "limit", "sort_by_distance", "max_distance_m", "columns",
                 "types", "geometry", "metadata", "batch_size"},
                0, args, nargs, kwnames))
        return nullptr;
    Selection sel;
    if (!selection_from(a.v.data(), sel)) return nullptr;
    columnar::TableOptions opt;
    opt.distance = sel.origin.has_value();
    if (!a.none(S)) {
        if (!names_of(a[S], "columns", opt.keys.emplace())) return nullptr;
        for (std::size_t i = 0; i < opt.keys->size(); ++i)
            for (std::size_t j = 0; j < i; ++j)
                if ((*opt.keys)[i] == (*opt.keys)[j]) {
                    const std::string msg = cat("argument 'columns': '", (*opt.keys)[i], "' is named twice");
                    PyErr_SetString(PyExc_ValueError, msg.c_str());
                    return nullptr;
                }
    }
    if (!a.none(S + 1)) {
        PyObject* types = a[S + 1];
        if (!PyDict_Check(types)) return raise_conversion_error(types, "PyDict", "types");
        PyObject* k;
        PyObject* v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(types, &pos, &k, &v)) {
            std::string key, name;
            if (!utf8_of(k, "types", key)) return nullptr;
            // A type name, or any object that prints as one (a pyarrow DataType).
            Ref text = Ref::steal(PyUnicode_Check(v) ? Py_NewRef(v) : PyObject_Str(v));
            if (!text || !utf8_of(text.get(), "types", name)) return nullptr;
            auto t = columnar::col_type_from_name(name);
            if (!t) {
                const std::string msg = cat("argument 'types': '", name, "' for key '", key,
                                            "' is not a type a column can have (bool, int8 to int64, uint8 to uint64, "
                                            "float32, float64, string, large_string, json)");
                PyErr_SetString(PyExc_ValueError, msg.c_str());
                return nullptr;
            }
            if (opt.keys && std::find(opt.keys->begin(), opt.keys->end(), key) == opt.keys->end()) {
                const std::string msg = cat("argument 'types': key '", key, "' is not among the columns asked for");
                PyErr_SetString(PyExc_ValueError, msg.c_str());
                return nullptr;
            }
            opt.types.emplace_back(std::move(key), *t);
        }
    }
    if (!a.none(S + 2)) {
        std::string g;
        if (!utf8_of(a[S + 2], "geometry", g)) return nullptr;
        if (g == "wkb")
            opt.geometry = columnar::GeometryForm::Wkb;
        else if (g == "point")
            opt.geometry = columnar::GeometryForm::Point;
        else if (g == "interleaved")
            opt.geometry = columnar::GeometryForm::Interleaved;
        else {
            const std::string msg = cat("argument 'geometry': '", g, "' is none of 'wkb', 'point', 'interleaved'");
            PyErr_SetString(PyExc_ValueError, msg.c_str());
            return nullptr;
        }
    }
    if (!a.none(S + 3)) {
        std::string m;
        if (!utf8_of(a[S + 3], "metadata", m)) return nullptr;
        if (m == "columns")
            opt.metadata = columnar::MetadataForm::Columns;
        else if (m == "json")
            opt.metadata = columnar::MetadataForm::Json;
        else if (m == "none")
            opt.metadata = columnar::MetadataForm::None;
        else {
            const std::string msg = cat("argument 'metadata': '", m, "' is none of 'columns', 'json', 'none'");
            PyErr_SetString(PyExc_ValueError, msg.c_str());
            return nullptr;
        }
        if (opt.metadata != columnar::MetadataForm::Columns && (opt.keys || !opt.types.empty())) {
            PyErr_SetString(PyExc_ValueError, "columns and types apply to metadata='columns' only");
            return nullptr;
        }
    }
    if (!a.none(S + 4)) {
        unsigned long long b;
        if (!to_u64(a[S + 4], "batch_size", b)) return nullptr;
        if (b == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'batch_size': at least 1 row");
            return nullptr;
        }
        opt.batch_rows = static_cast<std::size_t>(std::min<unsigned long long>(b, 1u << 30));
    }
    auto db = database_of(self);
    if (!db) return nullptr;
    std::shared_ptr<ArrowTable> table;
    std::optional<Error> error;
    {
        GilRelease unlocked;
        if (!sel.shape && !sel.filter && sel.limit == kNoLimit && !sel.origin) {
            // Every point: read in place, under the storage lock, without a copy of the texts.
            auto st = db->read_records([&](const RecordStore& records) {
                table = columnar::build_table(columnar::live_records(records), opt);
            });
            if (!st) error = st.error();
        } else if (auto r = read_selection(*db, sel); !r) {
            error = r.error();
        } else {
            try {
                table = columnar::build_table(
                    columnar::listed_records(r->records, opt.distance ? r->distances.data() : nullptr), opt);
            } catch (const std::bad_alloc&) {
                error = Error::os(ENOMEM);
            }
        }
    }
    if (error) return raise_engine_error(*error, PyExc_RuntimeError);
    return new_result(std::move(table));
}

// ---- appending -------------------------------------------------------------------------

PyObject* raise_refusal(const columnar::ImportError& e) {
    PyObject* type = e.kind == columnar::Refusal::Type    ? PyExc_TypeError
                     : e.kind == columnar::Refusal::Value ? PyExc_ValueError
                                                          : PyExc_RuntimeError;
    Ref msg = Ref::steal(
        PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "surrogateescape"));
    if (msg) PyErr_SetObject(type, msg.get());
    return nullptr;
}

PyObject* stream_error(ArrowArrayStream* s, int code) {
    const char* text = s->get_last_error ? s->get_last_error(s) : nullptr;
    const std::string msg = cat("the Arrow stream failed: ", text ? text : os_error_text(code));
    PyErr_SetString(PyExc_RuntimeError, msg.c_str());
    return nullptr;
}

// Takes the stream out of a producer's capsule: the capsule no longer releases it.
bool take_stream(PyObject* data, ArrowArrayStream& out) {
    Ref method = Ref::steal(PyObject_GetAttrString(data, "__arrow_c_stream__"));
    if (!method) {
        PyErr_Clear();
        const std::string msg =
            cat("append() takes Arrow data (an object with __arrow_c_stream__: a pyarrow Table or "
                "RecordBatchReader, a polars DataFrame, a DuckDB relation, the to_arrow() of a "
                "GeoDataFrame), not '",
                type_name(data), "'");
        PyErr_SetString(PyExc_TypeError, msg.c_str());
        return false;
    }
    Ref capsule = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (!capsule) return false;
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (!s) return false;
    out = *s;
    s->release = nullptr;
    return true;
}

// Releases an Arrow structure once (the interpreter lock held: producers may need it).
template <class S>
struct Released {
    S s{};
    ~Released() {
        if (s.release) s.release(&s);
    }
};

PyObject* handle_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<5> a;
    if (!a.bind("append", {"data", "latitude", "longitude", "geometry", "columns"}, 1, args, nargs, kwnames))
        return nullptr;
    columnar::ImportOptions opt;
    if (!a.none(1) && !utf8_of(a[1], "latitude", opt.latitude)) return nullptr;
    if (!a.none(2) && !utf8_of(a[2], "longitude", opt.longitude)) return nullptr;
    if (!a.none(3) && !utf8_of(a[3], "geometry", opt.geometry.emplace())) return nullptr;
    if (!a.none(4) && !names_of(a[4], "columns", opt.columns.emplace())) return nullptr;
    auto db = database_of(self);
    if (!db) return nullptr;
    if (db->is_read_only()) return raise_engine_error(read_only_error(), nullptr);

    columnar::StreamImporter importer(std::move(opt), columnar::take_spare_buffers());
    {
        Released<ArrowArrayStream> stream;
        if (!take_stream(a[0], stream.s)) return nullptr;
        {
            Released<ArrowSchema> schema;
            if (int rc = stream.s.get_schema(&stream.s, &schema.s); rc != 0) return stream_error(&stream.s, rc);
            if (auto e = importer.set_schema(schema.s)) return raise_refusal(*e);
        }
        for (;;) {
            Released<ArrowArray> batch;
            if (int rc = stream.s.get_next(&stream.s, &batch.s); rc != 0) return stream_error(&stream.s, rc);
            if (!batch.s.release) break;
            std::optional<columnar::ImportError> e;
            {
                GilRelease unlocked;
                e = importer.add_batch(batch.s);
            }
            if (e) return raise_refusal(*e);
        }
    }
    Result<std::uint64_t> r;
    const std::uint64_t n = importer.size();
    {
        GilRelease unlocked;
        // Every point was checked as it was read.
        r = db->append_points(importer.points(), PointsChecked::yes);
        columnar::keep_spare_buffers(importer.take());
    }
    if (!r) return raise_engine_error(r.error(), PyExc_RuntimeError);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(*r), static_cast<unsigned long long>(*r + n));
}

PyMethodDef handle_methods[] = {
    {"close", handle_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"len", handle_len, METH_NOARGS, "len($self)\n--\n\n"},
    {"slot_stats", handle_slot_stats, METH_NOARGS, "slot_stats($self)\n--\n\n"},
    {"verify_integrity", handle_verify_integrity, METH_NOARGS, "verify_integrity($self)\n--\n\n"},
    {"rows", FASTCALL(handle_rows), METH_FASTCALL | METH_KEYWORDS,
     "rows($self, bbox=None, radius=None, polygon=None, filter=None, limit=None, sort_by_distance=None, "
     "max_distance_m=None)\n--\n\n"},
    {"nearest", FASTCALL(handle_nearest), METH_FASTCALL | METH_KEYWORDS,
     "nearest($self, lat, lon, k, filter=None, max_distance_m=None)\n--\n\n"},
    {"to_arrow", FASTCALL(handle_to_arrow), METH_FASTCALL | METH_KEYWORDS,
     "to_arrow($self, bbox=None, radius=None, polygon=None, filter=None, limit=None, sort_by_distance=None, "
     "max_distance_m=None, columns=None, types=None, geometry=None, metadata=None, batch_size=None)\n--\n\n"},
    {"append", FASTCALL(handle_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, data, latitude=None, longitude=None, geometry=None, columns=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef handle_getset[] = {
    {"closed", handle_closed, nullptr, "Whether the handle is closed.", nullptr},
    {"read_only", handle_read_only, nullptr, "Whether the store was opened for reading only.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(handle_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_methods, handle_methods},
    {Py_tp_getset, handle_getset},
    {Py_tp_doc, const_cast<char*>("Handle(path, read_only=False, capacity=10000, wal_sync_interval_ms=None)\n--\n\n"
                                  "The engine handle behind orbisk_columnar.ColumnarStore.")},
    {0, nullptr},
};

PyType_Spec handle_spec = {"orbisk_columnar._columnar.Handle", sizeof(Handle), 0, Py_TPFLAGS_DEFAULT, handle_slots};

// ---- module functions ---------------------------------------------------------------

PyObject* module_read_features(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<5> a;
    if (!a.bind("read_features", {"data", "first_number", "first_line", "lines", "height_key"}, 1, args, nargs,
                kwnames))
        return nullptr;
    if (!PyBytes_Check(a[0])) return raise_conversion_error(a[0], "PyBytes", "data");
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(a[0], &data, &len) != 0) return nullptr;
    columnar::FeatureText in;
    in.text = std::string_view(data, static_cast<std::size_t>(len));
    unsigned long long number = 1, line = 1;
    if (!a.none(1) && !to_u64(a[1], "first_number", number)) return nullptr;
    if (!a.none(2) && !to_u64(a[2], "first_line", line)) return nullptr;
    in.first_number = static_cast<std::int64_t>(number);
    in.first_line = static_cast<std::int64_t>(line);
    if (!a.none(3)) {
        const int flag = PyObject_IsTrue(a[3]);
        if (flag < 0) return nullptr;
        in.lines = flag != 0;
    }
    if (!a.none(4) && !utf8_of(a[4], "height_key", in.height_key.emplace())) return nullptr;
    std::shared_ptr<columnar::ArrowTable> table;
    {
        GilRelease unlocked;
        try {
            table = columnar::read_features(in);
        } catch (const std::bad_alloc&) {
            table = nullptr;
        }
    }
    if (!table) Py_RETURN_NONE;
    return new_result(std::move(table));
}

PyObject* module_screened(PyObject*, PyObject* data) {
    if (!PyBytes_Check(data)) return raise_conversion_error(data, "PyBytes", "data");
    char* bytes = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(data, &bytes, &len) != 0) return nullptr;
    bool passed;
    {
        GilRelease unlocked;
        passed = columnar::json_text_screened(std::string_view(bytes, static_cast<std::size_t>(len)));
    }
    return PyBool_FromLong(passed);
}

PyMethodDef module_methods[] = {
    {"polygon_parts", module_polygon_parts, METH_O,
     "polygon_parts(shape, /)\n--\n\n"
     "The number of parts of a polygon= argument, checked as the selections check it\n"
     "(the same TypeError or ValueError for a shape they refuse)."},
    {"read_features", FASTCALL(module_read_features), METH_FASTCALL | METH_KEYWORDS,
     "read_features(data, first_number=1, first_line=1, lines=False, height_key=None)\n--\n\n"
     "GeoJSON Point features (UTF-8 bytes: features separated by commas, or one\n"
     "a line) as Arrow columns latitude, longitude, number, line and\n"
     "metadata_rest (the properties), or None when the text is not plainly\n"
     "Point features whose properties the store keeps as they are."},
    {"screened", module_screened, METH_O,
     "screened(data, /)\n--\n\n"
     "Whether JSON text (bytes) certainly holds no value an import refuses other\n"
     "than one nested too deeply: no run of 19 digits, no exponent of three\n"
     "digits, no escape of a surrogate (strings are looked at too)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_columnar", nullptr, -1, module_methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_module = nullptr;

PyObject* init_columnar() {
    if (the_module) return Py_NewRef(the_module);
    if (!internal_error_type()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref handle = Ref::steal(PyType_FromSpec(&handle_spec));
    if (!handle || PyModule_AddObjectRef(module.get(), "Handle", handle.get()) != 0) return nullptr;
    Ref result = Ref::steal(PyType_FromSpec(&result_spec));
    if (!result || PyModule_AddObjectRef(module.get(), "ArrowResult", result.get()) != 0) return nullptr;
    result_type = result.release();
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace orbisk::py

PyMODINIT_FUNC PyInit__columnar(void) { return orbisk::py::init_columnar(); }
