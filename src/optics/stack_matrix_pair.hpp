// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/array_view.hpp"
#include "optics/complex.hpp"
#include "optics/kernel_variant.hpp"
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

// The compiled variants are those of kernel_variant.hpp; the AVX-512VL one
// runs planned ranges (unplanned ones run its AVX2 packs, which measured as
// fast or faster there).

// How a range is evaluated: the variant (never one wider than
// best_kernel_variant(); a wider one runs as that) and whether it is
// planned. For tests and benchmarks of each path.
struct KernelChoice {
    KernelVariant variant;
    Planning planning;
};

// The choice the module runs: the best variant, planned where it pays.
KernelChoice default_kernel_choice() noexcept;

// The stack a kernel reads: d[k−1] is the thickness of layer k, row j of
// `n` is medium j (row 0 the medium the light comes from, the last row the
// medium it leaves into), wl[w] the vacuum wavelength of column w. Views,
// so that a part of a stack, or a stack seen from its exit side, is
// evaluated without a copy.
struct StackArrays {
    RealView d;
    ComplexView n;
    RealView wl;
};

// Where the stack invariant B = β·β comes from at wavelength w:
// β = source[w]·sin_theta, a scaling by a real, as the kernel has always
// formed it from the incidence medium and the angle of incidence. Every
// medium of a stack and every part of it shares the invariant of the
// whole, so a part evaluated with the invariant of the whole has the
// matrices of that part inside the whole. A β that the caller has already
// formed is given as source = β with sin_theta = 1 (x·1 is x, bit for bit).
struct StackInvariant {
    ComplexRow source;
    double sin_theta;
};

// The invariant of light incident from row 0 of `n` at the angle theta:
// {row 0, sin θ}, the start of every evaluation of lamiro's spectra.
StackInvariant incidence_invariant(const ComplexView& n, double theta) noexcept;

// Throws the index fault when stack_transfer_matrix would throw it for
// some wavelength index below `end` (end > 0), or when the invariant's
// source is shorter: the check every evaluation of a range makes before
// it reads anything.
void check_stack_reads(const StackArrays& stack, const StackInvariant& invariant, std::size_t end);

// out[w − begin] = the S and P matrices of the stack at wavelength w, for
// every w in [begin, end), with the given invariant. Throws the index
// fault, before writing anything, when the stack or the invariant's source
// cannot be read at every w of the range (fewer than two media, fewer
// thicknesses than layers, too few columns or wavelengths). Allocates
// nothing.
void stack_matrix_pairs(KernelChoice choice, const StackArrays& stack,
                        const StackInvariant& invariant, std::size_t begin, std::size_t end,
                        MatrixPair* out);

// MatrixPair of wavelength w: {stack_transfer_matrix(.., w, S),
// stack_transfer_matrix(.., w, P)}, with the same index fault.
MatrixPair stack_matrix_pair(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                             double theta, std::size_t w);

// out[w − begin] = stack_matrix_pair(d, n, wl, theta, w) for every w in
// [begin, end), with the default choice: the invariant of incidence from
// row 0 at theta. Throws the index fault, before writing anything, when
// some w of the range could not be evaluated. Allocates nothing.
void stack_matrix_pairs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                        double theta, std::size_t begin, std::size_t end, MatrixPair* out);

// The same with a given choice.
void stack_matrix_pairs(KernelChoice choice, const RealVector& d, const ComplexMatrix& n,
                        const RealVector& wl, double theta, std::size_t begin, std::size_t end,
                        MatrixPair* out);

}  // namespace lamiro
