// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "common/owned_buffer.hpp"
#include "optics/array_view.hpp"
#include "optics/complex.hpp"

namespace lamiro {

// Owned arrays: an element buffer of their own, a shape, one signed element
// stride per axis and the position of the first element inside the buffer.
// They are read by logical index; nothing depends on memory order. The
// array conversion fills them from NumPy arrays, the numerics read them.

// A real (float64) vector: d, wl and the spectra r and t.
struct RealVector {
    OwnedBuffer<double> buffer;
    std::size_t length = 0;
    std::ptrdiff_t stride = 1;  // in elements
    std::size_t first = 0;      // position of element 0 in the buffer

    std::size_t size() const noexcept { return length; }

    // Element i; the caller guarantees i < length.
    double operator[](std::size_t i) const noexcept {
        return buffer[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(first) +
                                               static_cast<std::ptrdiff_t>(i) * stride)];
    }

    // A view of the same elements; also taken implicitly, so that code that
    // reads views accepts owned arrays as they are.
    RealView view() const noexcept { return {buffer.data() + first, length, stride}; }
    operator RealView() const noexcept { return view(); }

    // An independent copy with the same buffer contents, shape, stride and
    // first-element position.
    RealVector clone() const { return RealVector{buffer.clone(), length, stride, first}; }

    // Takes over a filled buffer as a contiguous vector, without copying.
    static RealVector from_buffer(OwnedBuffer<double> values) {
        std::size_t length = values.size();
        return RealVector{std::move(values), length, length == 0 ? 0 : 1, 0};
    }
};

// A complex (complex128) matrix: the refractive indices n, one row per
// medium and one column per wavelength.
struct ComplexMatrix {
    OwnedBuffer<Complex> buffer;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // in elements
    std::ptrdiff_t col_stride = 1;  // in elements
    std::size_t first = 0;          // position of element (0, 0) in the buffer

    // Element (r, c); the caller guarantees r < rows and c < cols.
    Complex operator()(std::size_t r, std::size_t c) const noexcept {
        return buffer[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(first) +
                                               static_cast<std::ptrdiff_t>(r) * row_stride +
                                               static_cast<std::ptrdiff_t>(c) * col_stride)];
    }

    // A view of the same elements.
    ComplexView view() const noexcept {
        return {buffer.data() + first, rows, cols, row_stride, col_stride};
    }
    operator ComplexView() const noexcept { return view(); }

    ComplexMatrix clone() const {
        return ComplexMatrix{buffer.clone(), rows, cols, row_stride, col_stride, first};
    }
};

}  // namespace lamiro
