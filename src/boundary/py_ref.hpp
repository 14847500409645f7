// PyRef: the move-only owned reference to a Python object.
//
// Two kinds of reference cross this code: an owned PyRef, whose destructor
// releases it, and a plain borrowed PyObject*. A PyRef is always made
// explicitly, by stealing a new reference or by borrowing (and so taking a
// new reference to) an existing one; release() hands the reference out.
#pragma once

#include <Python.h>

#include <utility>

namespace atomblock::py {

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a new reference (which may be null).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Takes a new reference to a borrowed object (which may be null).
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the owned reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace atomblock::py
