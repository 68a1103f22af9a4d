// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <utility>

namespace lamiro {

// One owned reference to a Python object, or none. It is taken over with
// steal() (a new reference that this holder now owns) or made with borrow()
// (a borrowed pointer whose count is raised); release() hands it back out.
// Nothing converts implicitly in either direction.
class PyRef {
public:
    PyRef() noexcept = default;

    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace lamiro
