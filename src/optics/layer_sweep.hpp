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
#include <utility>
#include <vector>

#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/packed_stack_terms.hpp"
#include "optics/scaled_phase.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// The stack and the illumination that the per-layer functions read: the
// same inputs as the spectra. All lengths (d, wl, depths) are in one unit;
// derivatives are per unit of that length.
struct SweepStack {
    const RealVector& d;
    const ComplexMatrix& n;
    const RealVector& wl;
    double theta;
    double phi;
    // B = (n_0·sin θ)² per wavelength index, for callers that evaluate a
    // part of a stack or another angle with the incidence medium's
    // invariant; nullptr: computed from n[0, w] and θ as the kernel does.
    // θ still gives the normalisation n_0·cos θ of fluxes and transmittance.
    const Complex* invariant = nullptr;
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
    // pack width as for the kernel.
    LayerSweep(const SweepStack& stack, std::size_t begin, std::size_t end,
               KernelVariant variant = best_kernel_variant());
    LayerSweep(const LayerSweep&) = delete;
    LayerSweep& operator=(const LayerSweep&) = delete;

    const SweepStack& stack() const noexcept { return stack_; }
    std::size_t media() const noexcept { return media_; }  // N
    std::size_t begin() const noexcept { return begin_; }
    std::size_t end() const noexcept { return end_; }

    // Sweeps the `lanes` wavelengths from w0 (lanes 1, 2 or 4, within the
    // range). A pack of 4 needs a variant of AVX2 or wider.
    void evaluate(std::size_t w0, int lanes);

    // Sweeps the range pack by pack, widest packs first, and calls
    // f(pack) after each.
    template <class F>
    void for_each_pack(F&& f) {
        std::size_t w = begin_;
        for (int lanes : {4, 2, 1}) {
            if (lanes > widest_) continue;
            for (; end_ - w >= static_cast<std::size_t>(lanes);
                 w += static_cast<std::size_t>(lanes)) {
                evaluate(w, lanes);
                f(pack_);
            }
        }
    }

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
    int widest_;
    double sin_theta_;
    double cos_theta_;

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
