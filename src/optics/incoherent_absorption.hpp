// SPDX-License-Identifier: MIT
#pragma once

// The fraction of the incident power absorbed in each layer of a stack
// with coherent and incoherent layers, by the intensity method of
// incoherent_stack.hpp, as tmm's inc_absorp_in_each_layer computes it.
//
// The power coefficients of the coherent blocks give, from the exit side
// up, the reflectance X_b of everything from block b down (seen from
// above it); from the entrance down, the forward intensity F_b that
// reaches block b from above (F_0 = 1) and the backward intensity B_b
// that reaches it from below (0 for the last block). Between blocks b and
// b + 1 lies an incoherent layer of single-pass transmission P; with
// f = F_b·T_b/(1 − R′_b·X_{b+1}·P²) the forward intensity at its top,
//     B_b = X_{b+1}·P²·f,   F_{b+1} = P·f.
// No step divides by P, so a thick absorbing layer gives finite values, its
// far side simply not reached. The layer absorbs the net power crossing
// into it from the block above, F_b·T_b − B_b·E′_b, less the net power
// crossing from it into the block below, F_{b+1}·E_{b+1} − B_{b+1}·T′_{b+1},
// where E and E′ are the powers entering a block per unit of power
// arriving from above and from below (1 − R in a lossless medium; in an
// absorbing one the arriving and the reflected wave also exchange power).
// A coherent layer of block b absorbs F_b times its absorbed fraction with
// the block lit from above plus B_b times the fraction with the block lit
// from below (the incoherent sum of the two illuminations): one layer
// sweep of the block from each side, from the invariant of the whole
// stack. Every net power is the one the sweeps' fluxes add up to, so the
// absorptions, R and T add up to 1 to rounding (lossless exit medium). The
// polarisations mix as in R and T.

#include <cstddef>
#include <span>

#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

// a[(k − 1)·stride + w] = the fraction of the incident power absorbed in
// layer k (1 … N − 2) at every wavelength w of [begin, end), for light
// incident from row 0 of the stack at the angle theta, mixed by φ.
// `boundaries` are the incoherent media (incoherent_media); the caller has
// checked the shapes. With no incoherent layer these are absorption_range's
// values. Allocates scratch of about 14 kB per incoherent medium and the
// layer sweeps' scratch, for the run.
void incoherent_absorption_values(const StackArrays& stack, std::span<const std::size_t> boundaries,
                                  double theta, double phi, std::size_t begin, std::size_t end,
                                  double* a, std::size_t stride);

}  // namespace lamiro
