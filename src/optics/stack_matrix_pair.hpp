// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/stack_plan.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// The kernel the module runs: both transfer matrices of a wavelength in one
// pass, for a range of wavelengths. K, C, the normal wave
// number κ and the phase factors e₊, e₋ of a medium do not depend on the
// polarisation, so they are computed once and serve the S and the P matrix;
// so are the numerator of τ and the S products n·C that two neighbouring
// interfaces share. Every matrix has the bits that the reference kernel
// `stack_transfer_matrix` (reference_stack_matrix.hpp) gives for its
// polarisation: the same operations on the same operands, only not
// repeated. The one exception is the sign and payload of a NaN, which the
// arithmetic leaves open: packed and scalar instructions may propagate a
// different one of two NaN operands, so a NaN entry may differ in those bits
// with the pack width and the lane a wavelength lands in.
//
// On x86-64 several wavelengths are evaluated together in packs (two with
// SSE2, four with AVX2 or AVX-512VL, as the processor has them):
// the packed arithmetic rounds lane by lane like the scalar one, and the C
// library calls stay scalar calls per wavelength. Other processors evaluate
// one wavelength at a time (packs of one), with the same bits.
//
// Before the packs of a range, the kernel looks for media and layers that
// repeat in the range (stack_plan.hpp) and then computes each repeated
// medium, interface and phase factor once per pack; the bits are the same.

// The compiled variants of the kernel, by the instruction set they use. A
// variant evaluates a range in packs of its width, and its tail in the
// packs of the narrower variants.
enum class KernelVariant : unsigned char {
    scalar,    // one wavelength at a time; every processor
    sse2,      // packs of two; every x86-64 processor
    avx2,      // packs of four, AVX2 without FMA
    avx512vl,  // packs of four, AVX-512VL without FMA (32 vector registers), when
               // planned; the AVX2 packs when not
};

// True when this processor runs `variant` (and no cap excludes it).
bool kernel_variant_supported(KernelVariant variant) noexcept;

// The variant the module runs here: the widest this processor supports,
// within the cap.
KernelVariant best_kernel_variant() noexcept;

// Caps the variants of this process at `widest`: from the next evaluation
// on, every variant wider than it counts as unsupported, as on a processor
// without those instructions, so the default choice runs what such a
// processor would. A cap above what the processor has enables nothing. For
// tests and benchmarks; the module never calls it.
void cap_kernel_variant(KernelVariant widest) noexcept;

// Wavelengths per pack of `variant`.
std::size_t pack_lanes(KernelVariant variant) noexcept;

// How a range is evaluated: the variant (never one wider than
// best_kernel_variant(); a wider one runs as that) and whether it is
// planned. For tests and benchmarks of each path.
struct KernelChoice {
    KernelVariant variant;
    Planning planning;
};

// The choice the module runs: the best variant, planned where it pays.
KernelChoice default_kernel_choice() noexcept;

// MatrixPair of wavelength w: {stack_transfer_matrix(.., w, S),
// stack_transfer_matrix(.., w, P)}, with the same index fault.
MatrixPair stack_matrix_pair(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                             double theta, std::size_t w);

// out[w − begin] = stack_matrix_pair(d, n, wl, theta, w) for every w in
// [begin, end), with the default choice. Throws the index fault, before
// writing anything, when some w of the range could not be evaluated.
// Allocates nothing.
void stack_matrix_pairs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                        double theta, std::size_t begin, std::size_t end, MatrixPair* out);

// The same with a given choice.
void stack_matrix_pairs(KernelChoice choice, const RealVector& d, const ComplexMatrix& n,
                        const RealVector& wl, double theta, std::size_t begin, std::size_t end,
                        MatrixPair* out);

}  // namespace lamiro
