// SPDX-License-Identifier: MIT
#include "optics/stack_matrix_pair.hpp"

#include <cmath>

#include "common/internal_fault.hpp"
#include "optics/layer_phase.hpp"
#include "optics/packed_complex.hpp"

// Packs of four only cross always_inline calls inside AVX2 code (see
// packed_complex.hpp); the warnings about their out-of-line calling
// convention, which GCC gives at the end of the file, do not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using packed::Pack;
using packed::PackedComplex;

// The stack as the kernel reads it, with sin θ taken once per range (the
// reference recomputes the same value for every wavelength).
struct StackView {
    const RealVector& d;
    const ComplexMatrix& n;
    const RealVector& wl;
    double sin_theta;
    std::size_t media;
};

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

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> load_index(const ComplexMatrix& n, std::size_t j,
                                                 std::size_t w0) {
    Complex values[L];
    for (int i = 0; i < L; ++i) values[i] = n(j, w0 + static_cast<std::size_t>(i));
    return packed::from_lanes<L>(values);
}

// n·n − B, the argument of the square root of K.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> radicand(const PackedComplex<L>& n,
                                               const PackedComplex<L>& b) {
    return packed::sub(packed::mul(n, n), b);
}

// K = sqrt(x) lane by lane: branches and library calls stay scalar.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> normal_term(const PackedComplex<L>& x) {
    Complex k[L];
    for (int i = 0; i < L; ++i) k[i] = complex_sqrt(packed::lane(x, i));
    return packed::from_lanes<L>(k);
}

template <int L>
LAMIRO_PACKED_INLINE PackedMedium<L> medium(const PackedComplex<L>& n, const PackedComplex<L>& k) {
    const PackedComplex<L> c = packed::div(k, n);
    return {n, c, packed::mul(n, c)};
}

// Interface matrix entries from the numerator of τ (shared by both
// polarisations) and the polarisation's U and V; the quotients by D and by
// τ each share their denominator |D|², |τ|².
template <int L>
LAMIRO_PACKED_INLINE PackedInterface<L> interface_from(const PackedComplex<L>& numerator,
                                                       const PackedComplex<L>& u,
                                                       const PackedComplex<L>& v) {
    const PackedComplex<L> denominator = packed::add(u, v);
    const Pack<L> q_denominator = packed::quotient_denominator(denominator);
    const PackedComplex<L> tau = packed::div(numerator, denominator, q_denominator);
    const PackedComplex<L> rho = packed::div(packed::sub(u, v), denominator, q_denominator);
    const Pack<L> q_tau = packed::quotient_denominator(tau);
    return {packed::reciprocal(tau, q_tau), packed::div(rho, tau, q_tau)};
}

// The S and P interfaces from medium a to medium b.
template <int L>
LAMIRO_PACKED_INLINE void interfaces(const PackedMedium<L>& a, const PackedMedium<L>& b,
                                     PackedInterface<L>& s, PackedInterface<L>& p) {
    const PackedComplex<L> numerator = packed::mul(packed::scale(a.n, 2.0), a.c);
    s = interface_from(numerator, a.nc, b.nc);
    p = interface_from(numerator, packed::mul(b.n, a.c), packed::mul(a.n, b.c));
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

template <int L>
LAMIRO_PACKED_INLINE bool all_finite(Pack<L> x) {
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
            phase_factors(packed::lane(plus, i), packed::lane(minus, i), ep[i], em[i]);
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

template <int L>
LAMIRO_PACKED_INLINE TransferMatrix matrix_lane(const PackedMatrix<L>& m, int i) {
    return {packed::lane(m.m00, i), packed::lane(m.m01, i), packed::lane(m.m10, i),
            packed::lane(m.m11, i)};
}

// Both matrices of wavelengths w0 … w0+L−1. The caller has checked that
// every read is inside the arrays.
template <int L>
LAMIRO_PACKED_INLINE void pair_pack(const StackView& stack, std::size_t w0, MatrixPair* out) {
    const Pack<L> lambda = packed::make_pack<L>(
        [&](int i) LAMIRO_PACKED_LAMBDA { return stack.wl[w0 + static_cast<std::size_t>(i)]; });

    const PackedComplex<L> n0 = load_index<L>(stack.n, 0, w0);
    const PackedComplex<L> beta = packed::scale(n0, stack.sin_theta);
    const PackedComplex<L> b = packed::mul(beta, beta);
    const auto medium_at = [&](std::size_t j) LAMIRO_PACKED_LAMBDA {
        const PackedComplex<L> n = load_index<L>(stack.n, j, w0);
        return medium(n, normal_term(radicand(n, b)));
    };

    // The media are computed one step ahead of the layer loop: medium k+2
    // depends on nothing that layer k computes, so its library calls can
    // run while the quotients and products of layer k are still in flight.
    PackedMedium<L> current = medium(n0, normal_term(radicand(n0, b)));
    PackedMedium<L> next = medium_at(1);
    PackedInterface<L> s_interface;
    PackedInterface<L> p_interface;
    interfaces(current, next, s_interface, p_interface);
    PackedMatrix<L> s = interface_matrix(s_interface);
    PackedMatrix<L> p = interface_matrix(p_interface);
    PackedMedium<L> after;
    if (stack.media > 2) after = medium_at(2);

    for (std::size_t k = 1; k + 1 < stack.media; ++k) {
        const double h = stack.d[k - 1];
        current = next;
        next = after;

        const PackedComplex<L> kappa =
            packed::div_real(packed::mul(current.n, packed::scale(current.c, two_pi)), lambda);
        const PackedComplex<L> plus = packed::scale(packed::mul_i(kappa), h);
        const PackedComplex<L> minus = packed::scale(packed::mul_neg_i(kappa), h);
        PackedComplex<L> e_plus;
        PackedComplex<L> e_minus;
        phase_factor_pack(plus, minus, e_plus, e_minus);

        interfaces(current, next, s_interface, p_interface);
        s = propagate_and_cross(s, e_minus, e_plus, s_interface);
        p = propagate_and_cross(p, e_minus, e_plus, p_interface);

        if (k + 2 < stack.media) after = medium_at(k + 2);
    }

    for (int i = 0; i < L; ++i) out[i] = MatrixPair{matrix_lane(s, i), matrix_lane(p, i)};
}

[[gnu::noinline]] void pairs_of_one(const StackView& stack, std::size_t w0, MatrixPair* out) {
    pair_pack<1>(stack, w0, out);
}

#if defined(__x86_64__)
// Packs of two use SSE2, which every x86-64 processor has.
[[gnu::noinline]] void pairs_of_two(const StackView& stack, std::size_t w0, MatrixPair* out) {
    pair_pack<2>(stack, w0, out);
}

// AVX2 without FMA: the packed operations are the same roundings as the
// SSE2 ones, four lanes wide.
[[gnu::noinline, gnu::target("avx2")]] void pairs_of_four(const StackView& stack, std::size_t w0,
                                                          MatrixPair* out) {
    pair_pack<4>(stack, w0, out);
}
#endif

// Throws the index fault when stack_transfer_matrix would throw it for
// some wavelength index below `end` (end > 0): the reads depend only on the
// shapes, and the highest index reads the farthest.
void check_reads(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                 std::size_t end) {
    const std::size_t last = end - 1;
    if (last >= wl.size()) throw_index_out_of_bounds();
    if (n.rows < 1 || last >= n.cols) throw_index_out_of_bounds();
    if (n.rows < 2) throw_index_out_of_bounds();
    if (d.size() < n.rows - 2) throw_index_out_of_bounds();
}

}  // namespace

PackWidth widest_pack_width() noexcept {
#if defined(__x86_64__)
    static const PackWidth widest =
        __builtin_cpu_supports("avx2") ? PackWidth::four : PackWidth::two;
    return widest;
#else
    return PackWidth::one;
#endif
}

void stack_matrix_pairs(PackWidth width, const RealVector& d, const ComplexMatrix& n,
                        const RealVector& wl, double theta, std::size_t begin, std::size_t end,
                        MatrixPair* out) {
    if (begin >= end) return;
    check_reads(d, n, wl, end);
    if (static_cast<int>(width) > static_cast<int>(widest_pack_width())) {
        width = widest_pack_width();
    }
    const StackView stack{d, n, wl, std::sin(theta), n.rows};
    std::size_t w = begin;
#if defined(__x86_64__)
    if (width == PackWidth::four) {
        for (; end - w >= 4; w += 4) pairs_of_four(stack, w, out + (w - begin));
    }
    if (width != PackWidth::one) {
        for (; end - w >= 2; w += 2) pairs_of_two(stack, w, out + (w - begin));
    }
#endif
    for (; w < end; ++w) pairs_of_one(stack, w, out + (w - begin));
}

void stack_matrix_pairs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                        double theta, std::size_t begin, std::size_t end, MatrixPair* out) {
    stack_matrix_pairs(widest_pack_width(), d, n, wl, theta, begin, end, out);
}

MatrixPair stack_matrix_pair(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                             double theta, std::size_t w) {
    if (w >= wl.size()) throw_index_out_of_bounds();
    MatrixPair pair;
    stack_matrix_pairs(PackWidth::one, d, n, wl, theta, w, w + 1, &pair);
    return pair;
}

}  // namespace lamiro
