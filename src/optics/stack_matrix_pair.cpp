// SPDX-License-Identifier: MIT
#include "optics/stack_matrix_pair.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "common/internal_fault.hpp"
#include "optics/kernel_dispatch.hpp"
#include "optics/packed_kernel_blocks.hpp"

// Packs of four only cross always_inline calls inside AVX2 and AVX-512VL
// code (see packed_complex.hpp); the warnings about their out-of-line calling
// convention, which GCC gives at the end of the file, do not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using namespace packed;

template <int L>
LAMIRO_PACKED_INLINE void store_pairs(const PackedMatrix<L>& s, const PackedMatrix<L>& p,
                                      MatrixPair* out) {
    for (int i = 0; i < L; ++i) out[i] = MatrixPair{matrix_lane(s, i), matrix_lane(p, i)};
}

// Both matrices of wavelengths w0 … w0+L−1, every layer computed in full.
// The caller has checked that every read is inside the arrays.
template <int L>
LAMIRO_PACKED_INLINE void pair_pack(const StackArrays& stack, const StackInvariant& invariant,
                                    std::size_t w0, MatrixPair* out) {
    const std::size_t media = stack.n.rows;
    const Pack<L> lambda = wavelengths<L>(stack.wl, w0);
    const PackedComplex<L> n0 = load_index<L>(stack.n, 0, w0);
    const PackedComplex<L> b =
        stack_invariant(load_row<L>(invariant.source, w0), invariant.sin_theta);
    const auto medium_at = [&](std::size_t j) LAMIRO_PACKED_LAMBDA {
        return medium_of(load_index<L>(stack.n, j, w0), b);
    };

    // The media are computed one step ahead of the layer loop: medium k+2
    // depends on nothing that layer k computes, so its library calls can
    // run while the quotients and products of layer k are still in flight.
    PackedMedium<L> current = medium_of(n0, b);
    PackedMedium<L> next = medium_at(1);
    PackedInterface<L> s_interface;
    PackedInterface<L> p_interface;
    interfaces(current, next, s_interface, p_interface);
    PackedMatrix<L> s = interface_matrix(s_interface);
    PackedMatrix<L> p = interface_matrix(p_interface);
    PackedMedium<L> after;
    if (media > 2) after = medium_at(2);

    for (std::size_t k = 1; k + 1 < media; ++k) {
        const double h = stack.d[k - 1];
        current = next;
        next = after;

        PackedComplex<L> e_plus;
        PackedComplex<L> e_minus;
        layer_phase_factors(phase_terms(current, lambda), h, e_plus, e_minus);

        interfaces(current, next, s_interface, p_interface);
        s = propagate_and_cross(s, e_minus, e_plus, s_interface);
        p = propagate_and_cross(p, e_minus, e_plus, p_interface);

        if (k + 2 < media) after = medium_at(k + 2);
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
LAMIRO_PACKED_INLINE void planned_pair_pack(const StackArrays& stack,
                                            const StackInvariant& invariant, const StackPlan& plan,
                                            std::size_t w0, MatrixPair* out) {
    const std::size_t media = stack.n.rows;
    const Pack<L> lambda = wavelengths<L>(stack.wl, w0);
    const PackedComplex<L> b =
        stack_invariant(load_row<L>(invariant.source, w0), invariant.sin_theta);

    PackedMedium<L> kept_media[StackPlan::max_media];
    PackedPhaseTerms<L> terms[StackPlan::max_media];
    for (std::size_t m = 0; m < plan.media_count(); ++m) {
        kept_media[m] = medium_of(load_index<L>(stack.n, plan.representative_row(m), w0), b);
        if (plan.is_layer(m)) terms[m] = phase_terms(kept_media[m], lambda);
    }
    PackedInterface<L> s_kept[StackPlan::max_interfaces];
    PackedInterface<L> p_kept[StackPlan::max_interfaces];
    for (std::size_t i = 0; i < plan.interface_count(); ++i) {
        const StackPlan::Interface& kept = plan.interface(i);
        interfaces(kept_media[kept.from], kept_media[kept.to], s_kept[i], p_kept[i]);
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
            interfaces(kept_media[plan.row(a).medium], kept_media[plan.row(a + 1).medium],
                       s_computed, p_computed);
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
    for (std::size_t k = 1; k + 1 < media; ++k) {
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

// The range [begin, end) of a stack into out[w − begin], every layer
// computed in full.
struct UnplannedPairs {
    const StackArrays& stack;
    const StackInvariant& invariant;
    std::size_t begin;
    MatrixPair* out;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(std::size_t w0) const {
        pair_pack<L>(stack, invariant, w0, out + (w0 - begin));
    }
};

// The same by the plan of the range.
struct PlannedPairs {
    const StackArrays& stack;
    const StackInvariant& invariant;
    const StackPlan& plan;
    std::size_t begin;
    MatrixPair* out;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(std::size_t w0) const {
        planned_pair_pack<L>(stack, invariant, plan, w0, out + (w0 - begin));
    }
};

}  // namespace

// The reads depend only on the shapes, and the highest index reads the
// farthest.
void check_stack_reads(const StackArrays& stack, const StackInvariant& invariant, std::size_t end) {
    const std::size_t last = end - 1;
    if (last >= stack.wl.size()) throw_index_out_of_bounds();
    if (stack.n.rows < 1 || last >= stack.n.cols) throw_index_out_of_bounds();
    if (stack.n.rows < 2) throw_index_out_of_bounds();
    if (stack.d.size() < stack.n.rows - 2) throw_index_out_of_bounds();
    if (last >= invariant.source.size()) throw_index_out_of_bounds();
}

KernelChoice default_kernel_choice() noexcept {
    return {best_kernel_variant(), Planning::automatic};
}

StackInvariant incidence_invariant(const ComplexView& n, double theta) noexcept {
    return {n.rows == 0 ? ComplexRow{} : n.row(0), std::sin(theta)};
}

void stack_matrix_pairs(KernelChoice choice, const StackArrays& stack,
                        const StackInvariant& invariant, std::size_t begin, std::size_t end,
                        MatrixPair* out) {
    if (begin >= end) return;
    check_stack_reads(stack, invariant, end);
    const KernelVariant variant = std::min(choice.variant, best_kernel_variant());
    StackPlan plan;
    if (plan.build(stack.d, stack.n, begin, end, choice.planning)) {
        run_packs(variant, PlannedPairs{stack, invariant, plan, begin, out}, begin, end);
    } else {
        // The unplanned kernel calls the library for every layer, which
        // clobbers every register anyway: its AVX2 code measured as fast as
        // the AVX-512VL one or faster (by 2 % on lossless stacks).
        run_packs(std::min(variant, KernelVariant::avx2),
                  UnplannedPairs{stack, invariant, begin, out}, begin, end);
    }
}

void stack_matrix_pairs(KernelChoice choice, const RealVector& d, const ComplexMatrix& n,
                        const RealVector& wl, double theta, std::size_t begin, std::size_t end,
                        MatrixPair* out) {
    const StackArrays stack{d.view(), n.view(), wl.view()};
    stack_matrix_pairs(choice, stack, incidence_invariant(stack.n, theta), begin, end, out);
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
