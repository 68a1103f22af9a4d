// SPDX-License-Identifier: MIT
#include "optics/layer_sweep.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>

#include "common/internal_fault.hpp"
#include "optics/stack_plan.hpp"

// Packs of four only cross always_inline calls inside AVX2 code (see
// packed_complex.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using packed::Pack;
using packed::PackedComplex;
using packed::PackedMatrix;

// Magnitude below which a plainly swept prefix, field, r or t counts as
// safe: products of two such values (field · prefix, in the derivatives)
// stay far from overflow, and quotients by them from underflow.
constexpr double safe_magnitude = 0x1p450;

// Real part of KL/A, the exit-medium factor F of the transmittance, formed
// exactly as the transmittance spectrum forms it (spectra.cpp), so that the
// derivative of T carries the factor that T itself carries.
double exit_medium_factor(Complex n0, Complex nl, double s, double c) noexcept {
    const double s2 = s * s;
    const Complex g{
        (nl.re * nl.re - nl.im * nl.im) - s2 * (n0.re * n0.re - n0.im * n0.im),
        (nl.re * nl.im + nl.re * nl.im) - s2 * (n0.re * n0.im + n0.re * n0.im),
    };
    const Complex kl = complex_sqrt(g);
    const Complex a{c * n0.re, c * n0.im};
    return (kl.re * a.re + kl.im * a.im) / (a.re * a.re + a.im * a.im);
}

// True when n, d and wl can be read at every wavelength index below `end`
// (end > 0) for a stack of n.rows media: the reads the kernel makes.
void check_reads(const SweepStack& stack, std::size_t end) {
    const std::size_t last = end - 1;
    if (last >= stack.wl.size()) throw_index_out_of_bounds();
    if (stack.n.rows < 1 || last >= stack.n.cols) throw_index_out_of_bounds();
    if (stack.n.rows < 2) throw_index_out_of_bounds();
    if (stack.d.size() < stack.n.rows - 2) throw_index_out_of_bounds();
}

}  // namespace

LayerSweep::LayerSweep(const SweepStack& stack, std::size_t begin, std::size_t end,
                       KernelVariant variant)
    : stack_(stack),
      media_(stack.n.rows),
      begin_(begin),
      end_(end),
      widest_(static_cast<int>(pack_lanes(std::min(variant, best_kernel_variant())))),
      sin_theta_(std::sin(stack.theta)),
      cos_theta_(std::cos(stack.theta)) {
    if (begin >= end) return;
    check_reads(stack, end);
    plan(begin, end);
    layers_.resize(media_);
}

// Media whose rows hold the same bits over the range share their terms,
// interfaces between the same two media share their entries, and layers of
// the same medium and thickness bits share their phase factors: every value
// is a pure function of operands with those bits, so sharing is exact.
void LayerSweep::plan(std::size_t begin, std::size_t end) {
    StackPlan plan;
    medium_of_.resize(media_);
    if (plan.build(stack_.d, stack_.n, begin, end, Planning::always)) {
        for (std::size_t m = 0; m < plan.media_count(); ++m) {
            representative_.push_back(plan.representative_row(m));
        }
        for (std::size_t j = 0; j < media_; ++j) medium_of_[j] = plan.row(j).medium;
    } else {
        for (std::size_t j = 0; j < media_; ++j) {
            representative_.push_back(j);
            medium_of_[j] = j;
        }
    }
    const std::size_t distinct = representative_.size();

    // Interfaces a (a to a+1) and layers k sorted by what they depend on,
    // so that equal ones fall next to each other and share one slot.
    std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> interfaces;
    for (std::size_t a = 0; a + 1 < media_; ++a) {
        interfaces.emplace_back(medium_of_[a], medium_of_[a + 1], a);
    }
    std::sort(interfaces.begin(), interfaces.end());
    interface_of_.resize(media_ - 1);
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const auto [from, to, a] = interfaces[i];
        if (i == 0 || std::get<0>(interfaces[i - 1]) != from ||
            std::get<1>(interfaces[i - 1]) != to) {
            interface_media_.push_back({from, to});
        }
        interface_of_[a] = interface_media_.size() - 1;
    }

    // Thicknesses compare by their bits: 0.0 and −0.0 are different
    // thicknesses, the sign of the zero reaches the exponent.
    std::vector<std::tuple<std::size_t, std::uint64_t, std::size_t>> layers;
    for (std::size_t k = 1; k + 1 < media_; ++k) {
        layers.emplace_back(medium_of_[k], std::bit_cast<std::uint64_t>(stack_.d[k - 1]), k);
    }
    std::sort(layers.begin(), layers.end());
    phase_of_.assign(media_ > 2 ? media_ - 1 : 1, 0);  // index 0 unused
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const auto [medium, bits, k] = layers[i];
        if (i == 0 || std::get<0>(layers[i - 1]) != medium || std::get<1>(layers[i - 1]) != bits) {
            phase_source_.push_back({medium, stack_.d[k - 1]});
        }
        phase_of_[k] = phase_source_.size() - 1;
    }

    media_terms_.resize(distinct);
    interfaces_.resize(interface_media_.size());
    phases_.resize(phase_source_.size());
}

// The plain sweep of one pack, compiled once per pack width.
struct LayerSweepPass {
    template <int L>
    using Mask = decltype(Pack<L>{} < Pack<L>{});

    // Lanes where some component of z is not below safe_magnitude in
    // magnitude (NaN included).
    template <int L>
    LAMIRO_PACKED_INLINE static Mask<L> unsafe(const PackedComplex<L>& z) {
        const Pack<L> limit = packed::splat<L>(safe_magnitude);
        const Mask<L> safe = (packed::abs<L>(z.re) < limit) & (packed::abs<L>(z.im) < limit);
        return safe == 0;
    }

    template <int L>
    LAMIRO_PACKED_INLINE static Mask<L> unsafe(const PackedMatrix<L>& m) {
        return unsafe<L>(m.m00) | unsafe<L>(m.m01) | unsafe<L>(m.m10) | unsafe<L>(m.m11);
    }

    template <int L>
    LAMIRO_PACKED_INLINE static packed_terms::Medium<L> load_medium(const SweepMedium& m) {
        return {packed::load<L>(m.n), packed::load<L>(m.k), packed::load<L>(m.c),
                packed::load<L>(m.nc)};
    }

    template <int L>
    LAMIRO_PACKED_INLINE static PackedComplex<L> load_index(const ComplexMatrix& n, std::size_t j,
                                                            std::size_t w0) {
        Complex values[L];
        for (int i = 0; i < L; ++i) values[i] = n(j, w0 + static_cast<std::size_t>(i));
        return packed::from_lanes<L>(values);
    }

    template <int L>
    LAMIRO_PACKED_INLINE static void run(LayerSweep& sweep, std::size_t w0) {
        using namespace packed_terms;
        const SweepStack& stack = sweep.stack_;
        SweepPack& pack = sweep.pack_;
        const std::size_t media = sweep.media_;

        const Pack<L> lambda = packed::make_pack<L>(
            [&](int i) LAMIRO_PACKED_LAMBDA { return stack.wl[w0 + static_cast<std::size_t>(i)]; });
        packed::store<L>(lambda, pack.lambda);
        const PackedComplex<L> n0 = load_index<L>(stack.n, 0, w0);
        PackedComplex<L> b;
        if (stack.invariant != nullptr) {
            Complex values[L];
            for (int i = 0; i < L; ++i)
                values[i] = stack.invariant[w0 + static_cast<std::size_t>(i)];
            b = packed::from_lanes<L>(values);
        } else {
            b = stack_invariant(n0, sweep.sin_theta_);
        }
        packed::store<L>(b, pack.b);

        for (std::size_t m = 0; m < sweep.representative_.size(); ++m) {
            const Medium<L> terms = medium(load_index<L>(stack.n, sweep.representative_[m], w0), b);
            SweepMedium& out = sweep.media_terms_[m];
            packed::store<L>(terms.n, out.n);
            packed::store<L>(terms.k, out.k);
            packed::store<L>(terms.c, out.c);
            packed::store<L>(terms.nc, out.nc);
            packed::store<L>(wave_number(terms, lambda), out.kappa);
        }
        for (std::size_t i = 0; i < sweep.interfaces_.size(); ++i) {
            const auto [from, to] = sweep.interface_media_[i];
            Interface<L> s;
            Interface<L> p;
            interfaces(load_medium<L>(sweep.media_terms_[from]),
                       load_medium<L>(sweep.media_terms_[to]), s, p);
            LayerSweep::InterfaceLanes& out = sweep.interfaces_[i];
            packed::store<L>(s.inv_tau, out.s_inv_tau);
            packed::store<L>(s.rho_over_tau, out.s_rho_over_tau);
            packed::store<L>(p.inv_tau, out.p_inv_tau);
            packed::store<L>(p.rho_over_tau, out.p_rho_over_tau);
        }
        for (std::size_t f = 0; f < sweep.phases_.size(); ++f) {
            const auto [medium_slot, thickness] = sweep.phase_source_[f];
            PackedComplex<L> e_plus;
            PackedComplex<L> e_minus;
            layer_phase_factors(packed::load<L>(sweep.media_terms_[medium_slot].kappa), thickness,
                                e_plus, e_minus);
            packed::store<L>(e_plus, sweep.phases_[f].e_plus);
            packed::store<L>(e_minus, sweep.phases_[f].e_minus);
        }

        const auto interface_at = [&](std::size_t a, Interface<L>& s,
                                      Interface<L>& p) LAMIRO_PACKED_LAMBDA {
            const LayerSweep::InterfaceLanes& e = sweep.interfaces_[sweep.interface_of_[a]];
            s = {packed::load<L>(e.s_inv_tau), packed::load<L>(e.s_rho_over_tau)};
            p = {packed::load<L>(e.p_inv_tau), packed::load<L>(e.p_rho_over_tau)};
        };

        // Forward: the prefixes, by the kernel's product steps.
        Interface<L> s_interface;
        Interface<L> p_interface;
        interface_at(0, s_interface, p_interface);
        PackedMatrix<L> s = interface_matrix(s_interface);
        PackedMatrix<L> p = interface_matrix(p_interface);
        packed::store<L>(s, sweep.layers_[1].s.prefix);
        packed::store<L>(p, sweep.layers_[1].p.prefix);
        Mask<L> bad = unsafe<L>(s) | unsafe<L>(p);
        for (std::size_t k = 1; k + 1 < media; ++k) {
            const LayerSweep::PhaseLanes& phase = sweep.phases_[sweep.phase_of_[k]];
            const PackedComplex<L> e_plus = packed::load<L>(phase.e_plus);
            const PackedComplex<L> e_minus = packed::load<L>(phase.e_minus);
            interface_at(k, s_interface, p_interface);
            s = propagate_and_cross(s, e_minus, e_plus, s_interface);
            p = propagate_and_cross(p, e_minus, e_plus, p_interface);
            packed::store<L>(s, sweep.layers_[k + 1].s.prefix);
            packed::store<L>(p, sweep.layers_[k + 1].p.prefix);
            bad |= unsafe<L>(s) | unsafe<L>(p);
        }
        for (int i = 0; i < L; ++i) {
            pack.pairs[i] = {{packed::lane(s.m00, i), packed::lane(s.m01, i),
                              packed::lane(s.m10, i), packed::lane(s.m11, i)},
                             {packed::lane(p.m00, i), packed::lane(p.m01, i),
                              packed::lane(p.m10, i), packed::lane(p.m11, i)}};
        }

        // r = m01/m00 and t = 1/m00 by the spectra's quotients.
        const Pack<L> q_s = packed::quotient_denominator(s.m00);
        const Pack<L> q_p = packed::quotient_denominator(p.m00);
        const PackedComplex<L> t_s = packed::reciprocal(s.m00, q_s);
        const PackedComplex<L> t_p = packed::reciprocal(p.m00, q_p);
        const PackedComplex<L> r_s = packed::div(s.m01, s.m00, q_s);
        const PackedComplex<L> r_p = packed::div(p.m01, p.m00, q_p);
        packed::store<L>(t_s, pack.t_s);
        packed::store<L>(t_p, pack.t_p);
        packed::store<L>(r_s, pack.r_s);
        packed::store<L>(r_p, pack.r_p);
        bad |= unsafe<L>(t_s) | unsafe<L>(t_p) | unsafe<L>(r_s) | unsafe<L>(r_p);

        // Backward: the fields, from (t, 0) in the exit medium up.
        const PackedComplex<L> zero{Pack<L>{}, Pack<L>{}};
        PackedComplex<L> s0 = t_s;
        PackedComplex<L> s1 = zero;
        PackedComplex<L> p0 = t_p;
        PackedComplex<L> p1 = zero;
        const auto store_fields = [&](std::size_t j) LAMIRO_PACKED_LAMBDA {
            SweepLayer& layer = sweep.layers_[j];
            packed::store<L>(s0, layer.s.field.x0);
            packed::store<L>(s1, layer.s.field.x1);
            packed::store<L>(p0, layer.p.field.x0);
            packed::store<L>(p1, layer.p.field.x1);
            layer.s.scaled_field = layer.s.field;
            layer.p.scaled_field = layer.p.field;
        };
        store_fields(media - 1);
        // (v, w)·I·E for I = [[a, b], [b, a]] and E = diag(e₋, e₊).
        const auto up = [](PackedComplex<L>& v, PackedComplex<L>& w, const Interface<L>& i,
                           const PackedComplex<L>& e_minus,
                           const PackedComplex<L>& e_plus) LAMIRO_PACKED_LAMBDA {
            using packed::add;
            using packed::mul;
            const PackedComplex<L> v_next = add(mul(v, i.inv_tau), mul(w, i.rho_over_tau));
            const PackedComplex<L> w_next = add(mul(v, i.rho_over_tau), mul(w, i.inv_tau));
            v = mul(v_next, e_minus);
            w = mul(w_next, e_plus);
        };
        for (std::size_t k = media - 2; k >= 1; --k) {
            const LayerSweep::PhaseLanes& phase = sweep.phases_[sweep.phase_of_[k]];
            const PackedComplex<L> e_plus = packed::load<L>(phase.e_plus);
            const PackedComplex<L> e_minus = packed::load<L>(phase.e_minus);
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
};

namespace {

[[gnu::noinline]] void sweep_pack1(LayerSweep& sweep, std::size_t w0) {
    LayerSweepPass::run<1>(sweep, w0);
}

#if defined(__x86_64__)
[[gnu::noinline]] void sweep_pack2(LayerSweep& sweep, std::size_t w0) {
    LayerSweepPass::run<2>(sweep, w0);
}

[[gnu::noinline, gnu::target("avx2")]] void sweep_pack4(LayerSweep& sweep, std::size_t w0) {
    LayerSweepPass::run<4>(sweep, w0);
}
#endif

}  // namespace

void LayerSweep::evaluate(std::size_t w0, int lanes) {
    pack_.first = w0;
    pack_.lanes = lanes;
    switch (lanes) {
#if defined(__x86_64__)
        case 4:
            sweep_pack4(*this, w0);
            break;
        case 2:
            sweep_pack2(*this, w0);
            break;
#endif
        case 1:
            sweep_pack1(*this, w0);
            break;
        default:
            throw InternalFault("layer sweep: unsupported pack width");
    }
    for (int i = 0; i < lanes; ++i) {
        if (pack_.rescued[i]) rescue(i);
    }
}

}  // namespace lamiro
