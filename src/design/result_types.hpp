// SPDX-License-Identifier: MIT
#pragma once

// The one result-building path of the companion module: NumPy arrays of
// shape (W,), or (A, W) when theta was an array of A angles, and the named
// tuples (PyStructSequence types) that carry them.

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "design/design_call.hpp"
#include "module/py_ref.hpp"

namespace lamiro::design {

// A named tuple type of the module; created by create_result_types() when
// the module is initialised, then kept for the process.
class ResultType {
public:
    // `fields` holds {name, doc} pairs and ends with {nullptr, nullptr}.
    ResultType(const char* name, const char* doc, PyStructSequence_Field* fields) noexcept
        : fields_(fields), desc_{name, doc, fields, 0} {}

    PyTypeObject* type() const noexcept { return type_; }
    const char* short_name() const noexcept;

    // A new tuple holding `values` in field order (each reference is taken
    // over). Throws PyError.
    PyRef make(std::initializer_list<PyRef*> values) const;

    void create();

private:
    PyStructSequence_Field* fields_;
    PyStructSequence_Desc desc_;
    PyTypeObject* type_ = nullptr;
};

ResultType& amplitudes_result();
ResultType& ellipsometry_result();
ResultType& incoherent_result();
ResultType& gradient_result();
ResultType& needle_result();

// Creates every result type and adds it to the module. Throws PyError.
void create_result_types(PyObject* module);

// A new C-contiguous output array of NumPy type `type_number` (float64 or
// complex128) shaped for the call, with `inner` extra dimensions of the
// given lengths after the angle axis and before the wavelength axis (for
// per-layer results); its memory is written directly, then handed out.
class OutputArray {
public:
    OutputArray(int type_number, const DesignCall& call,
                std::initializer_list<std::size_t> inner = {});
    // An array of exactly the given shape (results summed over the grid).
    OutputArray(int type_number, std::initializer_list<std::size_t> shape);

    template <class T>
    T* data() const noexcept {
        return reinterpret_cast<T*>(ndarray_data());
    }
    PyRef& object() noexcept { return array_; }

private:
    char* ndarray_data() const noexcept;

    PyRef array_;
};

}  // namespace lamiro::design
