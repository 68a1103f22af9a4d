// SPDX-License-Identifier: MIT
#pragma once

// The layer sweep: for a pack of wavelengths, the state of every layer of a
// stack that derivatives and absorption are built from. One forward sweep
// keeps the partial products of the transfer matrix, one backward sweep the
// field amplitudes at the top of every layer.
//
// Conventions of this matrix layout. The kernel accumulates the product on
// the left, M = I_{N−2}·E_{N−2}·…·I_1·E_1·I_0, with the symmetric interface
// matrices I_a = [[1/τ, ρ/τ], [ρ/τ, 1/τ]] (medium a to a+1) and the diagonal
// phase matrices E_k = [[e₋, 0], [0, e₊]], e± = exp(±i·κ_k·h_k); M is the
// transpose of the usual I_0·E_1·I_1·…·I_{N−2}, so r = m01/m00 and
// t = 1/m00.
//
// Forward sweep: the prefix of layer j (j = 1 … N−1) is
//     F_{j−1} = I_{j−1}·E_{j−1}·…·E_1·I_0,
// the product of everything above medium j, which is also the transfer
// matrix of the stack cut below medium j. F_0 = I_0, F_k = I_k·(E_k·F_{k−1})
// by the kernel's operations, so every prefix has the kernel's bits and the
// last one, F_{N−2}, is M itself.
//
// Backward sweep: the field of layer j is the row (v_j, w_j) of the
// amplitudes of the forward and the backward wave at the top of medium j
// (just below interface j−1), for an incident wave of amplitude 1. In the
// exit medium (v, w) = (t, 0), and going up through interface k and layer k
//     (v_k, w_k) = ((v_{k+1}, w_{k+1})·I_k)·E_k,
// so (v_k, w_k) = t·row 0 of I_{N−2}·E_{N−2}·…·I_k·E_k, the suffix product
// that meets the prefix F_{k−1}: row 0 of M = (v_k, w_k)·F_{k−1}/t for
// every k. These are the amplitudes that tmm calls vw_list.
//
// Scale. Thick absorbing (or evanescent) layers make e₋ grow like
// exp(Im κ·h): the prefixes overflow while the fields below such a layer
// underflow, and only their products are of ordinary size. Every pack is
// swept in plain arithmetic first; a wavelength where some prefix, field,
// r or t reaches 2^450 in magnitude (or is not finite) is swept again on
// its own with a power-of-two exponent beside every partial product
// (scaled_layer_sweep.cpp). Its state is then stored compensated: the
// prefix divided by 2^s and the scaled field multiplied by 2^s, so the
// products (field · prefix) that derivatives use come out of ordinary
// size, while `field` keeps the true amplitudes (underflowing to zero where
// no light arrives). In a plainly swept wavelength s = 0 and the two field
// rows are equal.

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "optics/array_view.hpp"
#include "optics/complex.hpp"
#include "optics/lane_storage.hpp"
#include "optics/scaled_phase.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// Where a sweep's stack invariant B comes from, for callers that sweep a
// part of a stack, or the stack turned round, with the invariant of the
// whole: B = β·β from a StackInvariant, as the kernel forms it
// (stack_matrix_pair.hpp), or B itself per wavelength index (B[w]). Neither
// (the default, or a null B): from row 0 of n and θ, as the kernel forms it.
struct SweepInvariant {
    StackInvariant beta{};
    const Complex* squares = nullptr;

    SweepInvariant() = default;
    SweepInvariant(const StackInvariant& from) noexcept : beta(from) {}
    SweepInvariant(const Complex* b) noexcept : squares(b) {}
};

// The stack and the illumination that the per-layer functions read: the
// same inputs as the spectra, as views (owned arrays convert to them), so
// that a part of a stack is swept without a copy. All lengths (d, wl,
// depths) are in one unit; derivatives are per unit of that length.
struct SweepStack {
    RealView d;
    ComplexView n;
    RealView wl;
    double theta;
    double phi;
    // θ still gives the normalisation n_0·cos θ of fluxes and transmittance
    // when the invariant comes from elsewhere.
    SweepInvariant invariant{};
};

// The terms of a medium at the wavelengths of a pack.
struct SweepMedium {
    LaneComplex n;      // refractive index
    LaneComplex k;      // K = sqrt(n² − B) = n·cos θ_j
    LaneComplex c;      // C = K/n
    LaneComplex nc;     // n·C
    LaneComplex kappa;  // κ = (n·(C·2π))/λ, the normal wave number
};

// The state of medium j (1 … N−1) for one polarisation.
struct SweepPolarisation {
    LaneMatrix prefix;     // F_{j−1} / 2^s
    LaneRow scaled_field;  // (v_j, w_j) · 2^s
    LaneRow field;         // (v_j, w_j)
};

struct SweepLayer {
    SweepPolarisation s;
    SweepPolarisation p;
};

// What one pack holds besides its layers.
struct SweepPack {
    std::size_t first = 0;  // wavelength index of lane 0
    int lanes = 0;
    LaneComplex b;                       // stack invariant B
    double lambda[max_pack_lanes];       // wavelength
    double flux_norm[max_pack_lanes];    // Re(n_0·cos θ), the incident flux
    double exit_factor[max_pack_lanes];  // F of the transmittance, as the spectra form it
    LaneComplex r_s, t_s, r_p, t_p;      // r and t of the whole stack
    MatrixPair pairs[max_pack_lanes];    // the kernel's matrices, bit for bit
    bool rescued[max_pack_lanes];        // swept again with scaling
};

class LayerSweep {
public:
    // Prepares the sweeps of wavelengths [begin, end): checks that every
    // read of the stack is inside its arrays (else throws the kernel's
    // index fault), finds the media, interfaces and phase factors that
    // repeat, and allocates the scratch of one pack on the heap: 1 to 2 kB
    // per medium, reused by every pack of the range. `variant` chooses the
    // pack width as for the kernel, AVX2 at the widest (sweep_packs).
    LayerSweep(const SweepStack& stack, std::size_t begin, std::size_t end,
               KernelVariant variant = best_kernel_variant());
    LayerSweep(const LayerSweep&) = delete;
    LayerSweep& operator=(const LayerSweep&) = delete;

    const SweepStack& stack() const noexcept { return stack_; }
    std::size_t media() const noexcept { return media_; }  // N
    std::size_t begin() const noexcept { return begin_; }
    std::size_t end() const noexcept { return end_; }
    KernelVariant variant() const noexcept { return variant_; }

    // Sweeps the `lanes` wavelengths from w0 (lanes 1, 2 or 4, within the
    // range). A pack of 4 needs a variant of AVX2 or wider.
    void evaluate(std::size_t w0, int lanes);

    // Sweeps the range pack by pack and calls f(pack) after each, for code
    // that reads the state of the sweep itself (and may evaluate the same
    // pack of other sweeps in step). The per-layer functions use
    // sweep_packs (layer_sweep_pass.hpp), which compiles their work on a
    // pack together with the sweep.
    void for_each_pack(const std::function<void(const SweepPack&)>& f);

    // The state of the pack last evaluated.
    const SweepPack& pack() const noexcept { return pack_; }
    // Medium j = 0 … N−1.
    const SweepMedium& medium(std::size_t j) const noexcept { return media_terms_[medium_of_[j]]; }
    // Layer j = 1 … N−2, or the exit medium j = N−1.
    const SweepLayer& layer(std::size_t j) const noexcept { return layers_[j]; }

private:
    friend struct LayerSweepPass;

    struct InterfaceLanes {
        LaneComplex s_inv_tau, s_rho_over_tau, p_inv_tau, p_rho_over_tau;
    };
    struct PhaseLanes {
        LaneComplex e_plus, e_minus;
    };

    void plan(std::size_t begin, std::size_t end);
    // Sweeps lane `lane` of the current pack again with scaled products.
    void rescue(int lane);

    SweepStack stack_;
    std::size_t media_;
    std::size_t begin_;
    std::size_t end_;
    KernelVariant variant_;
    double sin_theta_;
    double cos_theta_;
    StackInvariant invariant_;  // unless B comes per wavelength (stack_.invariant.squares)

    // Which distinct medium, interface and phase factors each row, each
    // interface a (a to a+1) and each layer k uses.
    std::vector<std::size_t> medium_of_;
    std::vector<std::size_t> representative_;  // a row of each distinct medium
    std::vector<std::size_t> interface_of_;
    std::vector<std::pair<std::size_t, std::size_t>> interface_media_;
    std::vector<std::size_t> phase_of_;
    std::vector<std::pair<std::size_t, double>> phase_source_;  // (medium, thickness)

    std::vector<SweepMedium> media_terms_;
    std::vector<InterfaceLanes> interfaces_;
    std::vector<PhaseLanes> phases_;
    std::vector<SweepLayer> layers_;  // index 0 unused
    SweepPack pack_;
    std::vector<ScaledPhase> rescue_phases_;
    std::vector<long> rescue_exponents_;
};

}  // namespace lamiro
