// SPDX-License-Identifier: MIT
#pragma once

// Spectrum values that the plain evaluation cannot give as finite numbers
// although the stack is sound. A thick absorbing layer (a silicon wafer, a
// metal back layer) makes the transfer matrix overflow binary64, through its
// growing phase factor or through |m00|² in the quotients, and R and T come
// out NaN where the physical values are finite: nothing returns from deep
// inside the layer, so R is that of the layers in front of it, and T is
// zero or tiny.
//
// Such values are replaced by those of the scaled evaluation
// (scaled_stack_matrix.hpp), and nothing else changes:
// - a finite value is never touched, so a spectrum that overflows nowhere
//   keeps its bits, and so does every finite value of one that does;
// - a wavelength with a NaN or infinite input (θ, φ, λ, a thickness or an
//   index component), λ = 0 or a zero index is left as computed: its
//   non-finite values are the answer the arithmetic gives for it;
// - where the scaled value is not finite either (an interface whose D is
//   zero, indices whose squares overflow), the plain one stays.

#include <cstddef>

#include "optics/amplitudes.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// True when wavelength w of the stack has only finite inputs, a non-zero λ
// and no zero index (either sign of either zero), and every read lies inside
// the arrays: the wavelengths whose non-finite values come from overflow.
bool finite_stack_inputs(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                         double theta, std::size_t w) noexcept;

// For each i below count, with wavelength index begin + i: where r[i] or
// t[i] is not finite and finite_stack_inputs holds (and φ is finite), takes
// the value of the scaled evaluation in its place if that one is finite.
// Either r or t may be null. Costs one finiteness test per value where
// nothing overflows.
void replace_overflowed_values(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                               double theta, double phi, std::size_t begin, std::size_t count,
                               double* r, double* t);

// The same for the amplitude coefficients of wavelength w: each of rs, rp,
// ts, tp with a non-finite component, where finite_stack_inputs holds, takes
// the scaled evaluation's coefficient in its place if that one is finite.
// Costs one finiteness test per component where nothing overflows.
void replace_overflowed_amplitudes(const RealVector& d, const ComplexMatrix& n,
                                   const RealVector& wl, double theta, std::size_t w,
                                   AmplitudeCoefficients& c);

}  // namespace lamiro
