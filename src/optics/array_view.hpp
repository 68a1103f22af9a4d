// SPDX-License-Identifier: MIT
#pragma once

// Non-owning strided views of the arrays a kernel reads. A view is a
// pointer to element 0, a length per axis and a signed element stride per
// axis, read by logical index like the owned arrays it usually looks into.
// Parts of a stack and the stack seen from its other side are views of the
// same elements (a later first element, fewer rows, a negated stride), so
// a kernel evaluates them without copying anything. The viewed elements
// must outlive the view and stay unchanged while it is read.

#include <cstddef>

#include "optics/complex.hpp"

namespace lamiro {

// A real vector: thicknesses or wavelengths.
struct RealView {
    const double* first = nullptr;  // element 0
    std::size_t length = 0;
    std::ptrdiff_t stride = 1;  // in elements

    std::size_t size() const noexcept { return length; }

    // Element i; the caller guarantees i < length.
    double operator[](std::size_t i) const noexcept {
        return first[static_cast<std::ptrdiff_t>(i) * stride];
    }

    // Elements begin … begin + count − 1; the caller guarantees that they exist.
    RealView part(std::size_t begin, std::size_t count) const noexcept {
        return {first + static_cast<std::ptrdiff_t>(begin) * stride, count, stride};
    }

    // The same elements, last first.
    RealView reversed() const noexcept {
        if (length == 0) return *this;
        return {first + static_cast<std::ptrdiff_t>(length - 1) * stride, length, -stride};
    }
};

// A complex vector: one row of a refractive-index matrix (a medium at every
// wavelength), or any per-wavelength complex values.
struct ComplexRow {
    const Complex* first = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 1;

    std::size_t size() const noexcept { return length; }

    Complex operator[](std::size_t i) const noexcept {
        return first[static_cast<std::ptrdiff_t>(i) * stride];
    }
};

// A complex matrix: the refractive indices, one row per medium and one
// column per wavelength.
struct ComplexView {
    const Complex* first = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    // Element (r, c); the caller guarantees r < rows and c < cols.
    Complex operator()(std::size_t r, std::size_t c) const noexcept {
        return first[static_cast<std::ptrdiff_t>(r) * row_stride +
                     static_cast<std::ptrdiff_t>(c) * col_stride];
    }

    // Row r; the caller guarantees r < rows.
    ComplexRow row(std::size_t r) const noexcept {
        return {first + static_cast<std::ptrdiff_t>(r) * row_stride, cols, col_stride};
    }

    // Rows begin … begin + count − 1 (a part of the stack); the caller
    // guarantees that they exist.
    ComplexView row_part(std::size_t begin, std::size_t count) const noexcept {
        return {first + static_cast<std::ptrdiff_t>(begin) * row_stride, count, cols, row_stride,
                col_stride};
    }

    // The rows in the opposite order (the stack seen from its exit side).
    ComplexView reversed_rows() const noexcept {
        if (rows == 0) return *this;
        return {first + static_cast<std::ptrdiff_t>(rows - 1) * row_stride, rows, cols, -row_stride,
                col_stride};
    }
};

}  // namespace lamiro
