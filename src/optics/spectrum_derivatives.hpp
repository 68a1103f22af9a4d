// SPDX-License-Identifier: MIT
#pragma once

// From a change of the first row of the transfer matrix to the change of
// the reflectance and the transmittance, on packs of wavelengths.
//
// Write a0 = ∂m00/m00 and a1 = ∂m01/m00 for one polarisation, with
// r = m01/m00 and t = 1/m00. Then
//     ∂r = (∂m01·m00 − m01·∂m00)/m00² = a1 − r·a0,
//     ∂t = −∂m00/m00² = −t·a0,
// and for the intensities
//     ∂|r|² = 2·Re(conj(r)·∂r),   ∂|t|² = 2·Re(conj(t)·∂t) = −2·|t|²·Re(a0).
// R and T mix the polarisations as the spectra do, R = sin²φ·|r_p|² +
// cos²φ·|r_s|², T = F·(sin²φ·|t_p|² + cos²φ·|t_s|²) with the exit-medium
// factor F, so their derivatives mix the same way. a0 and a1 are quotients
// by m00, which is why the sweep's compensated state (field · prefix) gives
// them without ever forming m00 where it overflows.

#include <cmath>

#include "optics/packed_complex.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

// sin²φ and cos²φ, as the spectra form them from sin φ and cos φ.
struct PolarisationMix {
    double p;  // sin φ · sin φ
    double s;  // cos φ · cos φ

    static PolarisationMix of(double phi) noexcept {
        const double sp = std::sin(phi);
        const double cp = std::cos(phi);
        return {sp * sp, cp * cp};
    }
};

namespace packed {

// ∂|r|² and ∂|t|² of one polarisation.
template <int L>
struct IntensityChange {
    Pack<L> reflected;
    Pack<L> transmitted;
};

template <int L>
LAMIRO_PACKED_INLINE IntensityChange<L> intensity_change(const PackedComplex<L>& a0,
                                                         const PackedComplex<L>& a1,
                                                         const PackedComplex<L>& r,
                                                         const PackedComplex<L>& t) {
    const PackedComplex<L> dr = sub(a1, mul(r, a0));
    const Pack<L> reflected = 2.0 * (r.re * dr.re + r.im * dr.im);
    const Pack<L> transmitted = -2.0 * norm(t) * a0.re;
    return {reflected, transmitted};
}

// ∂R and ∂T from the changes of both polarisations; exit_factor is F.
template <int L>
LAMIRO_PACKED_INLINE void mix_changes(const IntensityChange<L>& s, const IntensityChange<L>& p,
                                      PolarisationMix mix, const Pack<L>& exit_factor,
                                      Pack<L>& d_reflectance, Pack<L>& d_transmittance) {
    d_reflectance = mix.p * p.reflected + mix.s * s.reflected;
    d_transmittance = exit_factor * (mix.p * p.transmitted + mix.s * s.transmitted);
}

}  // namespace packed
}  // namespace lamiro

#pragma GCC diagnostic pop
