// SPDX-License-Identifier: MIT
#include "optics/spectra.hpp"

#include <cmath>
#include <cstddef>

#include "common/internal_fault.hpp"
#include "optics/complex.hpp"

namespace lamiro {

namespace {

// Real part of KL/A, where KL = n_L·cos θ_L is the normal wave-vector term
// of the exit medium and A = n_0·cos θ: the ratio of the normal energy
// flux densities that turns |t|² into a transmittance. The exit term
// G = n_L² − n_0²·sin²θ is formed component by component with rounded
// s2 products, which is not the rounding of the kernel's K term.
double exit_medium_factor(Complex n0, Complex nl, double theta) noexcept {
    const double s = std::sin(theta);
    const double s2 = s * s;
    const Complex g{
        (nl.re * nl.re - nl.im * nl.im) - s2 * (n0.re * n0.re - n0.im * n0.im),
        (nl.re * nl.im + nl.re * nl.im) - s2 * (n0.re * n0.im + n0.re * n0.im),
    };
    const Complex kl = complex_sqrt(g);
    const double c = std::cos(theta);
    const Complex a{c * n0.re, c * n0.im};
    return (kl.re * a.re + kl.im * a.im) / (a.re * a.re + a.im * a.im);
}

}  // namespace

OwnedBuffer<double> reflectance_spectrum(std::span<const MatrixPair> pairs, double phi) {
    OwnedBuffer<double> r = OwnedBuffer<double>::allocate(pairs.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        const MatrixPair& pair = pairs[w];
        const double sp = std::sin(phi);
        const double cp = std::cos(phi);
        const double as = complex_abs(div(pair.s.m01, pair.s.m00));
        const double ap = complex_abs(div(pair.p.m01, pair.p.m00));
        r[w] = ((sp * sp) * (ap * ap)) + ((cp * cp) * (as * as));
    }
    return r;
}

OwnedBuffer<double> transmittance_spectrum(std::span<const MatrixPair> pairs,
                                           const ComplexMatrix& n, double theta, double phi) {
    OwnedBuffer<double> t = OwnedBuffer<double>::allocate(pairs.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        if (n.rows < 1 || w >= n.cols) {
            throw InternalFault(index_out_of_bounds_message);
        }
        const MatrixPair& pair = pairs[w];
        const double sp = std::sin(phi);
        const double cp = std::cos(phi);
        const double f = exit_medium_factor(n(0, w), n(n.rows - 1, w), theta);
        const double bs = complex_abs(reciprocal(pair.s.m00));
        const double bp = complex_abs(reciprocal(pair.p.m00));
        t[w] = f * (((sp * sp) * (bp * bp)) + ((cp * cp) * (bs * bs)));
    }
    return t;
}

}  // namespace lamiro
