// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
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
// SSE2, four with AVX2 when the processor has it): the packed arithmetic
// rounds lane by lane like the scalar one, and the C library calls stay
// scalar calls per wavelength. Other processors evaluate one wavelength at
// a time (packs of one), with the same bits.

// Width of the packs: the number of wavelengths evaluated together.
enum class PackWidth : unsigned char { one = 1, two = 2, four = 4 };

// The widest pack this processor runs: on x86-64 four with AVX2, otherwise
// two; one on other processors.
PackWidth widest_pack_width() noexcept;

// MatrixPair of wavelength w: {stack_transfer_matrix(.., w, S),
// stack_transfer_matrix(.., w, P)}, with the same index fault.
MatrixPair stack_matrix_pair(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                             double theta, std::size_t w);

// out[w − begin] = stack_matrix_pair(d, n, wl, theta, w) for every w in
// [begin, end), in packs of the widest width and a narrower tail. Throws
// the index fault, before writing anything, when some w of the range
// could not be evaluated. Allocates nothing.
void stack_matrix_pairs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                        double theta, std::size_t begin, std::size_t end, MatrixPair* out);

// The same with packs of at most `width`, and never wider than
// widest_pack_width(). For tests and benchmarks of each path.
void stack_matrix_pairs(PackWidth width, const RealVector& d, const ComplexMatrix& n,
                        const RealVector& wl, double theta, std::size_t begin, std::size_t end,
                        MatrixPair* out);

}  // namespace lamiro
