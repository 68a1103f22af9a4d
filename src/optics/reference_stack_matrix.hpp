// SPDX-License-Identifier: MIT
#pragma once

// The reference kernel: the transfer matrix of one wavelength and one
// polarisation, computed step by step as the method defines it, with no
// shortcut. The module does not call it; it runs the pair kernel
// (stack_matrix_pair.hpp), which must give these bits for every matrix.
// The tests compare the two in the same process, and the benchmarks
// measure the pair kernel against it.

#include <cstddef>

#include "optics/complex.hpp"
#include "optics/owned_array.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// The quantities of one medium at one wavelength that every interface and
// phase factor touching it needs; computed once per medium.
struct MediumWave {
    Complex n;  // refractive index n_j
    Complex k;  // normal wave-vector term K_j = sqrt(n_j² − B) = n_j·cos θ_j
    Complex c;  // complex cosine C_j = K_j / n_j
};

// K and C of a medium of index n, given the stack invariant B = (n_0·sin θ)².
MediumWave medium_wave(Complex n, Complex b) noexcept;

// The two distinct entries of the symmetric interface matrix
// [[1/τ, ρ/τ], [ρ/τ, 1/τ]] between two adjacent media.
struct InterfaceEntries {
    Complex inv_tau;       // 1/τ
    Complex rho_over_tau;  // ρ/τ
};

// Fresnel interface from medium `from` to medium `to` for one polarisation.
InterfaceEntries interface_entries(const MediumWave& from, const MediumWave& to,
                                   Polarisation polarisation) noexcept;

// Transfer matrix of the whole stack for wavelength index w: row j of `n`
// is medium j (0 the incidence medium, the last row the exit medium),
// d[k−1] the thickness of layer k, wl[w] the vacuum wavelength and theta
// the angle of incidence in medium 0. Reading outside `wl`, `n` or `d`
// throws InternalFault(index_out_of_bounds_message). Allocates nothing.
TransferMatrix stack_transfer_matrix(const RealVector& d, const ComplexMatrix& n,
                                     const RealVector& wl, double theta, std::size_t w,
                                     Polarisation polarisation);

}  // namespace lamiro
