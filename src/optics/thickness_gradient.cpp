// SPDX-License-Identifier: MIT
// ∂R/∂h_k and ∂T/∂h_k for every layer k from one layer sweep.
//
// Only E_k depends on h_k, through e₋ = exp(−iκh) and e₊ = exp(iκh), so
//     ∂E_k/∂h_k = iκ_k·diag(−e₋, e₊),
//     ∂M/∂h_k = (I_{N−2}·E_{N−2}·…·I_k)·(∂E_k/∂h_k)·F_{k−1}.
// Row 0 of the left factor times E_k is (v_k, w_k)/t = (v_k, w_k)·m00, the
// field of layer k (layer_sweep.hpp), so for the columns c = 0, 1
//     a_c = ∂m0c/m00 = iκ_k·(w_k·F_{k−1}[1, c] − v_k·F_{k−1}[0, c]),
// which spectrum_derivatives.hpp turns into ∂R and ∂T. The sweep's
// compensated state (scaled field, prefix) has the same products, so
// a_c needs no exponent. O(1) per layer after the two sweeps: O(N) per
// wavelength for all N − 2 derivatives, against N − 1 spectra for finite
// differences.
#include "optics/thickness_gradient.hpp"

#include <span>

#include "optics/layer_sweep_pass.hpp"
#include "optics/spectra.hpp"
#include "optics/spectrum_derivatives.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using packed::Pack;
using packed::PackedComplex;

// (w·F[1, c] − v·F[0, c]) for c = 0 and 1: the change of row 0 of M per unit
// of iκ·h at the top of the layer whose field is (v, w) and prefix F.
template <int L>
LAMIRO_PACKED_INLINE void row_change(const SweepPolarisation& state, PackedComplex<L>& c0,
                                     PackedComplex<L>& c1) {
    using packed::load;
    using packed::mul;
    const PackedComplex<L> v = load<L>(state.scaled_field.x0);
    const PackedComplex<L> w = load<L>(state.scaled_field.x1);
    c0 = packed::sub(mul(w, load<L>(state.prefix.m10)), mul(v, load<L>(state.prefix.m00)));
    c1 = packed::sub(mul(w, load<L>(state.prefix.m11)), mul(v, load<L>(state.prefix.m01)));
}

template <int L>
LAMIRO_PACKED_INLINE void gradient_pack(const LayerSweep& sweep, PolarisationMix mix,
                                        const GradientOutputs& out) {
    const SweepPack& pack = sweep.pack();
    const std::size_t w0 = pack.first;
    const PackedComplex<L> r_s = packed::load<L>(pack.r_s);
    const PackedComplex<L> t_s = packed::load<L>(pack.t_s);
    const PackedComplex<L> r_p = packed::load<L>(pack.r_p);
    const PackedComplex<L> t_p = packed::load<L>(pack.t_p);
    const Pack<L> exit_factor = packed::load<L>(pack.exit_factor);
    for (std::size_t k = 1; k + 1 < sweep.media(); ++k) {
        const PackedComplex<L> i_kappa = packed::mul_i(packed::load<L>(sweep.medium(k).kappa));
        const SweepLayer& layer = sweep.layer(k);
        PackedComplex<L> c0;
        PackedComplex<L> c1;
        row_change<L>(layer.s, c0, c1);
        const auto s =
            packed::intensity_change(packed::mul(i_kappa, c0), packed::mul(i_kappa, c1), r_s, t_s);
        row_change<L>(layer.p, c0, c1);
        const auto p =
            packed::intensity_change(packed::mul(i_kappa, c0), packed::mul(i_kappa, c1), r_p, t_p);
        Pack<L> d_r;
        Pack<L> d_t;
        packed::mix_changes(s, p, mix, exit_factor, d_r, d_t);
        const std::size_t at = (k - 1) * out.stride + w0;
        if (out.dr != nullptr) packed::store<L>(d_r, out.dr + at);
        if (out.dt != nullptr) packed::store<L>(d_t, out.dt + at);
    }
}

// R and T of the pack as the spectra give them, then the derivatives.
struct GradientPacks {
    const SweepStack& stack;
    PolarisationMix mix;
    const GradientOutputs& out;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(const LayerSweep& sweep) const {
        const SweepPack& pack = sweep.pack();
        const std::span<const MatrixPair> pairs(pack.pairs, static_cast<std::size_t>(pack.lanes));
        if (out.r != nullptr) reflectance_values(pairs, stack.phi, out.r + pack.first);
        if (out.t != nullptr) {
            transmittance_values(pairs, pack.first, stack.n, stack.theta, stack.phi,
                                 out.t + pack.first);
        }
        if (out.dr == nullptr && out.dt == nullptr) return;
        gradient_pack<L>(sweep, mix, out);
    }
};

}  // namespace

void thickness_gradient_range(const SweepStack& stack, std::size_t begin, std::size_t end,
                              const GradientOutputs& out, KernelVariant variant) {
    if (begin >= end) return;
    LayerSweep sweep(stack, begin, end, variant);
    sweep_packs(sweep, GradientPacks{stack, PolarisationMix::of(stack.phi), out});
}

}  // namespace lamiro
