// An owned reference to a Python object, released when it goes out of scope.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace mirvon::py {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(o_);
            o_ = std::exchange(other.o_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef& other) : o_(other.o_) { Py_XINCREF(o_); }
    PyRef& operator=(const PyRef& other) {
        PyRef copy(other);
        std::swap(o_, copy.o_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(o_); }

    PyObject* get() const { return o_; }
    explicit operator bool() const { return o_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(o_, nullptr); }

private:
    explicit PyRef(PyObject* o) : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace mirvon::py
