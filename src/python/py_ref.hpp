// A move-only owner of one strong PyObject* reference. Borrowed references
// stay raw pointers; anything the binding creates and may drop on an error
// path lives in a PyRef until it is handed to Python with release().
#pragma once

#include <Python.h>

#include <utility>

namespace velkarin::python {

class PyRef final {
public:
    PyRef() = default;
    // Takes over a new reference (may be NULL: the call that made it failed).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }

    PyRef(PyRef&& other) noexcept : p_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) Py_XSETREF(p_, other.release());
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (usually: returned to Python).
    [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
    // Drops the pointer without releasing the reference. For a thread that
    // the interpreter ends with a forced unwind (it asked for the interpreter
    // lock back while the interpreter finalizes): the unwind must pass
    // through, and without the interpreter lock no reference may be touched.
    void abandon() { p_ = nullptr; }

private:
    explicit PyRef(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace velkarin::python
