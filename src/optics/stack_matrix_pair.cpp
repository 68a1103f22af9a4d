// SPDX-License-Identifier: MIT
#include "optics/stack_matrix_pair.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "common/internal_fault.hpp"
#include "optics/layer_phase.hpp"
#include "optics/packed_complex.hpp"

// Packs of four only cross always_inline calls inside AVX2 and AVX-512VL
// code (see packed_complex.hpp); the warnings about their out-of-line calling
// convention, which GCC gives at the end of the file, do not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using packed::Pack;
using packed::PackedComplex;

// The stack as the kernel reads it, with sin θ taken once per range (the
// reference recomputes the same value for every wavelength), and the range
// [begin, end) being evaluated.
struct StackView {
    const RealVector& d;
    const ComplexMatrix& n;
    const RealVector& wl;
    double sin_theta;
    std::size_t media;
    std::size_t begin;
    std::size_t end;
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

// The normal wave number κ = (n·(C·2π))/λ of a medium, and from it the
// factors κ·i and κ·(−i) that a layer's thickness h scales into the
// exponents of its phase factors, (κ·i)·h and (κ·(−i))·h.
template <int L>
struct PackedPhaseTerms {
    PackedComplex<L> kappa_i;
    PackedComplex<L> kappa_neg_i;
};

template <int L>
LAMIRO_PACKED_INLINE PackedPhaseTerms<L> phase_terms(const PackedMedium<L>& m,
                                                     const Pack<L>& lambda) {
    const PackedComplex<L> kappa =
        packed::div_real(packed::mul(m.n, packed::scale(m.c, two_pi)), lambda);
    return {packed::mul_i(kappa), packed::mul_neg_i(kappa)};
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

// The phase factors of a layer of thickness h.
template <int L>
LAMIRO_PACKED_INLINE void layer_phase_factors(const PackedPhaseTerms<L>& terms, double h,
                                              PackedComplex<L>& e_plus, PackedComplex<L>& e_minus) {
    phase_factor_pack(packed::scale(terms.kappa_i, h), packed::scale(terms.kappa_neg_i, h), e_plus,
                      e_minus);
}

template <int L>
LAMIRO_PACKED_INLINE TransferMatrix matrix_lane(const PackedMatrix<L>& m, int i) {
    return {packed::lane(m.m00, i), packed::lane(m.m01, i), packed::lane(m.m10, i),
            packed::lane(m.m11, i)};
}

// The wavelengths λ of the pack that starts at w0.
template <int L>
LAMIRO_PACKED_INLINE Pack<L> wavelengths(const StackView& stack, std::size_t w0) {
    return packed::make_pack<L>(
        [&](int i) LAMIRO_PACKED_LAMBDA { return stack.wl[w0 + static_cast<std::size_t>(i)]; });
}

// The stack invariant B = β·β with β = n_0·sin θ.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> stack_invariant(const StackView& stack,
                                                      const PackedComplex<L>& n0) {
    const PackedComplex<L> beta = packed::scale(n0, stack.sin_theta);
    return packed::mul(beta, beta);
}

template <int L>
LAMIRO_PACKED_INLINE void store_pairs(const PackedMatrix<L>& s, const PackedMatrix<L>& p,
                                      MatrixPair* out) {
    for (int i = 0; i < L; ++i) out[i] = MatrixPair{matrix_lane(s, i), matrix_lane(p, i)};
}

// Both matrices of wavelengths w0 … w0+L−1, every layer computed in full.
// The caller has checked that every read is inside the arrays.
template <int L>
LAMIRO_PACKED_INLINE void pair_pack(const StackView& stack, std::size_t w0, MatrixPair* out) {
    const Pack<L> lambda = wavelengths<L>(stack, w0);
    const PackedComplex<L> n0 = load_index<L>(stack.n, 0, w0);
    const PackedComplex<L> b = stack_invariant(stack, n0);
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

        PackedComplex<L> e_plus;
        PackedComplex<L> e_minus;
        layer_phase_factors(phase_terms(current, lambda), h, e_plus, e_minus);

        interfaces(current, next, s_interface, p_interface);
        s = propagate_and_cross(s, e_minus, e_plus, s_interface);
        p = propagate_and_cross(p, e_minus, e_plus, p_interface);

        if (k + 2 < stack.media) after = medium_at(k + 2);
    }
    store_pairs(s, p, out);
}

// Both matrices of wavelengths w0 … w0+L−1 by the plan of the range: the
// terms of every distinct medium, every kept interface and every shared
// phase factor are computed once, then the product chain runs layer by
// layer as in pair_pack, taking what is kept and computing the rest where
// it is used. Each value is the one pair_pack computes for that layer from
// operands with the same bits, so every matrix has the same bits.
template <int L>
LAMIRO_PACKED_INLINE void planned_pair_pack(const StackView& stack, const StackPlan& plan,
                                            std::size_t w0, MatrixPair* out) {
    const Pack<L> lambda = wavelengths<L>(stack, w0);
    const PackedComplex<L> b = stack_invariant(stack, load_index<L>(stack.n, 0, w0));

    PackedMedium<L> media[StackPlan::max_media];
    PackedPhaseTerms<L> terms[StackPlan::max_media];
    for (std::size_t m = 0; m < plan.media_count(); ++m) {
        const PackedComplex<L> n = load_index<L>(stack.n, plan.representative_row(m), w0);
        media[m] = medium(n, normal_term(radicand(n, b)));
        if (plan.is_layer(m)) terms[m] = phase_terms(media[m], lambda);
    }
    PackedInterface<L> s_kept[StackPlan::max_interfaces];
    PackedInterface<L> p_kept[StackPlan::max_interfaces];
    for (std::size_t i = 0; i < plan.interface_count(); ++i) {
        const StackPlan::Interface& kept = plan.interface(i);
        interfaces(media[kept.from], media[kept.to], s_kept[i], p_kept[i]);
    }
    PackedComplex<L> e_plus_kept[StackPlan::max_shared_phases];
    PackedComplex<L> e_minus_kept[StackPlan::max_shared_phases];
    for (std::size_t i = 0; i < plan.shared_phase_count(); ++i) {
        const StackPlan::SharedPhase& shared = plan.shared_phase(i);
        layer_phase_factors(terms[shared.medium], shared.thickness, e_plus_kept[i],
                            e_minus_kept[i]);
    }

    // The interfaces from medium a to a+1: kept, or computed into s_computed
    // and p_computed.
    PackedInterface<L> s_computed;
    PackedInterface<L> p_computed;
    const auto interface_at = [&](std::size_t a, const PackedInterface<L>*& s,
                                  const PackedInterface<L>*& p) LAMIRO_PACKED_LAMBDA {
        const std::uint8_t slot = plan.row(a).interface;
        if (slot != StackPlan::not_kept) {
            s = &s_kept[slot];
            p = &p_kept[slot];
        } else {
            interfaces(media[plan.row(a).medium], media[plan.row(a + 1).medium], s_computed,
                       p_computed);
            s = &s_computed;
            p = &p_computed;
        }
    };

    const PackedInterface<L>* s_interface;
    const PackedInterface<L>* p_interface;
    interface_at(0, s_interface, p_interface);
    PackedMatrix<L> s = interface_matrix(*s_interface);
    PackedMatrix<L> p = interface_matrix(*p_interface);
    PackedComplex<L> e_plus_computed;
    PackedComplex<L> e_minus_computed;
    for (std::size_t k = 1; k + 1 < stack.media; ++k) {
        const StackPlan::Row& row = plan.row(k);
        const PackedComplex<L>* e_plus = &e_plus_computed;
        const PackedComplex<L>* e_minus = &e_minus_computed;
        if (row.phase != StackPlan::not_kept) {
            e_plus = &e_plus_kept[row.phase];
            e_minus = &e_minus_kept[row.phase];
        } else {
            layer_phase_factors(terms[row.medium], stack.d[k - 1], e_plus_computed,
                                e_minus_computed);
        }
        interface_at(k, s_interface, p_interface);
        s = propagate_and_cross(s, *e_minus, *e_plus, *s_interface);
        p = propagate_and_cross(p, *e_minus, *e_plus, *p_interface);
    }
    store_pairs(s, p, out);
}

// Packs of L from wavelength w on while L wavelengths remain; returns the
// first wavelength not evaluated.
template <int L, bool Planned>
LAMIRO_PACKED_INLINE std::size_t packs(const StackView& stack, const StackPlan& plan, std::size_t w,
                                       MatrixPair* out) {
    for (; stack.end - w >= L; w += L) {
        MatrixPair* slots = out + (w - stack.begin);
        if constexpr (Planned) {
            planned_pair_pack<L>(stack, plan, w, slots);
        } else {
            pair_pack<L>(stack, w, slots);
        }
    }
    return w;
}

// One function per instruction set, each compiled for its own target with
// everything above inlined into it.
template <bool Planned>
[[gnu::noinline]] std::size_t scalar_packs(const StackView& stack, const StackPlan& plan,
                                           std::size_t w, MatrixPair* out) {
    return packs<1, Planned>(stack, plan, w, out);
}

#if defined(__x86_64__)
// SSE2, which every x86-64 processor has.
template <bool Planned>
[[gnu::noinline]] std::size_t sse2_packs(const StackView& stack, const StackPlan& plan,
                                         std::size_t w, MatrixPair* out) {
    return packs<2, Planned>(stack, plan, w, out);
}

// AVX2 without FMA: the packed operations are the same roundings as the
// SSE2 ones, four lanes wide.
template <bool Planned>
[[gnu::noinline, gnu::target("avx2")]] std::size_t avx2_packs(const StackView& stack,
                                                              const StackPlan& plan, std::size_t w,
                                                              MatrixPair* out) {
    return packs<4, Planned>(stack, plan, w, out);
}

// AVX-512VL without FMA: the same roundings again, four lanes wide, with
// 32 vector registers instead of 16, so that the S and P matrices, the
// interface entries and the phase factors of a layer stay in registers
// through the product chain. Only planned runs use it: the unplanned
// kernel calls the library for every layer, which clobbers every register
// anyway, and its AVX2 code measured as fast or faster (by 2 % on lossless
// stacks). Packs of eight were measured too: faster on a mirror, whose
// layers are all shared, slower on stacks whose layers still call the
// library per lane.
[[gnu::noinline, gnu::target("avx512vl")]] std::size_t avx512vl_planned_packs(
    const StackView& stack, const StackPlan& plan, std::size_t w, MatrixPair* out) {
    return packs<4, true>(stack, plan, w, out);
}
#endif

// The range in packs of the variant's width, the tail in narrower packs.
template <bool Planned>
void evaluate_range(KernelVariant variant, const StackView& stack, const StackPlan& plan,
                    MatrixPair* out) {
    std::size_t w = stack.begin;
#if defined(__x86_64__)
    if constexpr (Planned) {
        if (variant == KernelVariant::avx512vl) w = avx512vl_planned_packs(stack, plan, w, out);
    }
    if (variant >= KernelVariant::avx2) w = avx2_packs<Planned>(stack, plan, w, out);
    if (variant >= KernelVariant::sse2) w = sse2_packs<Planned>(stack, plan, w, out);
#endif
    scalar_packs<Planned>(stack, plan, w, out);
}

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

namespace {

// The widest variant that tests and benchmarks allow; atomic because pool
// workers read it while a test may set it between evaluations.
std::atomic<KernelVariant> variant_cap{KernelVariant::avx512vl};

bool processor_runs(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::scalar:
            return true;
#if defined(__x86_64__)
        case KernelVariant::sse2:
            return true;
        case KernelVariant::avx2:
            return __builtin_cpu_supports("avx2");
        case KernelVariant::avx512vl:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#endif
        default:
            return false;
    }
}

}  // namespace

bool kernel_variant_supported(KernelVariant variant) noexcept {
    return variant <= variant_cap.load(std::memory_order_relaxed) && processor_runs(variant);
}

KernelVariant best_kernel_variant() noexcept {
    static const KernelVariant best = [] {
        for (KernelVariant variant :
             {KernelVariant::avx512vl, KernelVariant::avx2, KernelVariant::sse2}) {
            if (processor_runs(variant)) return variant;
        }
        return KernelVariant::scalar;
    }();
    return std::min(best, variant_cap.load(std::memory_order_relaxed));
}

void cap_kernel_variant(KernelVariant widest) noexcept {
    variant_cap.store(widest, std::memory_order_relaxed);
}

std::size_t pack_lanes(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::sse2:
            return 2;
        case KernelVariant::avx2:
        case KernelVariant::avx512vl:
            return 4;
        default:
            return 1;
    }
}

KernelChoice default_kernel_choice() noexcept {
    return {best_kernel_variant(), Planning::automatic};
}

void stack_matrix_pairs(KernelChoice choice, const RealVector& d, const ComplexMatrix& n,
                        const RealVector& wl, double theta, std::size_t begin, std::size_t end,
                        MatrixPair* out) {
    if (begin >= end) return;
    check_reads(d, n, wl, end);
    const KernelVariant variant = std::min(choice.variant, best_kernel_variant());
    const StackView stack{d, n, wl, std::sin(theta), n.rows, begin, end};
    StackPlan plan;
    if (plan.build(d, n, begin, end, choice.planning)) {
        evaluate_range<true>(variant, stack, plan, out);
    } else {
        evaluate_range<false>(variant, stack, plan, out);
    }
}

void stack_matrix_pairs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                        double theta, std::size_t begin, std::size_t end, MatrixPair* out) {
    stack_matrix_pairs(default_kernel_choice(), d, n, wl, theta, begin, end, out);
}

MatrixPair stack_matrix_pair(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                             double theta, std::size_t w) {
    if (w >= wl.size()) throw_index_out_of_bounds();
    MatrixPair pair;
    stack_matrix_pairs({KernelVariant::scalar, Planning::automatic}, d, n, wl, theta, w, w + 1,
                       &pair);
    return pair;
}

}  // namespace lamiro
