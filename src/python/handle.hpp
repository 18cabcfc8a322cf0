// What the two extension modules' store handles share: the object's layout
// (a Python object holding the engine database), making one around an opened
// database, and a path argument's bytes as the file system takes them.
#pragma once

#include <memory>
#include <string>

#include "engine/database.hpp"
#include "python/py_util.hpp"

namespace orbisk::py {

struct Handle {
    PyObject_HEAD std::shared_ptr<Database>* db;  // null once closed (the companion's close)
};

// A new handle object of `type` holding `db`, or nullptr with a Python
// exception set.
PyObject* new_handle(PyTypeObject* type, std::shared_ptr<Database> db);

// The file system's bytes of the str `text` (the interpreter's file system
// encoding); false with ValueError for an embedded null byte, or with the
// encoder's exception.
bool path_bytes(PyObject* text, std::string& out);

}  // namespace orbisk::py
