// SPDX-License-Identifier: MIT
#pragma once

// The pieces of the transfer-matrix product on packs of wavelengths, each
// by exactly the operations of the reference kernel (reference_stack_matrix
// .cpp) in the same order, so that every lane has the reference bits: the
// terms of a medium (K, C, n·C), the S and P interface entries, the normal
// wave number κ with the exponent factors κ·i and κ·(−i), the phase factors
// e₊ and e₋ of a layer, and one step M ← I·(E·M) of the product. The layer
// sweeps build on them; they are the same formulas as the pair kernel's
// (stack_matrix_pair.cpp).
//
// Also the storage of a pack between passes: LaneComplex keeps the lanes of
// one complex quantity side by side (real parts, then imaginary parts, room
// for the widest pack), so a pass compiled for one instruction set can leave
// values that another pass, compiled for the same pack width, loads as one
// vector per component.

#include <cstring>

#include "optics/complex.hpp"
#include "optics/layer_phase.hpp"
#include "optics/packed_complex.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

// The widest pack any variant evaluates.
inline constexpr int max_pack_lanes = 4;

// One complex quantity of every lane of a pack.
struct alignas(64) LaneComplex {
    double re[max_pack_lanes];
    double im[max_pack_lanes];

    Complex lane(int i) const noexcept { return {re[i], im[i]}; }
    void set_lane(int i, Complex z) noexcept {
        re[i] = z.re;
        im[i] = z.im;
    }
};

// A 2×2 complex matrix of every lane, row-major.
struct LaneMatrix {
    LaneComplex m00, m01, m10, m11;
};

// A complex row vector (x0, x1) of every lane.
struct LaneRow {
    LaneComplex x0, x1;
};

namespace packed {

template <int L>
LAMIRO_PACKED_INLINE Pack<L> load(const double* values) {
    Pack<L> pack;
    std::memcpy(&pack, values, sizeof pack);
    return pack;
}

template <int L>
LAMIRO_PACKED_INLINE void store(const Pack<L>& pack, double* values) {
    std::memcpy(values, &pack, sizeof pack);
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> load(const LaneComplex& z) {
    return {load<L>(z.re), load<L>(z.im)};
}

template <int L>
LAMIRO_PACKED_INLINE void store(const PackedComplex<L>& z, LaneComplex& out) {
    store<L>(z.re, out.re);
    store<L>(z.im, out.im);
}

template <int L>
struct PackedMatrix {
    PackedComplex<L> m00, m01, m10, m11;
};

template <int L>
LAMIRO_PACKED_INLINE PackedMatrix<L> load(const LaneMatrix& m) {
    return {load<L>(m.m00), load<L>(m.m01), load<L>(m.m10), load<L>(m.m11)};
}

template <int L>
LAMIRO_PACKED_INLINE void store(const PackedMatrix<L>& m, LaneMatrix& out) {
    store<L>(m.m00, out.m00);
    store<L>(m.m01, out.m01);
    store<L>(m.m10, out.m10);
    store<L>(m.m11, out.m11);
}

// Real part of the complex product a·b, as the product formula rounds it.
template <int L>
LAMIRO_PACKED_INLINE Pack<L> real_of_product(const PackedComplex<L>& a, const PackedComplex<L>& b) {
    return a.re * b.re - a.im * b.im;
}

// conj(a)·b.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> conj_mul(const PackedComplex<L>& a,
                                               const PackedComplex<L>& b) {
    return {a.re * b.re + a.im * b.im, a.re * b.im - a.im * b.re};
}

// |z|² as re² + im² (for derivatives and fluxes, not for the spectra,
// which square a hypot).
template <int L>
LAMIRO_PACKED_INLINE Pack<L> norm(const PackedComplex<L>& z) {
    return z.re * z.re + z.im * z.im;
}

template <int L>
LAMIRO_PACKED_INLINE Pack<L> abs(const Pack<L>& x) {
    return x < Pack<L>{} ? -x : x;  // −0.0 stays −0.0, harmless for a magnitude
}

template <int L>
LAMIRO_PACKED_INLINE Pack<L> max(const Pack<L>& a, const Pack<L>& b) {
    return a > b ? a : b;
}

}  // namespace packed

namespace packed_terms {

using packed::Pack;
using packed::PackedComplex;
using packed::PackedMatrix;

// The terms of a medium that interfaces and phase factors need.
template <int L>
struct Medium {
    PackedComplex<L> n;   // refractive index
    PackedComplex<L> k;   // normal wave-vector term K = sqrt(n·n − B)
    PackedComplex<L> c;   // complex cosine C = K/n
    PackedComplex<L> nc;  // n·C: U of the S interface leaving it, V of the one entering it
};

template <int L>
struct Interface {
    PackedComplex<L> inv_tau;       // 1/τ
    PackedComplex<L> rho_over_tau;  // ρ/τ
};

// The stack invariant B = β·β with β = n_0·sin θ.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> stack_invariant(const PackedComplex<L>& n0,
                                                      double sin_theta) {
    const PackedComplex<L> beta = packed::scale(n0, sin_theta);
    return packed::mul(beta, beta);
}

// K = sqrt(n·n − B) lane by lane (branches and library calls stay scalar),
// then C = K/n and n·C.
template <int L>
LAMIRO_PACKED_INLINE Medium<L> medium(const PackedComplex<L>& n, const PackedComplex<L>& b) {
    const PackedComplex<L> x = packed::sub(packed::mul(n, n), b);
    Complex roots[L];
    for (int i = 0; i < L; ++i) roots[i] = complex_sqrt(packed::lane(x, i));
    const PackedComplex<L> k = packed::from_lanes<L>(roots);
    const PackedComplex<L> c = packed::div(k, n);
    return {n, k, c, packed::mul(n, c)};
}

// Interface entries from the numerator of τ (shared by both polarisations)
// and the polarisation's U and V: τ = numerator/(U+V), ρ = (U−V)/(U+V).
template <int L>
LAMIRO_PACKED_INLINE Interface<L> interface_from(const PackedComplex<L>& numerator,
                                                 const PackedComplex<L>& u,
                                                 const PackedComplex<L>& v) {
    const PackedComplex<L> denominator = packed::add(u, v);
    const Pack<L> q_denominator = packed::quotient_denominator(denominator);
    const PackedComplex<L> tau = packed::div(numerator, denominator, q_denominator);
    const PackedComplex<L> rho = packed::div(packed::sub(u, v), denominator, q_denominator);
    const Pack<L> q_tau = packed::quotient_denominator(tau);
    return {packed::reciprocal(tau, q_tau), packed::div(rho, tau, q_tau)};
}

// The S and P interfaces from medium a to medium b: S has U = n_a·C_a,
// V = n_b·C_b; P has U = n_b·C_a, V = n_a·C_b; both τ numerators are
// (n_a·2)·C_a.
template <int L>
LAMIRO_PACKED_INLINE void interfaces(const Medium<L>& a, const Medium<L>& b, Interface<L>& s,
                                     Interface<L>& p) {
    const PackedComplex<L> numerator = packed::mul(packed::scale(a.n, 2.0), a.c);
    s = interface_from(numerator, a.nc, b.nc);
    p = interface_from(numerator, packed::mul(b.n, a.c), packed::mul(a.n, b.c));
}

// κ = (n·(C·2π))/λ, the normal wave number of a medium.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> wave_number(const Medium<L>& m, const Pack<L>& lambda) {
    return packed::div_real(packed::mul(m.n, packed::scale(m.c, two_pi)), lambda);
}

template <int L>
LAMIRO_PACKED_INLINE bool all_finite(const Pack<L>& x) {
    const auto finite = (x - x) == Pack<L>{};  // inf − inf and NaN − NaN are NaN
    bool all = true;
    for (int i = 0; i < L; ++i) all = all && finite[i] != 0;
    return all;
}

// e₊ = e^plus and e₋ = e^minus lane by lane, as phase_factors gives them:
// with finite real parts every lane takes the general formula of
// complex_exp, so only the library calls are made per lane.
template <int L>
LAMIRO_PACKED_INLINE void phase_factors(const PackedComplex<L>& plus, const PackedComplex<L>& minus,
                                        PackedComplex<L>& e_plus, PackedComplex<L>& e_minus) {
    if (!all_finite<L>(plus.re) || !all_finite<L>(minus.re)) {
        Complex ep[L];
        Complex em[L];
        for (int i = 0; i < L; ++i) {
            lamiro::phase_factors(packed::lane(plus, i), packed::lane(minus, i), ep[i], em[i]);
        }
        e_plus = packed::from_lanes<L>(ep);
        e_minus = packed::from_lanes<L>(em);
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
        return packed::make_pack<L>([&](int i) LAMIRO_PACKED_LAMBDA { return values[i]; });
    };
    const Pack<L> e_p = pack(exp_plus);
    const Pack<L> e_m = pack(exp_minus);
    e_plus = {e_p * pack(cos_plus), e_p * pack(sin_plus)};
    e_minus = {e_m * pack(cos_minus), e_m * pack(sin_minus)};
}

// The phase factors of a layer of wave number κ and thickness h:
// e₊ = exp((κ·i)·h), e₋ = exp((κ·(−i))·h).
template <int L>
LAMIRO_PACKED_INLINE void layer_phase_factors(const PackedComplex<L>& kappa, double h,
                                              PackedComplex<L>& e_plus, PackedComplex<L>& e_minus) {
    phase_factors(packed::scale(packed::mul_i(kappa), h),
                  packed::scale(packed::mul_neg_i(kappa), h), e_plus, e_minus);
}

template <int L>
LAMIRO_PACKED_INLINE PackedMatrix<L> interface_matrix(const Interface<L>& i) {
    return {i.inv_tau, i.rho_over_tau, i.rho_over_tau, i.inv_tau};
}

// I·(E·M) with E = [[e₋, 0], [0, e₊]] and I = [[1/τ, ρ/τ], [ρ/τ, 1/τ]]:
// full 2×2 products including the zero entries of E, which decide what an
// infinite or NaN entry of M turns into.
template <int L>
LAMIRO_PACKED_INLINE PackedMatrix<L> propagate_and_cross(const PackedMatrix<L>& m,
                                                         const PackedComplex<L>& e_minus,
                                                         const PackedComplex<L>& e_plus,
                                                         const Interface<L>& next) {
    using packed::add;
    using packed::mul;
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

}  // namespace packed_terms
}  // namespace lamiro

#pragma GCC diagnostic pop
