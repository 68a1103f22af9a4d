// SPDX-License-Identifier: MIT
#include "optics/amplitudes.hpp"

#include <cmath>
#include <limits>

namespace lamiro {

AmplitudeCoefficients amplitude_coefficients(const MatrixPair& pair) noexcept {
    return {div(pair.s.m01, pair.s.m00), div(pair.p.m01, pair.p.m00), reciprocal(pair.s.m00),
            reciprocal(pair.p.m00)};
}

EllipsometricAngles ellipsometric_angles(const AmplitudeCoefficients& c) noexcept {
    // −(rp/rs) has the bits of (−rp)/rs: the quotient's formula is odd in
    // its numerator, and negation is exact.
    const Complex ratio = div(c.rp, c.rs);
    return {std::atan(complex_abs(ratio)), std::atan2(-ratio.im, -ratio.re)};
}

double canonical_nan(double value) noexcept {
    return std::isnan(value) ? std::numeric_limits<double>::quiet_NaN() : value;
}

Complex canonical_nan(Complex value) noexcept {
    return {canonical_nan(value.re), canonical_nan(value.im)};
}

}  // namespace lamiro
