// SPDX-License-Identifier: MIT
#pragma once

// The phase a layer adds to the transfer matrix: its normal wave number
// κ = n·(C·2π)/λ and the two phase factors e₊ = e^((κ·i)·h) and
// e₋ = e^((κ·(−i))·h). The reference kernel takes complex_exp of each
// exponent; the pair kernel takes the exact shortcuts below, which give the
// same bits with fewer library calls.

#include <math.h>  // ::sincos

#include <bit>
#include <cmath>
#include <cstdint>

#include "optics/complex.hpp"

namespace lamiro {

// 2π as the binary64 value by which both kernels scale the phase.
inline constexpr double two_pi = 6.283185307179586;

// exp(x), skipping the call where the result is exactly 1 (x = ±0).
inline double exp_or_one(double x) noexcept { return x == 0.0 ? 1.0 : std::exp(x); }

// sin and cos of the imaginary parts of a layer's two exponents, by sincos
// (which gives the values of sin and cos). The two are negatives of each
// other in most lanes, so one call serves both where sin(−x) = −sin(x) and
// cos(−x) = cos(x) hold bit for bit (they do in glibc); equal bits share it
// too. The arguments are references so that they are read where they are
// compared, after the call, rather than held across it (saves a spill).
inline void exponent_sincos(const double& plus_im, const double& minus_im, double& sin_plus,
                            double& cos_plus, double& sin_minus, double& cos_minus) noexcept {
    constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
    ::sincos(plus_im, &sin_plus, &cos_plus);
    const std::uint64_t bits_plus = std::bit_cast<std::uint64_t>(plus_im);
    const std::uint64_t bits_minus = std::bit_cast<std::uint64_t>(minus_im);
    if (bits_minus == (bits_plus ^ sign_bit)) {
        sin_minus = -sin_plus;
        cos_minus = cos_plus;
    } else if (bits_minus == bits_plus) {
        sin_minus = sin_plus;
        cos_minus = cos_plus;
    } else {
        ::sincos(minus_im, &sin_minus, &cos_minus);
    }
}

// e_plus = complex_exp(plus) and e_minus = complex_exp(minus), bit for bit,
// for the two exponents of a layer, with the shortcuts above.
void phase_factors(Complex plus, Complex minus, Complex& e_plus, Complex& e_minus) noexcept;

}  // namespace lamiro
