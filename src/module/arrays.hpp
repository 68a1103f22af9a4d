// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include "module/array_api.hpp"
#include "module/py_ref.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// An accepted input ndarray, referenced for as long as the constructor reads
// it. Its memory is only read.
class ReadonlyArrayBorrow {
public:
    explicit ReadonlyArrayBorrow(PyRef array) noexcept : array_(std::move(array)) {}

    const NdarrayFields& fields() const noexcept { return *ndarray_fields(array_.get()); }

private:
    PyRef array_;
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
