// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <span>

#include "common/owned_buffer.hpp"
#include "optics/array_view.hpp"
#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// Real part of KL/A, where KL = n_L·cos θ_L is the normal wave-vector term
// of the exit medium and A = n_0·cos θ: the ratio of the normal energy flux
// densities that turns |t|² into a transmittance. n0 and nl are the indices
// of the incidence and exit media, s and c the sine and cosine of θ.
// The exit term G = n_L² − n_0²·sin²θ is formed component by component
// with rounded s2 products, which is not the rounding of the kernel's K
// term. One definition, inlined into the transmittance loop and into every
// other place that needs the factor T carries (derivatives of T, the
// overflow-safe transmittance), so that all of them have its bits.
inline double exit_medium_factor(Complex n0, Complex nl, double s, double c) noexcept {
    const double s2 = s * s;
    const Complex g{
        (nl.re * nl.re - nl.im * nl.im) - s2 * (n0.re * n0.re - n0.im * n0.im),
        (nl.re * nl.im + nl.re * nl.im) - s2 * (n0.re * n0.im + n0.re * n0.im),
    };
    const Complex kl = complex_sqrt(g);
    const Complex a{c * n0.re, c * n0.im};
    return (kl.re * a.re + kl.im * a.im) / (a.re * a.re + a.im * a.im);
}

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
                          const ComplexView& n, double theta, double phi, double* out);

}  // namespace lamiro
