// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <span>

#include "common/owned_buffer.hpp"
#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// Real part of KL/A, where KL = n_L·cos θ_L is the normal wave-vector term
// of the exit medium and A = n_0·cos θ: the ratio of the normal energy flux
// densities that turns |t|² into a transmittance. n0 and nl are the indices
// of the incidence and exit media, s and c the sine and cosine of θ.
double exit_medium_factor(Complex n0, Complex nl, double s, double c) noexcept;

// Reflectance of every wavelength for light whose s part is weighted by
// cos²φ and whose p part by sin²φ. One value per pair, in pair order.
OwnedBuffer<double> reflectance_spectrum(std::span<const MatrixPair> pairs, double phi);

// Transmittance of every wavelength into the exit medium (the last row of
// `n`); pair w belongs to column w of `n`. Reading outside `n` throws
// InternalFault(index_out_of_bounds_message).
OwnedBuffer<double> transmittance_spectrum(std::span<const MatrixPair> pairs,
                                           const ComplexMatrix& n, double theta, double phi);

// The same values for a part of a spectrum, written to out[0 .. pairs.size()).
// For the transmittance, pairs[i] belongs to wavelength index first_index + i.
void reflectance_values(std::span<const MatrixPair> pairs, double phi, double* out) noexcept;
void transmittance_values(std::span<const MatrixPair> pairs, std::size_t first_index,
                          const ComplexMatrix& n, double theta, double phi, double* out);

}  // namespace lamiro
