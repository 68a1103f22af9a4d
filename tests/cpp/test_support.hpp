// SPDX-License-Identifier: MIT
// What the C++ tests share: owned arrays built from plain vectors,
// bit-for-bit comparison of results and the tolerance of the worked examples.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// Contiguous owned arrays.

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

// Bit-for-bit comparison. Equal means the same 64 bits, except that any NaN
// equals any NaN: the arithmetic leaves the sign and payload of a NaN open.

// The bits of a value as 16 hex digits, or "nan" for every NaN.
inline std::string bits_text(double value) {
    if (std::isnan(value)) return "nan";
    char text[17];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

inline ::testing::AssertionResult same_bits(double actual, double expected) {
    if (std::isnan(actual)
            ? std::isnan(expected)
            : std::bit_cast<std::uint64_t>(actual) == std::bit_cast<std::uint64_t>(expected)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "got " << actual << " (" << bits_text(actual) << "), expected " << expected << " ("
           << bits_text(expected) << ")";
}

// The same for every double of a Complex, TransferMatrix or MatrixPair,
// which are plain sequences of doubles; a difference names its position.
template <class T>
::testing::AssertionResult same_bits(const T& actual, const T& expected) {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) % sizeof(double) == 0);
    using Doubles = std::array<double, sizeof(T) / sizeof(double)>;
    const Doubles a = std::bit_cast<Doubles>(actual);
    const Doubles e = std::bit_cast<Doubles>(expected);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (auto result = same_bits(a[i], e[i]); !result) {
            return result << " in double " << i << " of " << a.size();
        }
    }
    return ::testing::AssertionSuccess();
}

// Half a unit in the 12th significant digit of a reference value.
inline double twelve_digit_tolerance(double reference) {
    return 0.5 * std::pow(10.0, std::floor(std::log10(std::fabs(reference))) - 11.0);
}

}  // namespace lamiro
