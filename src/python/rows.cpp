#include "python/rows.hpp"

#include "python/string_caches.hpp"
#include "python/text_to_py.hpp"

namespace orbisk::py {

namespace {

// Keeps the cyclic garbage collector from running while rows are built: they
// hold no cycles, and a collection every few hundred new dicts would otherwise
// walk every row built so far, again and again.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// The four keys of every row, made once for the process (interned, with their
// hashes kept): a query of one row otherwise spends a tenth of its time making
// and hashing them. Every row starts as a copy of `blank`, which holds them
// (with None), laid out already: setting them then replaces values instead of
// growing a new dict.
struct RowKeys {
    PyObject* id = PyUnicode_InternFromString("id");
    PyObject* lat = PyUnicode_InternFromString("latitude");
    PyObject* lon = PyUnicode_InternFromString("longitude");
    PyObject* meta = PyUnicode_InternFromString("metadata");
    PyObject* blank = make_blank();

    bool ok() const { return id && lat && lon && meta && blank; }

private:
    PyObject* make_blank() const {
        if (!id || !lat || !lon || !meta) return nullptr;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (PyObject* key : {id, lat, lon, meta})
            if (PyDict_SetItem(dict.get(), key, Py_None) != 0) return nullptr;
        return dict.release();
    }
};

}  // namespace

PyObject* build_rows(const TextRecords& records, const double* distances) {
    GcPause pause;
    static const RowKeys keys;  // made under the interpreter lock, on the first call
    if (!keys.ok()) return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
    StringCaches caches;
    const Ref id_key = Ref::borrow(keys.id);
    const Ref lat_key = Ref::borrow(keys.lat);
    const Ref lon_key = Ref::borrow(keys.lon);
    const Ref meta_key = Ref::borrow(keys.meta);
    Ref distance_key = distances ? Ref::steal(caches.key("distance_m")) : Ref();
    if (distances && !distance_key) return nullptr;
    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!rows) return nullptr;
    auto set = [](PyObject* dict, const Ref& key, PyObject* value) {
        Ref v = Ref::steal(value);
        return v && PyDict_SetItem(dict, key.get(), v.get()) == 0;
    };
    MetadataToPy to_py(caches);
    Py_ssize_t n = 0;
    std::size_t index = 0;
    const bool built = records.for_each([&](const TextRecords::Record& r) {
        const std::size_t i = index++;
        Ref metadata = Ref::steal(to_py(r.text));
        if (!metadata) return !PyErr_Occurred();  // unreadable: the point reads as absent
        Ref row = Ref::steal(PyDict_Copy(keys.blank));
        if (!row || !set(row.get(), id_key, PyLong_FromUnsignedLongLong(r.slot)) ||
            !set(row.get(), lat_key, PyFloat_FromDouble(r.lat)) ||
            !set(row.get(), lon_key, PyFloat_FromDouble(r.lon)) || !set(row.get(), meta_key, metadata.release()))
            return false;
        if (distances && !set(row.get(), distance_key, PyFloat_FromDouble(distances[i]))) return false;
        PyList_SetItem(rows.get(), n++, row.release());
        return true;
    });
    if (!built) return nullptr;
    if (n < PyList_Size(rows.get()) && PyList_SetSlice(rows.get(), n, PyList_Size(rows.get()), nullptr) != 0)
        return nullptr;
    return rows.release();
}

}  // namespace orbisk::py
