#include "python/handle.hpp"

#include <utility>

namespace orbisk::py {

PyObject* new_handle(PyTypeObject* type, std::shared_ptr<Database> db) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<Handle*>(self)->db = new std::shared_ptr<Database>(std::move(db));
    return self;
}

bool path_bytes(PyObject* text, std::string& out) {
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(text));
    if (!bytes) return false;
    char* data = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) != 0) return false;
    out.assign(data, static_cast<std::size_t>(len));
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "argument 'path': embedded null byte");
        return false;
    }
    return true;
}

}  // namespace orbisk::py
