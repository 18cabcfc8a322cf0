#include "python/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace orbisk::py {

namespace {

constexpr const char* kAllowedTypes = "(allowed: bool, int, float, str, None, list, dict)";

bool too_deep() {
    PyErr_SetString(PyExc_ValueError, "metadata nested deeper than 127 levels");
    return false;
}

// Enters one container level: refuses nesting beyond what stored text can hold
// and guards the C stack through the interpreter's recursion limit.
class Level {
public:
    bool enter(int level) {
        if (level > kMaxMetadataDepth) return too_deep();
        if (Py_EnterRecursiveCall(" while converting metadata")) return false;
        entered_ = true;
        return true;
    }
    ~Level() {
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    bool entered_ = false;
};

bool list_from_py(PyObject* list, MetadataValue& out, int level) {
    Level guard;
    if (!guard.enter(level)) return false;
    MetadataArray arr;
    // The list may change while element conversions run user code; follow its current size.
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
        Ref item = Ref::borrow(PyList_GetItem(list, i));
        if (!item) return false;
        MetadataValue v;
        if (!value_from_py(item.get(), v, level)) return false;
        arr.push_back(std::move(v));
    }
    out = std::move(arr);
    return true;
}

bool object_from_py(PyObject* dict, MetadataValue& out, int level) {
    MetadataMap map;
    if (!metadata_from_py_dict(dict, map, level)) return false;
    MetadataObject obj;
    obj.reserve(map.size());
    for (const auto& entry : map) obj.push_back(entry);
    std::sort(obj.begin(), obj.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out = std::move(obj);
    return true;
}

}  // namespace

bool value_from_py(PyObject* obj, MetadataValue& out, int parent_level) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(obj, &n)) {
            out = std::string(s, static_cast<std::size_t>(n));
            return true;
        }
        PyErr_Clear();  // lone surrogates: not storable text
    }
    {
        // Integers: read directly, or through __index__ for other objects. Types
        // without __index__ (float above all) skip the call and the exception it raises.
        Ref index = PyLong_Check(obj) ? Ref::borrow(obj)
                    : PyType_GetSlot(Py_TYPE(obj), Py_nb_index) ? Ref::steal(PyNumber_Index(obj))
                                                                 : Ref();
        if (index) {
            const long long v = PyLong_AsLongLong(index.get());
            if (!(v == -1 && PyErr_Occurred())) {
                if (v >= 0)
                    out = static_cast<std::uint64_t>(v);
                else
                    out = static_cast<std::int64_t>(v);
                return true;
            }
        }
        PyErr_Clear();
    }
    {
        const double d = PyFloat_AsDouble(obj);
        if (!(d == -1.0 && PyErr_Occurred())) {
            if (std::isfinite(d))
                out = d;
            else
                out = MetadataValue{};
            return true;
        }
        PyErr_Clear();
    }
    if (obj == Py_None) {
        out = MetadataValue{};
        return true;
    }
    if (PyList_Check(obj)) return list_from_py(obj, out, parent_level + 1);
    if (PyDict_Check(obj)) return object_from_py(obj, out, parent_level + 1);
    const std::string msg = "unsupported metadata value type '" + type_name(obj) + "' " + kAllowedTypes;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

bool metadata_from_py_dict(PyObject* dict, MetadataMap& out, int level) {
    Level guard;
    if (!guard.enter(level)) return false;
    const Py_ssize_t initial = PyDict_Size(dict);
    out.reserve(static_cast<std::size_t>(std::max<Py_ssize_t>(initial, 0)));
    Py_ssize_t pos = 0;
    Py_ssize_t steps = 0;
    PyObject* k;
    PyObject* v;
    for (;;) {
        // Converting a value can run user code (__index__, __float__) that changes the dict.
        if (PyDict_Size(dict) != initial) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        if (!PyDict_Next(dict, &pos, &k, &v)) break;
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
        MetadataValue mv;
        if (!value_from_py(value.get(), mv, level)) return false;
        out.insert_or_assign(std::string(s, static_cast<std::size_t>(n)), std::move(mv));
    }
    return true;
}

PyObject* StringCaches::lookup(Cache& cache, std::string_view s, bool may_add) {
    if (auto it = cache.find(s); it != cache.end()) return Py_NewRef(it->second.get());
    PyObject* str = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
    if (str && may_add) cache.emplace(std::string(s), Ref::borrow(str));
    return str;
}

PyObject* StringCaches::key(std::string_view s) { return lookup(keys_, s, true); }

PyObject* StringCaches::value(std::string_view s) { return lookup(values_, s, values_.size() < kMaxValueStrings); }

namespace {

struct ToPy {
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
            PyObject* item = value_to_py(arr[i], caches);
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
        Ref value = Ref::steal(value_to_py(v, caches));
        return value && PyDict_SetItem(dict, key.get(), value.get()) == 0;
    }
};

}  // namespace

PyObject* value_to_py(const MetadataValue& value, StringCaches& caches) { return std::visit(ToPy{caches}, value.v); }

PyObject* metadata_to_py(const MetadataMap& map, StringCaches& caches) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    ToPy conv{caches};
    for (const auto& [k, v] : map)
        if (!conv.set_item(dict.get(), k, v)) return nullptr;
    return dict.release();
}

}  // namespace orbisk::py
