// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <cstddef>

#include "module/array_api.hpp"
#include "module/py_ref.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// An accepted input ndarray, fixed as it was when it was accepted: its data
// pointer, number of dimensions, shape and byte strides are copied then,
// and references to the array and to the object that owns its memory keep
// that memory alive until the constructor returns. Python code that runs in
// between (a __float__ of a later argument, say) may change the array's
// dtype, shape or strides; the copy still reads exactly the elements that
// were accepted, and nothing outside them. The memory is only read.
class ReadonlyArrayBorrow {
public:
    explicit ReadonlyArrayBorrow(PyObject* array) noexcept;

    int nd() const noexcept { return nd_; }
    const char* data() const noexcept { return data_; }
    // Length and byte stride of axis 0 or 1 (the axes a copy reads).
    std::size_t length(int axis) const noexcept { return static_cast<std::size_t>(shape_[axis]); }
    std::ptrdiff_t stride(int axis) const noexcept { return strides_[axis]; }

private:
    PyRef array_;
    PyRef owner_;
    const char* data_;
    int nd_;
    npy_intp shape_[2] = {0, 0};
    npy_intp strides_[2] = {0, 0};
};

// Argument conversions: a one-dimensional float64 ndarray (`d`, `wl`) and a
// complex128 ndarray of any dimensionality (`n`). Anything else throws the
// TypeError "'{type}' object cannot be converted to 'PyArray<T, D>'".
ReadonlyArrayBorrow extract_vector_f64(PyObject* object);
ReadonlyArrayBorrow extract_array_c128(PyObject* object);

// The fault "Failed to convert n to 2D array: ..." unless the array has
// exactly two dimensions.
void check_two_dimensional(const ReadonlyArrayBorrow& array);

// Owned copies of accepted arrays (the matrix must be two-dimensional).
RealVector copy_vector_f64(const ReadonlyArrayBorrow& source);
ComplexMatrix copy_matrix_c128(const ReadonlyArrayBorrow& source);

// New ndarrays (float64, complex128) holding copies of owned arrays.
PyRef vector_to_numpy(const RealVector& vector);
PyRef matrix_to_numpy(const ComplexMatrix& matrix);

}  // namespace lamiro
