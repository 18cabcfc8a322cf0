#include "python/rows.hpp"

#include "python/convert.hpp"

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

}  // namespace

PyObject* build_rows(const std::vector<PointRecord>& records) {
    GcPause pause;
    StringCaches caches;
    Ref id_key = Ref::steal(caches.key("id"));
    Ref lat_key = Ref::steal(caches.key("latitude"));
    Ref lon_key = Ref::steal(caches.key("longitude"));
    Ref meta_key = Ref::steal(caches.key("metadata"));
    if (!id_key || !lat_key || !lon_key || !meta_key) return nullptr;
    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!rows) return nullptr;
    auto set = [](PyObject* dict, const Ref& key, PyObject* value) {
        Ref v = Ref::steal(value);
        return v && PyDict_SetItem(dict, key.get(), v.get()) == 0;
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PointRecord& r = records[i];
        Ref row = Ref::steal(PyDict_New());
        if (!row || !set(row.get(), id_key, PyLong_FromUnsignedLongLong(r.slot)) ||
            !set(row.get(), lat_key, PyFloat_FromDouble(r.lat)) || !set(row.get(), lon_key, PyFloat_FromDouble(r.lon)) ||
            !set(row.get(), meta_key, metadata_to_py(r.metadata, caches)))
            return nullptr;
        PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return rows.release();
}

}  // namespace orbisk::py
