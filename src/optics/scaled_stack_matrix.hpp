// SPDX-License-Identifier: MIT
#pragma once

// The transfer matrices of one wavelength evaluated so that they cannot
// overflow, for stacks whose matrices are too large for binary64.
//
// A thick absorbing layer multiplies the matrix by its growing phase factor
// e₋ = e^(−iκh), of modulus e^(Im κ·h): above Im κ·h ≈ 709 the factor itself
// overflows, and already above about 354 the squared modulus |m00|² that
// the quotients m01/m00 and 1/m00 form does. The physical answer stays
// finite: the reflection coefficient is a ratio of two entries that carry
// the same growth, and the transmission coefficient is merely tiny.
//
// Here every layer's growth is taken out of its phase factors and kept as a
// natural logarithm beside the matrix, and the matrix itself is brought
// back near modulus 1 by a power of two after every layer. The interface
// entries, wave numbers and exponents are computed by the same operations
// as in the plain kernel; only the propagation and the final quotients
// differ, so the results agree with the plain kernel's to a few units of
// rounding where that one stays finite, but not to the bit. The module uses
// them only for the values that the plain evaluation cannot give as finite
// numbers (overflow_fallback.hpp).

#include <cstddef>

#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// The matrix mantissa·e^log_scale. After an evaluation the largest
// component of the mantissa lies in [1, 2) unless the mantissa is zero or
// not finite.
struct ScaledTransferMatrix {
    TransferMatrix mantissa;
    double log_scale;
};

// Both polarisations of one wavelength, S first.
struct ScaledMatrixPair {
    ScaledTransferMatrix s;
    ScaledTransferMatrix p;
};

// I·(E·M) for E = diag(e₋, e₊) and the interface entries `next`, as the
// plain kernel multiplies but without the products with the zero entries
// of E, which only matter for non-finite entries: the product step of the
// evaluations that keep the scale of M apart from it (here and in the
// layer sweep's scaled path).
TransferMatrix scaled_product_step(const TransferMatrix& m, Complex e_minus, Complex e_plus,
                                   const InterfaceEntries& next) noexcept;

// The S and P matrices of wavelength w, as stack_transfer_matrix defines
// them (reference_stack_matrix.hpp), in scaled form. Reads what the
// definition reads, and throws the same index fault where it would.
// Non-finite interface entries or exponents (a zero index, λ = 0, an
// interface whose D is zero, NaN or infinite inputs) give a NaN or
// infinite mantissa or scale rather than a finite answer.
ScaledMatrixPair scaled_stack_matrix_pair(const RealVector& d, const ComplexMatrix& n,
                                          const RealVector& wl, double theta, std::size_t w);

// The amplitude reflection coefficient m01/m00; the scale cancels.
Complex reflection_amplitude(const ScaledTransferMatrix& m) noexcept;

// The amplitude transmission coefficient 1/m00 = e^(−log_scale)/mantissa.m00,
// rounded once, so that a coefficient too small for a normal binary64 comes
// out subnormal or zero rather than as an overflow.
Complex transmission_amplitude(const ScaledTransferMatrix& m) noexcept;

// R = sin²φ·|r_p|² + cos²φ·|r_s|², the reflectance formula applied to the
// scaled pair's coefficients.
double scaled_reflectance(const ScaledMatrixPair& pair, double phi) noexcept;

// T = F·(sin²φ·|t_p|² + cos²φ·|t_s|²) with the exit-medium factor F of the
// incidence index n0, the exit index nl and the angle θ (spectra.hpp).
double scaled_transmittance(const ScaledMatrixPair& pair, Complex n0, Complex nl, double theta,
                            double phi) noexcept;

}  // namespace lamiro
