// SPDX-License-Identifier: MIT
#pragma once

// Reflectance and transmittance of a stack whose layers are each coherent
// (thin: their phase counts) or incoherent (thick: their phase averages
// out), by the intensity method of Katsidis & Siapkas (Appl. Opt. 41, 3978
// (2002)), as tmm's inc_tmm computes it.
//
// The incidence medium, every incoherent layer and the exit medium are the
// stack's incoherent media. Between two neighbouring ones lies a coherent
// block: the two as semi-infinite media and the coherent layers between
// them. The pair kernel evaluates each block in place (a view of its rows)
// from the invariant of the whole stack, and each block's matrix M gives
// its power coefficients forward (from r = m01/m00, t = 1/m00) and backward
// (r′ = −m10/m00, t′ = det M/m00). The blocks are then added from the front,
// with the single-pass power transmission P = exp(−4π·Im(n cos θ)·h/λ) of
// each incoherent layer between them:
//
//   R = Ra + Ta·T′a·Rb·P²/(1 − R′a·Rb·P²)    T = Ta·Tb·P/(1 − R′a·Rb·P²)
//   R′ = R′b + T′b·Tb·R′a·P²/(…)             T′ = T′b·T′a·P/(…)
//
// which never forms 1/P: a thick absorbing layer (P² below the smallest
// double) gives finite numbers, its far side simply not reached.
// Transmitted power is |t|²·Re(n_out·cos θ_out)/Re(n_in·cos θ_in) for s and
// |t|²·Re(n_out·conj(cos θ_out))/Re(n_in·conj(cos θ_in)) for p, as in tmm.

#include <cstddef>
#include <span>

#include "common/owned_buffer.hpp"
#include "optics/owned_array.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

// The incoherent media of a stack of `media` media: 0, every layer k whose
// flag coherent[k − 1] is zero, and media − 1, in order.
OwnedBuffer<std::size_t> incoherent_media(const unsigned char* coherent, std::size_t media);

// R and T mixed by φ (s weighted by cos²φ, p by sin²φ) at the wavelengths
// [begin, end) of light incident from row 0 of the stack at the angle
// theta, written to r[w − begin] and t[w − begin]. `boundaries` are the
// incoherent media (incoherent_media); the caller has checked the shapes.
// Allocates nothing.
void incoherent_values(const StackArrays& stack, std::span<const std::size_t> boundaries,
                       double theta, double phi, std::size_t begin, std::size_t end, double* r,
                       double* t);

}  // namespace lamiro
