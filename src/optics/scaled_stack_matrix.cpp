// SPDX-License-Identifier: MIT
#include "optics/scaled_stack_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/internal_fault.hpp"
#include "optics/layer_phase.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/spectra.hpp"

namespace lamiro {

namespace {

constexpr double ln2 = 0.6931471805599453;
// ln 2 split in two, the first part with 21 trailing zero bits, so that
// k·ln2_hi is exact for |k| < 2^21 and x − k·ln 2 loses nothing to it.
constexpr double ln2_hi = 6.93147180369123816490e-01;
constexpr double ln2_lo = 1.90821492927058770002e-10;

// z·2^e, exact unless a component leaves the normal range.
Complex times_power_of_two(Complex z, int e) noexcept {
    return {std::ldexp(z.re, e), std::ldexp(z.im, e)};
}

// The larger modulus of the two components; NaN if either is NaN.
double larger_component(Complex z) noexcept {
    if (std::isnan(z.re) || std::isnan(z.im)) return std::numeric_limits<double>::quiet_NaN();
    return std::max(std::fabs(z.re), std::fabs(z.im));
}

// Brings the largest component of the mantissa into [1, 2) by a power of
// two and moves that power into the scale. A zero, infinite or NaN
// mantissa is left as it is, so that it shows in the coefficients.
void normalise(ScaledTransferMatrix& m) noexcept {
    TransferMatrix& a = m.mantissa;
    double big = 0.0;
    for (Complex z : {a.m00, a.m01, a.m10, a.m11}) {
        const double component = larger_component(z);
        if (!(component <= big)) big = component;  // NaN sticks
    }
    if (!(big > 0.0) || !std::isfinite(big)) return;
    const int e = std::ilogb(big);
    a = {times_power_of_two(a.m00, -e), times_power_of_two(a.m01, -e),
         times_power_of_two(a.m10, -e), times_power_of_two(a.m11, -e)};
    m.log_scale += e * ln2;
}

ScaledTransferMatrix interface_matrix(const InterfaceEntries& i) noexcept {
    ScaledTransferMatrix m{{i.inv_tau, i.rho_over_tau, i.rho_over_tau, i.inv_tau}, 0.0};
    normalise(m);
    return m;
}

// The phase factors of a layer with its growth taken out: e₊·e^(−growth)
// and e₋·e^(−growth), where the growth is the larger real part of the two
// exponents (they are negatives of each other, so it is |Im κ·h|). The
// exponent that carries the growth keeps only its imaginary part, so its
// factor has modulus 1 however large the growth; the other one's factor
// e^(−2·growth) underflows to zero where it should.
struct ScaledPhase {
    Complex e_plus;
    Complex e_minus;
    double growth;
};

ScaledPhase scaled_phase(Complex plus, Complex minus) noexcept {
    const double growth = std::isnan(plus.re) || std::isnan(minus.re)
                              ? std::numeric_limits<double>::quiet_NaN()
                              : std::max(plus.re, minus.re);
    // x == growth also covers an infinite growth, where x − growth is NaN.
    const auto reduced = [growth](Complex z) {
        return Complex{z.re == growth ? 0.0 : z.re - growth, z.im};
    };
    return {complex_exp(reduced(plus)), complex_exp(reduced(minus)), growth};
}

// M ← I·(E·M) on the mantissa, then the growth into the scale.
void propagate_and_cross(ScaledTransferMatrix& m, const ScaledPhase& phase,
                         const InterfaceEntries& next) noexcept {
    m.mantissa = scaled_product_step(m.mantissa, phase.e_minus, phase.e_plus, next);
    m.log_scale += phase.growth;
    normalise(m);
}

// a/b with both first scaled by the power of two that brings the larger
// component of b into [1, 2), so that |b|² neither overflows nor
// underflows. A zero or non-finite b is divided as it is.
Complex balanced_quotient(Complex a, Complex b) noexcept {
    const double big = larger_component(b);
    if (!(big > 0.0) || !std::isfinite(big)) return div(a, b);
    const int e = std::ilogb(big);
    return div(times_power_of_two(a, -e), times_power_of_two(b, -e));
}

}  // namespace

TransferMatrix scaled_product_step(const TransferMatrix& m, Complex e_minus, Complex e_plus,
                                   const InterfaceEntries& next) noexcept {
    const Complex x00 = e_minus * m.m00;
    const Complex x01 = e_minus * m.m01;
    const Complex x10 = e_plus * m.m10;
    const Complex x11 = e_plus * m.m11;
    const Complex t = next.inv_tau;
    const Complex r = next.rho_over_tau;
    return {t * x00 + r * x10, t * x01 + r * x11, r * x00 + t * x10, r * x01 + t * x11};
}

ScaledMatrixPair scaled_stack_matrix_pair(const RealVector& d, const ComplexMatrix& n,
                                          const RealVector& wl, double theta, std::size_t w) {
    if (w >= wl.size()) throw_index_out_of_bounds();
    const std::size_t media = n.rows;
    if (media < 2 || w >= n.cols) throw_index_out_of_bounds();
    const double lambda = wl[w];
    const Complex b = square(scale(n(0, w), std::sin(theta)));

    MediumWave current = medium_wave(n(0, w), b);
    MediumWave next = medium_wave(n(1, w), b);
    ScaledMatrixPair pair{interface_matrix(interface_entries(current, next, Polarisation::S)),
                          interface_matrix(interface_entries(current, next, Polarisation::P))};
    for (std::size_t k = 1; k + 1 < media; ++k) {
        if (k - 1 >= d.size()) throw_index_out_of_bounds();
        const double h = d[k - 1];
        current = next;
        const Complex kappa = div_real(current.n * scale(current.c, two_pi), lambda);
        const ScaledPhase phase = scaled_phase(scale(mul_i(kappa), h), scale(mul_neg_i(kappa), h));
        next = medium_wave(n(k + 1, w), b);
        propagate_and_cross(pair.s, phase, interface_entries(current, next, Polarisation::S));
        propagate_and_cross(pair.p, phase, interface_entries(current, next, Polarisation::P));
    }
    return pair;
}

Complex reflection_amplitude(const ScaledTransferMatrix& m) noexcept {
    return balanced_quotient(m.mantissa.m01, m.mantissa.m00);
}

Complex transmission_amplitude(const ScaledTransferMatrix& m) noexcept {
    const Complex m00 = m.mantissa.m00;
    const double big = larger_component(m00);
    if (!(big > 0.0) || !std::isfinite(big) || std::isnan(m.log_scale)) {
        return scale(reciprocal(m00), std::exp(-m.log_scale));
    }
    // 1/m00 = (1/(m00·2^−e))·2^−e·e^−log_scale, and e^−log_scale = 2^k·e^f
    // with |f| ≤ ln2/2; the powers of two are applied last, in one step.
    const int e = std::ilogb(big);
    const Complex inverse = reciprocal(times_power_of_two(m00, -e));  // modulus in (0.35, 1]
    // Beyond |log_scale| = 3000 the coefficient is below the smallest
    // subnormal or above the largest finite value whatever e is.
    constexpr int saturated = 5000;
    int k;
    double f;
    if (std::fabs(m.log_scale) < 3000.0) {
        k = static_cast<int>(std::nearbyint(-m.log_scale / ln2));
        f = (-m.log_scale - k * ln2_hi) - k * ln2_lo;
    } else {
        k = m.log_scale > 0.0 ? -saturated : saturated;
        f = 0.0;
    }
    return times_power_of_two(scale(inverse, std::exp(f)), k - e);
}

double scaled_reflectance(const ScaledMatrixPair& pair, double phi) noexcept {
    const double sp = std::sin(phi);
    const double cp = std::cos(phi);
    const double as = complex_abs(reflection_amplitude(pair.s));
    const double ap = complex_abs(reflection_amplitude(pair.p));
    return ((sp * sp) * (ap * ap)) + ((cp * cp) * (as * as));
}

double scaled_transmittance(const ScaledMatrixPair& pair, Complex n0, Complex nl, double theta,
                            double phi) noexcept {
    const double sp = std::sin(phi);
    const double cp = std::cos(phi);
    const double f = exit_medium_factor(n0, nl, std::sin(theta), std::cos(theta));
    const double bs = complex_abs(transmission_amplitude(pair.s));
    const double bp = complex_abs(transmission_amplitude(pair.p));
    return f * (((sp * sp) * (bp * bp)) + ((cp * cp) * (bs * bs)));
}

}  // namespace lamiro
