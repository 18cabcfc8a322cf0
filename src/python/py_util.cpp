#include "python/py_util.hpp"

#include "engine/util/text.hpp"

namespace orbisk::py {

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    return "object";
}

PyObject* raise_conversion_error(PyObject* obj, const char* target, const char* arg) {
    const std::string msg = cat(arg ? cat("argument '", arg, "': ") : std::string(), "'", type_name(obj),
                                "' object cannot be converted to '", target, "'");
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

PyObject* prefix_type_error(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = Ref::steal(v ? PyObject_Str(v.get()) : nullptr);
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (!s) PyErr_Clear();
    const std::string msg = cat("argument '", arg, "': ", s ? s : "");
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

PyObject* internal_error_type() {
    static PyObject* type = PyErr_NewException("orbisk.InternalError", PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_error(const Error& e, PyObject* type) {
    PyObject* t = e.kind == ErrorKind::Internal  ? internal_error_type()
                  : e.kind == ErrorKind::Reopen  ? PyExc_OSError
                  : e.kind == ErrorKind::Refused ? PyExc_RuntimeError
                                                 : type;
    if (!t) return nullptr;  // creating the internal-error type failed and set an error
    Ref msg = Ref::steal(
        PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "surrogateescape"));
    if (!msg) return nullptr;
    PyErr_SetObject(t, msg.get());
    return nullptr;
}

bool to_u64(PyObject* obj, const char* arg, unsigned long long& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        prefix_type_error(arg);
        return false;
    }
    out = PyLong_AsUnsignedLongLong(index.get());
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    return true;
}

bool to_double(PyObject* obj, const char* arg, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        if (arg) prefix_type_error(arg);
        return false;
    }
    return true;
}

}  // namespace orbisk::py
