// SPDX-License-Identifier: MIT
#include "optics/reference_stack_matrix.hpp"

#include <cmath>

#include "common/internal_fault.hpp"
#include "optics/layer_phase.hpp"

namespace lamiro {

namespace {

constexpr Complex complex_zero{0.0, 0.0};

// I·(E·M) for the interface matrix I = [[t, r], [r, t]] (t = 1/τ, r = ρ/τ)
// and the phase matrix E = [[e_minus, 0], [0, e_plus]]. Both are full 2×2
// products, the products with the zero entries of E included: they decide
// what an infinite or NaN entry of M turns into.
TransferMatrix propagate_and_cross(const TransferMatrix& m, Complex e_minus, Complex e_plus,
                                   const InterfaceEntries& next) noexcept {
    const Complex x00 = e_minus * m.m00 + complex_zero * m.m10;
    const Complex x01 = e_minus * m.m01 + complex_zero * m.m11;
    const Complex x10 = complex_zero * m.m00 + e_plus * m.m10;
    const Complex x11 = complex_zero * m.m01 + e_plus * m.m11;
    const Complex t = next.inv_tau;
    const Complex r = next.rho_over_tau;
    return TransferMatrix{
        t * x00 + r * x10,
        t * x01 + r * x11,
        r * x00 + t * x10,
        r * x01 + t * x11,
    };
}

}  // namespace

MediumWave medium_wave(Complex n, Complex b) noexcept {
    const Complex k = complex_sqrt(square(n) - b);
    return MediumWave{n, k, div(k, n)};
}

InterfaceEntries interface_entries(const MediumWave& from, const MediumWave& to,
                                   Polarisation polarisation) noexcept {
    Complex u;
    Complex v;
    if (polarisation == Polarisation::S) {
        u = from.n * from.c;
        v = to.n * to.c;
    } else {
        u = to.n * from.c;
        v = from.n * to.c;
    }
    const Complex denominator = u + v;
    const Complex tau = div(scale(from.n, 2.0) * from.c, denominator);
    const Complex rho = div(u - v, denominator);
    return InterfaceEntries{reciprocal(tau), div(rho, tau)};
}

TransferMatrix stack_transfer_matrix(const RealVector& d, const ComplexMatrix& n,
                                     const RealVector& wl, double theta, std::size_t w,
                                     Polarisation polarisation) {
    if (w >= wl.size()) {
        throw_index_out_of_bounds();
    }
    const std::size_t media = n.rows;
    if (media < 1 || w >= n.cols) {
        throw_index_out_of_bounds();
    }
    const double lambda = wl[w];
    const Complex n0 = n(0, w);
    const double s = std::sin(theta);
    if (media < 2) {
        throw_index_out_of_bounds();
    }

    // θ enters only through B = (n_0·sin θ)², the conserved tangential
    // wave-vector term squared.
    const Complex b = square(scale(n0, s));

    MediumWave current = medium_wave(n0, b);
    MediumWave next = medium_wave(n(1, w), b);
    InterfaceEntries interface = interface_entries(current, next, polarisation);
    TransferMatrix m{interface.inv_tau, interface.rho_over_tau, interface.rho_over_tau,
                     interface.inv_tau};

    for (std::size_t k = 1; k + 1 < media; ++k) {
        if (k - 1 >= d.size()) {
            throw_index_out_of_bounds();
        }
        const double h = d[k - 1];
        current = next;

        const Complex kappa = div_real(current.n * scale(current.c, two_pi), lambda);
        const Complex e_plus = complex_exp(scale(mul_i(kappa), h));
        const Complex e_minus = complex_exp(scale(mul_neg_i(kappa), h));

        next = medium_wave(n(k + 1, w), b);
        interface = interface_entries(current, next, polarisation);
        m = propagate_and_cross(m, e_minus, e_plus, interface);
    }
    return m;
}

}  // namespace lamiro
