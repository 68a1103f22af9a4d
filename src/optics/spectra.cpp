// SPDX-License-Identifier: MIT
#include "optics/spectra.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "common/internal_fault.hpp"
#include "optics/complex.hpp"

namespace lamiro {

namespace {

// The sign and payload of a NaN are left open by the arithmetic and may
// depend on how the matrices were evaluated (pack width, lane); the spectra
// carry one NaN, so that equal inputs give equal bytes whatever the thread
// count.
double with_one_nan(double value) noexcept {
    return std::isnan(value) ? std::numeric_limits<double>::quiet_NaN() : value;
}

}  // namespace

// The sines and cosines of φ and θ are the same for every pair, so they are
// taken once per call rather than once per pair; the values are identical.

void reflectance_values(std::span<const MatrixPair> pairs, double phi, double* out) noexcept {
    const double sp = std::sin(phi);
    const double cp = std::cos(phi);
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        const MatrixPair& pair = pairs[w];
        const double as = complex_abs(div(pair.s.m01, pair.s.m00));
        const double ap = complex_abs(div(pair.p.m01, pair.p.m00));
        out[w] = with_one_nan(((sp * sp) * (ap * ap)) + ((cp * cp) * (as * as)));
    }
}

void transmittance_values(std::span<const MatrixPair> pairs, std::size_t first_index,
                          const ComplexView& n, double theta, double phi, double* out) {
    const double sp = std::sin(phi);
    const double cp = std::cos(phi);
    const double s = std::sin(theta);
    const double c = std::cos(theta);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::size_t w = first_index + i;
        if (n.rows < 1 || w >= n.cols) {
            throw_index_out_of_bounds();
        }
        const MatrixPair& pair = pairs[i];
        const double f = exit_medium_factor(n(0, w), n(n.rows - 1, w), s, c);
        const double bs = complex_abs(reciprocal(pair.s.m00));
        const double bp = complex_abs(reciprocal(pair.p.m00));
        out[i] = with_one_nan(f * (((sp * sp) * (bp * bp)) + ((cp * cp) * (bs * bs))));
    }
}

OwnedBuffer<double> reflectance_spectrum(std::span<const MatrixPair> pairs, double phi) {
    OwnedBuffer<double> r = OwnedBuffer<double>::allocate(pairs.size());
    reflectance_values(pairs, phi, r.data());
    return r;
}

OwnedBuffer<double> transmittance_spectrum(std::span<const MatrixPair> pairs,
                                           const ComplexMatrix& n, double theta, double phi) {
    OwnedBuffer<double> t = OwnedBuffer<double>::allocate(pairs.size());
    transmittance_values(pairs, 0, n.view(), theta, phi, t.data());
    return t;
}

}  // namespace lamiro
