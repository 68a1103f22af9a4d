// SPDX-License-Identifier: MIT
#pragma once

#include <span>

#include "common/owned_buffer.hpp"
#include "optics/owned_array.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// Reflectance of every wavelength for light whose s part is weighted by
// cos²φ and whose p part by sin²φ. One value per pair, in pair order.
OwnedBuffer<double> reflectance_spectrum(std::span<const MatrixPair> pairs, double phi);

// Transmittance of every wavelength into the exit medium (the last row of
// `n`); pair w belongs to column w of `n`. Reading outside `n` throws
// InternalFault(index_out_of_bounds_message).
OwnedBuffer<double> transmittance_spectrum(std::span<const MatrixPair> pairs,
                                           const ComplexMatrix& n, double theta, double phi);

}  // namespace lamiro
