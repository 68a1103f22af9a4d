// SPDX-License-Identifier: MIT
#pragma once

#include "optics/complex.hpp"

namespace lamiro {

// The phase factors of a layer, e₋ = exp((κ·(−i))·h) and e₊ = exp((κ·i)·h)
// with the exponents formed as the kernel forms them, as 2^exponent times
// the mantissas e_minus and e_plus: the real parts of the exponents are
// reduced by exponent·ln 2, chosen for the larger one, so that the larger
// factor is near 1 in magnitude and neither overflows however thick or
// lossy the layer (the smaller one underflows where it is negligible).
// For the sweeps of wavelengths whose plain products leave the range of
// binary64; not the kernel's bits.
struct ScaledPhase {
    Complex e_minus;
    Complex e_plus;
    long exponent;
};

ScaledPhase scaled_phase(Complex kappa, double h) noexcept;

}  // namespace lamiro
