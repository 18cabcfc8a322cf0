// Small helpers for the CPython limited API: owned references, interpreter-lock
// release, type names and the module's argument-error texts.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "engine/util/error.hpp"

namespace orbisk::py {

// An owned (strong) reference, released on destruction.
class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (which may be null).
    static Ref steal(PyObject* o) { return Ref(o); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives up ownership.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for one scope.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// The `__name__` of the object's type ("int", "NoneType", "PosixPath").
std::string type_name(PyObject* obj);

// TypeError "'{type}' object cannot be converted to '{target}'", prefixed by
// "argument '{arg}': " when an argument is named. Returns nullptr.
PyObject* raise_conversion_error(PyObject* obj, const char* target, const char* arg = nullptr);

// Re-raises a pending TypeError as "argument '{arg}': {message}"; any other
// pending exception stays as it is. Returns nullptr.
PyObject* prefix_type_error(const char* arg);

// The exception type for internal errors (derived from BaseException).
PyObject* internal_error_type();

// Raises an engine error: internal errors as the internal-error type, the
// refusal of a handle that must be opened again as OSError, the refusal of a
// handle whose reload found the store corrupt as RuntimeError, every other
// error as `type`; always with exactly the error's text. Returns nullptr.
PyObject* raise_error(const Error& e, PyObject* type);

// Converts an int-like object (anything with __index__) to an unsigned 64-bit
// integer. A TypeError names the argument; OverflowError is raised unchanged.
bool to_u64(PyObject* obj, const char* arg, unsigned long long& out);

// Converts anything Python turns into a float. A TypeError names the argument
// when one is given; other errors (OverflowError) are raised unchanged.
bool to_double(PyObject* obj, const char* arg, double& out);

}  // namespace orbisk::py
