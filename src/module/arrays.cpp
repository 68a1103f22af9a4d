// SPDX-License-Identifier: MIT
#include "module/arrays.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <variant>
#include <vector>

#include "common/internal_fault.hpp"
#include "module/errors.hpp"

namespace lamiro {

namespace {

constexpr const char* array_target = "PyArray<T, D>";
constexpr std::ptrdiff_t real_size = sizeof(double);
constexpr std::ptrdiff_t complex_size = sizeof(Complex);

bool has_dtype(const ArrayApi& api, PyObject* array, int type_number) {
    PyRef wanted = require_new_object(api.descr_from_type(type_number));
    PyObject* descr = ndarray_fields(array)->descr;
    return descr == wanted.get() || api.equiv_types(descr, wanted.get()) != 0;
}

// Whether the object is an ndarray of `type_number` (exactly one-dimensional
// when asked); the TypeError of a refused argument otherwise.
void check_array(PyObject* object, int type_number, bool one_dimensional) {
    const ArrayApi& api = array_api();
    if (!PyObject_TypeCheck(object, api.array_type) ||
        (one_dimensional && ndarray_fields(object)->nd != 1) ||
        !has_dtype(api, object, type_number)) {
        throw downcast_error(object, array_target);
    }
}

// Whether the elements of a two-dimensional array (byte strides) fill one
// block of memory without gaps, in either axis order and either direction.
bool fills_one_block(std::size_t rows, std::size_t cols, std::ptrdiff_t row_stride,
                     std::ptrdiff_t col_stride) {
    struct Axis {
        std::size_t length;
        std::size_t stride;
    };
    Axis inner{cols, static_cast<std::size_t>(std::abs(col_stride))};
    Axis outer{rows, static_cast<std::size_t>(std::abs(row_stride))};
    if (outer.stride < inner.stride) {
        std::swap(inner, outer);
    }
    std::size_t expected = complex_size;
    for (const Axis& axis : {inner, outer}) {
        if (axis.length != 1 && axis.stride != expected) {
            return false;
        }
        expected *= axis.length;
    }
    return true;
}

PyRef new_array(int type_number, int nd, const npy_intp* dimensions, const npy_intp* strides,
                int order) {
    const ArrayApi& api = array_api();
    PyRef descr = require_new_object(api.descr_from_type(type_number));
    return require_new_object(api.new_from_descr(api.array_type, descr.release(), nd, dimensions,
                                                 strides, nullptr, order, nullptr));
}

char* array_data(const PyRef& array) noexcept { return ndarray_fields(array.get())->data; }

// The owned copy of a vector read through its data pointer, length and byte
// stride: one block copied unchanged (stride and first position kept) when
// the elements lie without gaps, else element by element with stride 1.
RealVector copy_vector(const char* data, std::size_t length, std::ptrdiff_t stride) {
    auto buffer = OwnedBuffer<double>::allocate(length);
    if (length < 2 || stride == real_size || stride == -real_size) {
        const std::ptrdiff_t low =
            length > 1 && stride < 0 ? static_cast<std::ptrdiff_t>(length - 1) * stride : 0;
        if (length != 0) {
            std::memcpy(buffer.data(), data + low, length * sizeof(double));
        }
        return RealVector{std::move(buffer), length, stride / real_size,
                          static_cast<std::size_t>(-low / real_size)};
    }
    for (std::size_t i = 0; i < length; ++i) {
        std::memcpy(&buffer[i], data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(double));
    }
    return RealVector{std::move(buffer), length, 1, 0};
}

// The owned copy of a matrix, by the same rule: one block in row-major or
// column-major order, either axis reversed, keeps its layout; any other is
// stored row-major.
ComplexMatrix copy_matrix(const char* data, std::size_t rows, std::size_t cols,
                          std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    const std::size_t count = rows * cols;
    auto buffer = OwnedBuffer<Complex>::allocate(count);
    const auto row_major = static_cast<std::ptrdiff_t>(cols);

    if (count == 0) {
        return ComplexMatrix{std::move(buffer), rows, cols, row_major, 1, 0};
    }
    if (fills_one_block(rows, cols, row_stride, col_stride)) {
        std::ptrdiff_t low = 0;
        if (rows > 1 && row_stride < 0) {
            low += static_cast<std::ptrdiff_t>(rows - 1) * row_stride;
        }
        if (cols > 1 && col_stride < 0) {
            low += static_cast<std::ptrdiff_t>(cols - 1) * col_stride;
        }
        std::memcpy(buffer.data(), data + low, count * sizeof(Complex));
        return ComplexMatrix{std::move(buffer),
                             rows,
                             cols,
                             row_stride / complex_size,
                             col_stride / complex_size,
                             static_cast<std::size_t>(-low / complex_size)};
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = data + static_cast<std::ptrdiff_t>(r) * row_stride;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(&buffer[r * cols + c], row + static_cast<std::ptrdiff_t>(c) * col_stride,
                        sizeof(Complex));
        }
    }
    return ComplexMatrix{std::move(buffer), rows, cols, row_major, 1, 0};
}

}  // namespace

std::vector<npy_intp> ReadonlyArrayBorrow::shape() const {
    if (const auto* vector = std::get_if<RealVector>(&held_)) {
        return {static_cast<npy_intp>(vector->length)};
    }
    if (const auto* matrix = std::get_if<ComplexMatrix>(&held_)) {
        return {static_cast<npy_intp>(matrix->rows), static_cast<npy_intp>(matrix->cols)};
    }
    return std::get<std::vector<npy_intp>>(held_);
}

ReadonlyArrayBorrow extract_vector_f64(PyObject* object) {
    check_array(object, npy_double, true);
    const NdarrayFields& fields = *ndarray_fields(object);
    return ReadonlyArrayBorrow(
        1, copy_vector(fields.data, static_cast<std::size_t>(fields.dimensions[0]),
                       fields.strides[0]));
}

ReadonlyArrayBorrow extract_array_c128(PyObject* object) {
    check_array(object, npy_cdouble, false);
    const NdarrayFields& fields = *ndarray_fields(object);
    if (fields.nd != 2) {
        return ReadonlyArrayBorrow(
            fields.nd, std::vector<npy_intp>(fields.dimensions, fields.dimensions + fields.nd));
    }
    return ReadonlyArrayBorrow(
        2, copy_matrix(fields.data, static_cast<std::size_t>(fields.dimensions[0]),
                       static_cast<std::size_t>(fields.dimensions[1]), fields.strides[0],
                       fields.strides[1]));
}

void check_two_dimensional(const ReadonlyArrayBorrow& array) {
    const int nd = array.nd();
    if (nd > 32) {
        throw InternalFault(
            "unexpected dimensionality: NumPy is expected to limit arrays to 32 or fewer "
            "dimensions");
    }
    if (nd != 2) {
        throw InternalFault(
            "Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes");
    }
}

RealVector copy_vector_f64(ReadonlyArrayBorrow&& source) {
    // Taken out, not moved from: a second take finds an empty vector, not a
    // length without elements.
    if (auto* vector = std::get_if<RealVector>(&source.held_)) {
        return std::exchange(*vector, RealVector{});
    }
    throw InternalFault("an accepted array taken as a vector does not hold one");
}

ComplexMatrix copy_matrix_c128(ReadonlyArrayBorrow&& source) {
    if (auto* matrix = std::get_if<ComplexMatrix>(&source.held_)) {
        return std::exchange(*matrix, ComplexMatrix{});
    }
    throw InternalFault("an accepted array taken as a matrix does not hold one");
}

PyRef vector_to_numpy(const RealVector& vector) {
    const std::size_t length = vector.size();
    const npy_intp dimensions[1] = {static_cast<npy_intp>(length)};

    if (length < 2 || vector.stride == 1) {
        const npy_intp strides[1] = {vector.stride * real_size};
        PyRef array = new_array(npy_double, 1, dimensions, strides, 0);
        if (length != 0) {
            std::memcpy(array_data(array), &vector.buffer[vector.first], length * sizeof(double));
        }
        return array;
    }
    PyRef array = new_array(npy_double, 1, dimensions, nullptr, 0);
    char* out = array_data(array);
    for (std::size_t i = 0; i < length; ++i) {
        const double value = vector[i];
        std::memcpy(out + i * sizeof(double), &value, sizeof(double));
    }
    return array;
}

PyRef matrix_to_numpy(const ComplexMatrix& matrix) {
    const std::size_t rows = matrix.rows;
    const std::size_t cols = matrix.cols;
    const std::size_t count = rows * cols;
    const npy_intp dimensions[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    const auto signed_rows = static_cast<std::ptrdiff_t>(rows);
    const auto signed_cols = static_cast<std::ptrdiff_t>(cols);

    const bool row_major = count == 0 || ((matrix.col_stride == 1 || cols == 1) &&
                                          (matrix.row_stride == signed_cols || rows == 1));
    const bool column_major = !row_major && (matrix.row_stride == 1 || rows == 1) &&
                              (matrix.col_stride == signed_rows || cols == 1);
    if (row_major || column_major) {
        const npy_intp strides[2] = {matrix.row_stride * complex_size,
                                     matrix.col_stride * complex_size};
        PyRef array = new_array(npy_cdouble, 2, dimensions, strides, column_major ? 1 : 0);
        if (count != 0) {
            std::memcpy(array_data(array), &matrix.buffer[matrix.first], count * sizeof(Complex));
        }
        return array;
    }
    PyRef array = new_array(npy_cdouble, 2, dimensions, nullptr, 0);
    char* out = array_data(array);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            const Complex value = matrix(r, c);
            std::memcpy(out + (r * cols + c) * sizeof(Complex), &value, sizeof(Complex));
        }
    }
    return array;
}

}  // namespace lamiro
