// SPDX-License-Identifier: MIT
#pragma once

// R, T and their derivatives with respect to every layer's thickness for a
// stack with incoherent layers (incoherent_stack.hpp).
//
// Each coherent block (the layers between two neighbouring incoherent
// media) is swept as a stack of its own, with the invariant B of the whole
// stack, from both sides. The forward sweep gives its r, t and, per layer,
// ∂|r|² and ∂|t|² (thickness_gradient.cpp); the sweep of the block turned
// round gives r′ and t′ and ∂|r′|², ∂|t′|² for light from the far side:
// the reversed block's matrix is J·M⁻¹·J (J swaps the two entries; every
// interface matrix reversed is the inverse of the original, every phase
// matrix inverted is J·E·J), whose m01/m00 is −m10/m00 = r′ and whose
// 1/m00 is det M/m00 = t′ of the original.
//
// The blocks then add up as the spectra add them, R, T, R′, T′ of
// everything before an incoherent layer with its single-pass transmission
// P and the block after it. A derivative of the total with respect to one
// block's coefficients, or one layer's P, is the chain through the sums
// before and after it: with the partial sums from the front and from the
// back, each block costs two sums' partial derivatives, and the whole
// stack O(N) per wavelength. An incoherent layer of thickness h enters
// through P = exp(−4π·Im(K)·h/λ), dP/dh = −4π·Im(K)/λ·P.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "common/owned_buffer.hpp"
#include "optics/owned_array.hpp"
#include "optics/thickness_gradient.hpp"

namespace lamiro {

// A stack's coherent blocks as stacks of their own, forward and reversed,
// prepared once per call for every angle and wavelength range. Keeps
// references to d, n and wl, which must outlive it.
class IncoherentBlocks {
public:
    // `boundaries`: the incoherent media (incoherent_media()), at least two.
    // The caller has checked the shapes.
    IncoherentBlocks(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                     std::span<const std::size_t> boundaries);

    struct Block {
        std::size_t first;  // the incoherent medium in front (a row of n)
        std::size_t last;   // the incoherent medium behind
        RealVector d, d_reversed;
        ComplexMatrix n, n_reversed;
    };

    const RealVector& d() const noexcept { return d_; }
    const ComplexMatrix& n() const noexcept { return n_; }
    const RealVector& wl() const noexcept { return wl_; }
    std::span<const std::size_t> boundaries() const noexcept {
        return {boundaries_.data(), boundaries_.size()};
    }
    const std::vector<Block>& blocks() const noexcept { return blocks_; }

    // out[w] = the invariant B = (n_0·sin θ)² of the whole stack at every
    // wavelength, as the kernel forms it: what every block is swept with.
    void invariant(double theta, Complex* out) const noexcept;

private:
    const RealVector& d_;
    const ComplexMatrix& n_;
    const RealVector& wl_;
    OwnedBuffer<std::size_t> boundaries_;
    std::vector<Block> blocks_;
};

// R and T (as incoherent_values gives them) and ∂R/∂d[k], ∂T/∂d[k] at the
// wavelengths [begin, end) of light incident at theta, mixed by φ, with
// `invariant` from blocks.invariant(theta, …) (indexed by wavelength).
// Writes only the entries of those wavelengths (r and t both or neither);
// every value depends on its own wavelength alone.
void incoherent_gradient_range(const IncoherentBlocks& blocks, const Complex* invariant,
                               double theta, double phi, std::size_t begin, std::size_t end,
                               const GradientOutputs& out,
                               KernelVariant variant = best_kernel_variant());

}  // namespace lamiro
