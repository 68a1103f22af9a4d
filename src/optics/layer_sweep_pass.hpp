// SPDX-License-Identifier: MIT
#pragma once

// The plain sweep of one pack, built from the kernel's blocks
// (packed_kernel_blocks.hpp), and sweep_packs, which runs it over the range
// of a LayerSweep through the one dispatch point (kernel_dispatch.hpp)
// together with what a per-layer function computes from each pack: both
// are compiled into one function per instruction set, and the state of a
// pack is read back while it is still in cache. Included by the per-layer
// functions; everything else sees layer_sweep.hpp.

#include <cstddef>
#include <utility>

#include "optics/kernel_dispatch.hpp"
#include "optics/lane_storage.hpp"
#include "optics/layer_sweep.hpp"
#include "optics/packed_kernel_blocks.hpp"
#include "optics/spectra.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

struct LayerSweepPass {
    // Magnitude below which a plainly swept prefix, field, r or t counts as
    // safe: products of two such values (field · prefix, in the
    // derivatives) stay far from overflow, and quotients by them from
    // underflow.
    static constexpr double safe_magnitude = 0x1p450;

    template <int L>
    using Mask = decltype(packed::Pack<L>{} < packed::Pack<L>{});

    // Lanes where some component of z is not below safe_magnitude in
    // magnitude (NaN included).
    template <int L>
    LAMIRO_PACKED_INLINE static Mask<L> unsafe(const packed::PackedComplex<L>& z) {
        const packed::Pack<L> limit = packed::splat<L>(safe_magnitude);
        const Mask<L> safe = (packed::abs<L>(z.re) < limit) & (packed::abs<L>(z.im) < limit);
        return safe == 0;
    }

    template <int L>
    LAMIRO_PACKED_INLINE static Mask<L> unsafe(const packed::PackedMatrix<L>& m) {
        return unsafe<L>(m.m00) | unsafe<L>(m.m01) | unsafe<L>(m.m10) | unsafe<L>(m.m11);
    }

    template <int L>
    LAMIRO_PACKED_INLINE static packed::PackedMedium<L> load_medium(const SweepMedium& m) {
        return {packed::load<L>(m.n), packed::load<L>(m.c), packed::load<L>(m.nc)};
    }

    // The plain sweep of the L wavelengths from w0 into the sweep's state,
    // with the lanes that need the scaled sweep marked in pack().rescued.
    template <int L>
    LAMIRO_PACKED_INLINE static void run(LayerSweep& sweep, std::size_t w0) {
        using namespace packed;
        const SweepStack& stack = sweep.stack_;
        SweepPack& pack = sweep.pack_;
        const std::size_t media = sweep.media_;
        pack.first = w0;
        pack.lanes = L;

        const Pack<L> lambda = wavelengths<L>(stack.wl, w0);
        store<L>(lambda, pack.lambda);
        const Complex* const squares = stack.invariant.squares;
        const PackedComplex<L> b = squares != nullptr
                                       ? load_row<L>(ComplexRow{squares, sweep.end_, 1}, w0)
                                       : stack_invariant(load_row<L>(sweep.invariant_.source, w0),
                                                         sweep.invariant_.sin_theta);
        store<L>(b, pack.b);

        for (std::size_t m = 0; m < sweep.representative_.size(); ++m) {
            const PackedComplex<L> n = load_index<L>(stack.n, sweep.representative_[m], w0);
            const PackedComplex<L> k = normal_term(radicand(n, b));
            const PackedMedium<L> terms = medium(n, k);
            SweepMedium& out = sweep.media_terms_[m];
            store<L>(n, out.n);
            store<L>(k, out.k);
            store<L>(terms.c, out.c);
            store<L>(terms.nc, out.nc);
            store<L>(wave_number(terms, lambda), out.kappa);
        }
        for (std::size_t i = 0; i < sweep.interfaces_.size(); ++i) {
            const auto [from, to] = sweep.interface_media_[i];
            PackedInterface<L> s;
            PackedInterface<L> p;
            interfaces(load_medium<L>(sweep.media_terms_[from]),
                       load_medium<L>(sweep.media_terms_[to]), s, p);
            LayerSweep::InterfaceLanes& out = sweep.interfaces_[i];
            store<L>(s.inv_tau, out.s_inv_tau);
            store<L>(s.rho_over_tau, out.s_rho_over_tau);
            store<L>(p.inv_tau, out.p_inv_tau);
            store<L>(p.rho_over_tau, out.p_rho_over_tau);
        }
        for (std::size_t f = 0; f < sweep.phases_.size(); ++f) {
            const auto [medium_slot, thickness] = sweep.phase_source_[f];
            PackedComplex<L> e_plus;
            PackedComplex<L> e_minus;
            layer_phase_factors(phase_terms(load<L>(sweep.media_terms_[medium_slot].kappa)),
                                thickness, e_plus, e_minus);
            store<L>(e_plus, sweep.phases_[f].e_plus);
            store<L>(e_minus, sweep.phases_[f].e_minus);
        }

        const auto interface_at = [&](std::size_t a, PackedInterface<L>& s,
                                      PackedInterface<L>& p) LAMIRO_PACKED_LAMBDA {
            const LayerSweep::InterfaceLanes& e = sweep.interfaces_[sweep.interface_of_[a]];
            s = {load<L>(e.s_inv_tau), load<L>(e.s_rho_over_tau)};
            p = {load<L>(e.p_inv_tau), load<L>(e.p_rho_over_tau)};
        };

        // Forward: the prefixes, by the kernel's product steps.
        PackedInterface<L> s_interface;
        PackedInterface<L> p_interface;
        interface_at(0, s_interface, p_interface);
        PackedMatrix<L> s = interface_matrix(s_interface);
        PackedMatrix<L> p = interface_matrix(p_interface);
        store<L>(s, sweep.layers_[1].s.prefix);
        store<L>(p, sweep.layers_[1].p.prefix);
        Mask<L> bad = unsafe<L>(s) | unsafe<L>(p);
        for (std::size_t k = 1; k + 1 < media; ++k) {
            const LayerSweep::PhaseLanes& phase = sweep.phases_[sweep.phase_of_[k]];
            const PackedComplex<L> e_plus = load<L>(phase.e_plus);
            const PackedComplex<L> e_minus = load<L>(phase.e_minus);
            interface_at(k, s_interface, p_interface);
            s = propagate_and_cross(s, e_minus, e_plus, s_interface);
            p = propagate_and_cross(p, e_minus, e_plus, p_interface);
            store<L>(s, sweep.layers_[k + 1].s.prefix);
            store<L>(p, sweep.layers_[k + 1].p.prefix);
            bad |= unsafe<L>(s) | unsafe<L>(p);
        }
        for (int i = 0; i < L; ++i) pack.pairs[i] = {matrix_lane(s, i), matrix_lane(p, i)};

        // r = m01/m00 and t = 1/m00 by the spectra's quotients.
        const Pack<L> q_s = quotient_denominator(s.m00);
        const Pack<L> q_p = quotient_denominator(p.m00);
        const PackedComplex<L> t_s = reciprocal(s.m00, q_s);
        const PackedComplex<L> t_p = reciprocal(p.m00, q_p);
        const PackedComplex<L> r_s = div(s.m01, s.m00, q_s);
        const PackedComplex<L> r_p = div(p.m01, p.m00, q_p);
        store<L>(t_s, pack.t_s);
        store<L>(t_p, pack.t_p);
        store<L>(r_s, pack.r_s);
        store<L>(r_p, pack.r_p);
        bad |= unsafe<L>(t_s) | unsafe<L>(t_p) | unsafe<L>(r_s) | unsafe<L>(r_p);

        // Backward: the fields, from (t, 0) in the exit medium up.
        const PackedComplex<L> zero{Pack<L>{}, Pack<L>{}};
        PackedComplex<L> s0 = t_s;
        PackedComplex<L> s1 = zero;
        PackedComplex<L> p0 = t_p;
        PackedComplex<L> p1 = zero;
        const auto store_fields = [&](std::size_t j) LAMIRO_PACKED_LAMBDA {
            SweepLayer& layer = sweep.layers_[j];
            store<L>(s0, layer.s.field.x0);
            store<L>(s1, layer.s.field.x1);
            store<L>(p0, layer.p.field.x0);
            store<L>(p1, layer.p.field.x1);
            layer.s.scaled_field = layer.s.field;
            layer.p.scaled_field = layer.p.field;
        };
        store_fields(media - 1);
        // (v, w)·I·E for I = [[a, b], [b, a]] and E = diag(e₋, e₊).
        const auto up = [](PackedComplex<L>& v, PackedComplex<L>& w, const PackedInterface<L>& i,
                           const PackedComplex<L>& e_minus,
                           const PackedComplex<L>& e_plus) LAMIRO_PACKED_LAMBDA {
            const PackedComplex<L> v_next = add(mul(v, i.inv_tau), mul(w, i.rho_over_tau));
            const PackedComplex<L> w_next = add(mul(v, i.rho_over_tau), mul(w, i.inv_tau));
            v = mul(v_next, e_minus);
            w = mul(w_next, e_plus);
        };
        for (std::size_t k = media - 2; k >= 1; --k) {
            const LayerSweep::PhaseLanes& phase = sweep.phases_[sweep.phase_of_[k]];
            const PackedComplex<L> e_plus = load<L>(phase.e_plus);
            const PackedComplex<L> e_minus = load<L>(phase.e_minus);
            interface_at(k, s_interface, p_interface);
            up(s0, s1, s_interface, e_minus, e_plus);
            up(p0, p1, p_interface, e_minus, e_plus);
            store_fields(k);
            bad |= unsafe<L>(s0) | unsafe<L>(s1) | unsafe<L>(p0) | unsafe<L>(p1);
        }

        for (int i = 0; i < L; ++i) {
            const std::size_t w = w0 + static_cast<std::size_t>(i);
            const Complex first = stack.n(0, w);
            pack.flux_norm[i] = sweep.cos_theta_ * first.re;
            pack.exit_factor[i] = exit_medium_factor(first, stack.n(media - 1, w), sweep.sin_theta_,
                                                     sweep.cos_theta_);
            pack.rescued[i] = bad[i] != 0;
        }
    }

    // The plain sweep of a pack, then the scaled one of each lane that
    // needs it.
    template <int L>
    LAMIRO_PACKED_INLINE static void sweep_pack(LayerSweep& sweep, std::size_t w0) {
        run<L>(sweep, w0);
        for (int i = 0; i < L; ++i) {
            if (sweep.pack_.rescued[i]) sweep.rescue(i);
        }
    }
};

// The kernel that run_packs compiles: the sweep of a pack, then the
// consumer's work on it.
template <class Consumer>
struct SweepPacks {
    LayerSweep& sweep;
    const Consumer& consumer;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(std::size_t w0) const {
        LayerSweepPass::sweep_pack<L>(sweep, w0);
        consumer.template pack<L>(std::as_const(sweep));
    }
};

// Sweeps the range of `sweep` pack by pack in its variant's widths and
// calls consumer.pack<L>(sweep) after each, with the pack's state in
// sweep.pack(), sweep.medium(j) and sweep.layer(j). The consumer type is
// the caller's own (an unnamed namespace), as run_packs asks. The sweep
// runs AVX2 at the widest: its AVX-512VL code has never been measured
// against that, so it is not compiled.
template <class Consumer>
void sweep_packs(LayerSweep& sweep, const Consumer& consumer) {
    if (sweep.begin() >= sweep.end()) return;
    run_packs<KernelVariant::avx2>(sweep.variant(), SweepPacks<Consumer>{sweep, consumer},
                                   sweep.begin(), sweep.end());
}

}  // namespace lamiro

#pragma GCC diagnostic pop
