// SPDX-License-Identifier: MIT
// Absorption per layer from the fields of one layer sweep.
//
// In medium j the field at a plane is the forward and backward pair (v, w);
// the normal component of the time-averaged Poynting vector, relative to
// that of the incident wave, is (as tmm computes it)
//     s:  Re(K_j·conj(v + w)·(v − w)) / Re(n_0·cos θ),
//     p:  Re(n_j·conj(C_j)·(v + w)·conj(v − w)) / Re(n_0·cos θ),
// with K_j = n_j·cos θ_j and C_j = cos θ_j. The sweep holds (v_j, w_j) at
// the top of every medium j = 1 … N−1, and (t, 0) in the exit medium, so the
// flux Φ_j entering each layer and the flux Φ_{N−1} leaving into the exit
// medium follow directly; layer k absorbs A_k = Φ_k − Φ_{k+1} (power is
// continuous across an interface, so the flux at the bottom of layer k is
// the one at the top of medium k+1). The polarisations mix as in R and T:
// A = sin²φ·A_p + cos²φ·A_s.
//
// For a lossless exit medium Φ_{N−1} equals the transmittance's F·|t|²
// (F = Re(K_L/(n_0·cos θ))) to rounding, and for a lossless incidence medium
// Φ_1 = 1 − |r|², so R + T + ΣA = 1 to rounding. For an absorbing exit
// medium the p flux into it, Re(n_L·conj(C_L))·|t_p|², differs from the
// transmittance's F·|t_p|² (which weights both polarisations by Re(K_L));
// the absorption keeps the physical flux, as tmm does, so there R + T + ΣA
// differs from 1 by that difference. For an absorbing incidence medium the
// incident flux itself is not defined apart from the reflected wave; the
// fluxes are normalised by Re(n_0·cos θ) as above.
#include "optics/layer_absorption.hpp"

#include "optics/layer_sweep_pass.hpp"
#include "optics/spectrum_derivatives.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using packed::Pack;
using packed::PackedComplex;

// Flux of the field (v, w) of medium j in each polarisation, times
// Re(n_0·cos θ).
template <int L>
LAMIRO_PACKED_INLINE void fluxes(const LayerSweep& sweep, std::size_t j, Pack<L>& s, Pack<L>& p) {
    const SweepMedium& medium = sweep.medium(j);
    const SweepLayer& layer = sweep.layer(j);
    const auto conj_sum_times_difference = [](const LaneRow& field) LAMIRO_PACKED_LAMBDA {
        const PackedComplex<L> v = packed::load<L>(field.x0);
        const PackedComplex<L> w = packed::load<L>(field.x1);
        return packed::conj_mul(packed::add(v, w), packed::sub(v, w));
    };
    const PackedComplex<L> zs = conj_sum_times_difference(layer.s.field);
    const PackedComplex<L> zp = conj_sum_times_difference(layer.p.field);
    s = packed::real_of_product(packed::load<L>(medium.k), zs);
    const PackedComplex<L> y =
        packed::conj_mul(packed::load<L>(medium.c), packed::load<L>(medium.n));
    p = y.re * zp.re + y.im * zp.im;  // Re(y·conj(zp))
}

// The weights of the s and p flux differences of each lane, and the
// divisor of their sum.
template <int L>
struct FluxWeights {
    Pack<L> s;
    Pack<L> p;
    Pack<L> divisor;
};

// The fractions of the incident power: mixed by φ, divided by the incident
// flux Re(n_0·cos θ) of the sweep.
struct MixedByPhi {
    PolarisationMix mix;

    template <int L>
    LAMIRO_PACKED_INLINE FluxWeights<L> of(const SweepPack& pack) const {
        return {packed::splat<L>(mix.s), packed::splat<L>(mix.p), packed::load<L>(pack.flux_norm)};
    }
};

// The caller's weights per wavelength of the range.
struct GivenWeights {
    AbsorptionWeights weights;
    std::size_t begin;

    template <int L>
    LAMIRO_PACKED_INLINE FluxWeights<L> of(const SweepPack& pack) const {
        const std::size_t at = pack.first - begin;
        return {packed::load<L>(weights.s + at), packed::load<L>(weights.p + at),
                packed::splat<L>(1.0)};
    }
};

template <class Weighting>
struct AbsorptionPacks {
    Weighting weighting;
    AbsorptionOutput out;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(const LayerSweep& sweep) const {
        const SweepPack& pack = sweep.pack();
        const FluxWeights<L> weight = weighting.template of<L>(pack);
        Pack<L> s_top;
        Pack<L> p_top;
        fluxes<L>(sweep, 1, s_top, p_top);
        for (std::size_t k = 1; k + 1 < sweep.media(); ++k) {
            Pack<L> s_bottom;
            Pack<L> p_bottom;
            fluxes<L>(sweep, k + 1, s_bottom, p_bottom);
            Pack<L> absorbed =
                (weight.p * (p_top - p_bottom) + weight.s * (s_top - s_bottom)) / weight.divisor;
            double* const at = out.first + static_cast<std::ptrdiff_t>(k - 1) * out.layer_stride +
                               static_cast<std::ptrdiff_t>(pack.first);
            if (out.add) absorbed = packed::load<L>(at) + absorbed;
            packed::store<L>(absorbed, at);
            s_top = s_bottom;
            p_top = p_bottom;
        }
    }
};

template <class Weighting>
void absorption_packs(const SweepStack& stack, std::size_t begin, std::size_t end,
                      const Weighting& weighting, const AbsorptionOutput& out,
                      KernelVariant variant) {
    if (begin >= end) return;
    LayerSweep sweep(stack, begin, end, variant);
    if (sweep.media() < 3) return;  // no layers: nothing to write
    sweep_packs(sweep, AbsorptionPacks<Weighting>{weighting, out});
}

}  // namespace

void absorption_range(const SweepStack& stack, std::size_t begin, std::size_t end, double* a,
                      std::size_t stride, KernelVariant variant) {
    absorption_packs(stack, begin, end, MixedByPhi{PolarisationMix::of(stack.phi)},
                     {a, static_cast<std::ptrdiff_t>(stride), false}, variant);
}

void weighted_absorption_range(const SweepStack& stack, std::size_t begin, std::size_t end,
                               const AbsorptionWeights& weights, const AbsorptionOutput& out,
                               KernelVariant variant) {
    absorption_packs(stack, begin, end, GivenWeights{weights, begin}, out, variant);
}

}  // namespace lamiro
