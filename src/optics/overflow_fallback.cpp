// SPDX-License-Identifier: MIT
#include "optics/overflow_fallback.hpp"

#include <cmath>

#include "optics/scaled_stack_matrix.hpp"

namespace lamiro {

namespace {

bool finite_non_zero(Complex z) noexcept {
    return std::isfinite(z.re) && std::isfinite(z.im) && !(z.re == 0.0 && z.im == 0.0);
}

}  // namespace

bool finite_stack_inputs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                         double theta, std::size_t w) noexcept {
    if (w >= wl.size() || w >= n.cols || n.rows < 2 || d.size() < n.rows - 2) return false;
    const double lambda = wl[w];
    if (!std::isfinite(theta) || !std::isfinite(lambda) || lambda == 0.0) return false;
    for (std::size_t j = 0; j < n.rows; ++j) {
        if (!finite_non_zero(n(j, w))) return false;
    }
    for (std::size_t k = 0; k + 2 < n.rows; ++k) {
        if (!std::isfinite(d[k])) return false;
    }
    return true;
}

namespace {

// The sum of x − x over the values: NaN when some x is infinite or NaN,
// zero when all are finite or there are none. Two operations per value.
double non_finite_marker(const double* values, std::size_t count) noexcept {
    double marker = 0.0;
    if (values != nullptr) {
        for (std::size_t i = 0; i < count; ++i) marker += values[i] - values[i];
    }
    return marker;
}

}  // namespace

void replace_overflowed_values(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                               double theta, double phi, std::size_t begin, std::size_t count,
                               double* r, double* t) {
    // Ordinary spectra have nothing to replace: one pass over the values.
    if (non_finite_marker(r, count) + non_finite_marker(t, count) == 0.0) return;
    for (std::size_t i = 0; i < count; ++i) {
        const bool r_finite = r == nullptr || std::isfinite(r[i]);
        const bool t_finite = t == nullptr || std::isfinite(t[i]);
        if (r_finite && t_finite) continue;
        const std::size_t w = begin + i;
        if (!std::isfinite(phi) || !finite_stack_inputs(d, n, wl, theta, w)) continue;
        const ScaledMatrixPair pair = scaled_stack_matrix_pair(d, n, wl, theta, w);
        if (!r_finite) {
            const double value = scaled_reflectance(pair, phi);
            if (std::isfinite(value)) r[i] = value;
        }
        if (!t_finite) {
            const double value = scaled_transmittance(pair, n(0, w), n(n.rows - 1, w), theta, phi);
            if (std::isfinite(value)) t[i] = value;
        }
    }
}

namespace {

bool finite(Complex z) noexcept { return std::isfinite(z.re) && std::isfinite(z.im); }

void replace_if_finite(Complex& value, Complex scaled) noexcept {
    if (!finite(value) && finite(scaled)) value = scaled;
}

}  // namespace

void replace_overflowed_amplitudes(const RealVector& d, const ComplexMatrix& n,
                                   const RealVector& wl, double theta, std::size_t w,
                                   AmplitudeCoefficients& c) {
    if (finite(c.rs) && finite(c.rp) && finite(c.ts) && finite(c.tp)) return;
    if (!finite_stack_inputs(d, n, wl, theta, w)) return;
    const ScaledMatrixPair pair = scaled_stack_matrix_pair(d, n, wl, theta, w);
    replace_if_finite(c.rs, reflection_amplitude(pair.s));
    replace_if_finite(c.rp, reflection_amplitude(pair.p));
    replace_if_finite(c.ts, transmission_amplitude(pair.s));
    replace_if_finite(c.tp, transmission_amplitude(pair.p));
}

}  // namespace lamiro
