// SPDX-License-Identifier: MIT
// Contiguous owned arrays for the C++ tests, built from plain vectors.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "optics/owned_array.hpp"

namespace lamiro {

inline RealVector real_vector(const std::vector<double>& values) {
    OwnedBuffer<double> buffer = OwnedBuffer<double>::allocate(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) buffer[i] = values[i];
    return RealVector::from_buffer(std::move(buffer));
}

// Row-major matrix of `rows` × `cols` values given row after row.
inline ComplexMatrix complex_matrix(std::size_t rows, std::size_t cols,
                                    const std::vector<Complex>& values) {
    OwnedBuffer<Complex> buffer = OwnedBuffer<Complex>::allocate(rows * cols);
    for (std::size_t i = 0; i < rows * cols; ++i) buffer[i] = values[i];
    return ComplexMatrix{std::move(buffer), rows, cols, static_cast<std::ptrdiff_t>(cols), 1, 0};
}

// Row-major matrix; media[j][w] is medium j at wavelength w.
inline ComplexMatrix complex_matrix(const std::vector<std::vector<Complex>>& media) {
    const std::size_t rows = media.size();
    const std::size_t cols = rows == 0 ? 0 : media[0].size();
    std::vector<Complex> values;
    values.reserve(rows * cols);
    for (const std::vector<Complex>& row : media)
        values.insert(values.end(), row.begin(), row.end());
    return complex_matrix(rows, cols, values);
}

// One wavelength: media[j] is medium j, stored as a column.
inline ComplexMatrix column(const std::vector<Complex>& media) {
    return complex_matrix(media.size(), 1, media);
}

}  // namespace lamiro
