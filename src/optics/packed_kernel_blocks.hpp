// SPDX-License-Identifier: MIT
#pragma once

// The building blocks of the transfer-matrix kernels on packs of L
// wavelengths: the terms of a medium, the Fresnel interfaces of both
// polarisations, the phase factors of a layer and one step of the product
// chain M = I_k·(E_k·M). Each is the reference kernel's sequence of
// operations (reference_stack_matrix.cpp) lane by lane, so every kernel
// built from them gives the reference bits; they are shared by the kernel
// of the whole stack and by the kernels that evaluate parts of it.
//
// Everything is always_inline (LAMIRO_PACKED_INLINE): it is compiled with
// the instruction set of the kernel function it ends up in
// (kernel_dispatch.hpp).

#include <cstddef>

#include "optics/array_view.hpp"
#include "optics/complex.hpp"
#include "optics/layer_phase.hpp"
#include "optics/packed_complex.hpp"
#include "optics/transfer_matrix.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro::packed {

template <int L>
struct PackedMedium {
    PackedComplex<L> n;   // refractive index
    PackedComplex<L> c;   // complex cosine C = K/n
    PackedComplex<L> nc;  // n·C: U of the S interface leaving it, V of the one entering it
};

template <int L>
struct PackedInterface {
    PackedComplex<L> inv_tau;       // 1/τ
    PackedComplex<L> rho_over_tau;  // ρ/τ
};

template <int L>
struct PackedMatrix {
    PackedComplex<L> m00, m01, m10, m11;
};

// Elements w0 … w0+L−1 of a complex row.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> load_row(const ComplexRow& row, std::size_t w0) {
    Complex values[L];
    for (int i = 0; i < L; ++i) values[i] = row[w0 + static_cast<std::size_t>(i)];
    return from_lanes<L>(values);
}

// Medium j of `n` at wavelengths w0 … w0+L−1.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> load_index(const ComplexView& n, std::size_t j,
                                                 std::size_t w0) {
    Complex values[L];
    for (int i = 0; i < L; ++i) values[i] = n(j, w0 + static_cast<std::size_t>(i));
    return from_lanes<L>(values);
}

// The wavelengths λ of the pack that starts at w0.
template <int L>
LAMIRO_PACKED_INLINE Pack<L> wavelengths(const RealView& wl, std::size_t w0) {
    return make_pack<L>([&](int i)
                            LAMIRO_PACKED_LAMBDA { return wl[w0 + static_cast<std::size_t>(i)]; });
}

// The stack invariant B = β·β with β = n_source·sin θ (scaling by the real
// sin θ, then the complex square).
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> stack_invariant(const PackedComplex<L>& source,
                                                      double sin_theta) {
    const PackedComplex<L> beta = scale(source, sin_theta);
    return mul(beta, beta);
}

// n·n − B, the argument of the square root of K.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> radicand(const PackedComplex<L>& n,
                                               const PackedComplex<L>& b) {
    return sub(mul(n, n), b);
}

// K = sqrt(x) lane by lane: branches and library calls stay scalar.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> normal_term(const PackedComplex<L>& x) {
    Complex k[L];
    for (int i = 0; i < L; ++i) k[i] = complex_sqrt(lane(x, i));
    return from_lanes<L>(k);
}

template <int L>
LAMIRO_PACKED_INLINE PackedMedium<L> medium(const PackedComplex<L>& n, const PackedComplex<L>& k) {
    const PackedComplex<L> c = div(k, n);
    return {n, c, mul(n, c)};
}

// The terms of a medium of index n in a stack of invariant B.
template <int L>
LAMIRO_PACKED_INLINE PackedMedium<L> medium_of(const PackedComplex<L>& n,
                                               const PackedComplex<L>& b) {
    return medium(n, normal_term(radicand(n, b)));
}

// Interface matrix entries from the numerator of τ (shared by both
// polarisations) and the polarisation's U and V; the quotients by D and by
// τ each share their denominator |D|², |τ|².
template <int L>
LAMIRO_PACKED_INLINE PackedInterface<L> interface_from(const PackedComplex<L>& numerator,
                                                       const PackedComplex<L>& u,
                                                       const PackedComplex<L>& v) {
    const PackedComplex<L> denominator = add(u, v);
    const Pack<L> q_denominator = quotient_denominator(denominator);
    const PackedComplex<L> tau = div(numerator, denominator, q_denominator);
    const PackedComplex<L> rho = div(sub(u, v), denominator, q_denominator);
    const Pack<L> q_tau = quotient_denominator(tau);
    return {reciprocal(tau, q_tau), div(rho, tau, q_tau)};
}

// The S and P interfaces from medium a to medium b.
template <int L>
LAMIRO_PACKED_INLINE void interfaces(const PackedMedium<L>& a, const PackedMedium<L>& b,
                                     PackedInterface<L>& s, PackedInterface<L>& p) {
    const PackedComplex<L> numerator = mul(scale(a.n, 2.0), a.c);
    s = interface_from(numerator, a.nc, b.nc);
    p = interface_from(numerator, mul(b.n, a.c), mul(a.n, b.c));
}

template <int L>
LAMIRO_PACKED_INLINE PackedMatrix<L> interface_matrix(const PackedInterface<L>& i) {
    return {i.inv_tau, i.rho_over_tau, i.rho_over_tau, i.inv_tau};
}

// I·(E·M) with E = [[e₋, 0], [0, e₊]], full 2×2 products including the
// zero entries of E, as in reference_stack_matrix.cpp.
template <int L>
LAMIRO_PACKED_INLINE PackedMatrix<L> propagate_and_cross(const PackedMatrix<L>& m,
                                                         const PackedComplex<L>& e_minus,
                                                         const PackedComplex<L>& e_plus,
                                                         const PackedInterface<L>& next) {
    constexpr Complex zero{0.0, 0.0};
    const PackedComplex<L> x00 = add(mul(e_minus, m.m00), mul(zero, m.m10));
    const PackedComplex<L> x01 = add(mul(e_minus, m.m01), mul(zero, m.m11));
    const PackedComplex<L> x10 = add(mul(zero, m.m00), mul(e_plus, m.m10));
    const PackedComplex<L> x11 = add(mul(zero, m.m01), mul(e_plus, m.m11));
    const PackedComplex<L>& t = next.inv_tau;
    const PackedComplex<L>& r = next.rho_over_tau;
    return {add(mul(t, x00), mul(r, x10)), add(mul(t, x01), mul(r, x11)),
            add(mul(r, x00), mul(t, x10)), add(mul(r, x01), mul(t, x11))};
}

// The normal wave number κ = (n·(C·2π))/λ of a medium, and from it the
// factors κ·i and κ·(−i) that a layer's thickness h scales into the
// exponents of its phase factors, (κ·i)·h and (κ·(−i))·h.
template <int L>
struct PackedPhaseTerms {
    PackedComplex<L> kappa_i;
    PackedComplex<L> kappa_neg_i;
};

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> wave_number(const PackedMedium<L>& m, const Pack<L>& lambda) {
    return div_real(mul(m.n, scale(m.c, two_pi)), lambda);
}

template <int L>
LAMIRO_PACKED_INLINE PackedPhaseTerms<L> phase_terms(const PackedComplex<L>& kappa) {
    return {mul_i(kappa), mul_neg_i(kappa)};
}

template <int L>
LAMIRO_PACKED_INLINE PackedPhaseTerms<L> phase_terms(const PackedMedium<L>& m,
                                                     const Pack<L>& lambda) {
    return phase_terms(wave_number(m, lambda));
}

template <int L>
LAMIRO_PACKED_INLINE bool all_finite(const Pack<L>& x) {
    const auto finite = (x - x) == Pack<L>{};  // inf − inf and NaN − NaN are NaN
    bool all = true;
    for (int i = 0; i < L; ++i) all = all && finite[i] != 0;
    return all;
}

// e₊ = e^plus and e₋ = e^minus lane by lane, as phase_factors gives them.
// Every corner case of complex_exp has a non-finite real part, so with
// finite real parts it takes its general formula in every lane; then only
// the library calls are made per lane and the products e·cos, e·sin are
// packed. Otherwise each lane goes through phase_factors.
template <int L>
LAMIRO_PACKED_INLINE void phase_factor_pack(const PackedComplex<L>& plus,
                                            const PackedComplex<L>& minus, PackedComplex<L>& e_plus,
                                            PackedComplex<L>& e_minus) {
    if (!all_finite<L>(plus.re) || !all_finite<L>(minus.re)) {
        Complex ep[L];
        Complex em[L];
        for (int i = 0; i < L; ++i) {
            phase_factors(lane(plus, i), lane(minus, i), ep[i], em[i]);
        }
        e_plus = from_lanes<L>(ep);
        e_minus = from_lanes<L>(em);
        return;
    }
    double exp_plus[L];
    double exp_minus[L];
    double sin_plus[L];
    double cos_plus[L];
    double sin_minus[L];
    double cos_minus[L];
    for (int i = 0; i < L; ++i) {
        exponent_sincos(plus.im[i], minus.im[i], sin_plus[i], cos_plus[i], sin_minus[i],
                        cos_minus[i]);
        exp_plus[i] = exp_or_one(plus.re[i]);
        exp_minus[i] = exp_or_one(minus.re[i]);
    }
    const auto pack = [](const double(&values)[L]) LAMIRO_PACKED_LAMBDA {
        return make_pack<L>([&](int i) LAMIRO_PACKED_LAMBDA { return values[i]; });
    };
    const Pack<L> e_p = pack(exp_plus);
    const Pack<L> e_m = pack(exp_minus);
    e_plus = {e_p * pack(cos_plus), e_p * pack(sin_plus)};
    e_minus = {e_m * pack(cos_minus), e_m * pack(sin_minus)};
}

// The phase factors of a layer of thickness h.
template <int L>
LAMIRO_PACKED_INLINE void layer_phase_factors(const PackedPhaseTerms<L>& terms, double h,
                                              PackedComplex<L>& e_plus, PackedComplex<L>& e_minus) {
    phase_factor_pack(scale(terms.kappa_i, h), scale(terms.kappa_neg_i, h), e_plus, e_minus);
}

template <int L>
LAMIRO_PACKED_INLINE TransferMatrix matrix_lane(const PackedMatrix<L>& m, int i) {
    return {lane(m.m00, i), lane(m.m01, i), lane(m.m10, i), lane(m.m11, i)};
}

}  // namespace lamiro::packed

#pragma GCC diagnostic pop
