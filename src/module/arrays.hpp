// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>
#include <variant>
#include <vector>

#include "module/array_api.hpp"
#include "module/py_ref.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// An accepted input ndarray, held as the owned copy of its elements made at
// the moment it was accepted; it keeps no reference to the array. Python
// code that runs later in the same call (the __float__ of theta, say) may
// change the array's dtype, shape or strides, replace its buffer
// (__setstate__, resize) or free the memory it borrowed from another object;
// the copy was made before any of that could run, so nothing reads the
// caller's memory after acceptance. The copy already has the layout of the
// owned array, so copy_vector_f64 and copy_matrix_c128 hand it out without
// copying again.
//
// A complex array that is not two-dimensional holds its shape only: the
// constructor refuses it once every argument is converted.
class ReadonlyArrayBorrow {
public:
    int nd() const noexcept { return nd_; }

    // The shape as accepted, every axis.
    std::vector<npy_intp> shape() const;

private:
    friend ReadonlyArrayBorrow extract_vector_f64(PyObject* object);
    friend ReadonlyArrayBorrow extract_array_c128(PyObject* object);
    friend RealVector copy_vector_f64(ReadonlyArrayBorrow&& source);
    friend ComplexMatrix copy_matrix_c128(ReadonlyArrayBorrow&& source);

    using Held = std::variant<RealVector, ComplexMatrix, std::vector<npy_intp>>;
    ReadonlyArrayBorrow(int nd, Held held) noexcept : nd_(nd), held_(std::move(held)) {}

    int nd_;
    Held held_;
};

// Argument conversions: a one-dimensional float64 ndarray (`d`, `wl`) and a
// complex128 ndarray of any dimensionality (`n`), copied as they are now.
// Anything else throws the TypeError "'{type}' object cannot be converted to
// 'PyArray<T, D>'"; memory for the copy running out throws MemoryError.
ReadonlyArrayBorrow extract_vector_f64(PyObject* object);
ReadonlyArrayBorrow extract_array_c128(PyObject* object);

// The fault "Failed to convert n to 2D array: ..." unless the array has
// exactly two dimensions.
void check_two_dimensional(const ReadonlyArrayBorrow& array);

// The owned arrays of accepted records, moved out of them (the matrix must
// be two-dimensional). A contiguous source kept its strides, their signs and
// the first element's position; any other was stored row-major.
RealVector copy_vector_f64(ReadonlyArrayBorrow&& source);
ComplexMatrix copy_matrix_c128(ReadonlyArrayBorrow&& source);

// New ndarrays (float64, complex128) holding copies of owned arrays.
PyRef vector_to_numpy(const RealVector& vector);
PyRef matrix_to_numpy(const ComplexMatrix& matrix);

}  // namespace lamiro
