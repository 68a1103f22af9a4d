// SPDX-License-Identifier: MIT
#pragma once

// What a stack's two transfer matrices say beyond R and T: the complex
// amplitude coefficients of both polarisations, and the ellipsometric
// angles they give.

#include "optics/complex.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// r = m01/m00 and t = 1/m00 of each polarisation's matrix (quotient and
// reciprocal of complex.hpp): the amplitude reflection and transmission
// coefficients for light incident from medium 0. The convention is the one
// of tmm's coh_tmm: at normal incidence rp = −rs.
struct AmplitudeCoefficients {
    Complex rs;
    Complex rp;
    Complex ts;
    Complex tp;
};

AmplitudeCoefficients amplitude_coefficients(const MatrixPair& pair) noexcept;

// Ψ = arctan|rp/rs| in [0, π/2] and Δ = arg(−rp/rs) in [−π, π], in radians,
// the convention of tmm's ellips: Δ is 0 at normal incidence, where
// rp = −rs.
struct EllipsometricAngles {
    double psi;
    double delta;
};

EllipsometricAngles ellipsometric_angles(const AmplitudeCoefficients& c) noexcept;

// The value, or the one quiet NaN for every NaN. The sign and payload of a
// NaN may depend on the pack width and the lane a wavelength lands in;
// results that leave the module carry one NaN, so that equal inputs give
// equal bytes whatever the thread count.
double canonical_nan(double value) noexcept;
Complex canonical_nan(Complex value) noexcept;

}  // namespace lamiro
