// SPDX-License-Identifier: MIT
#pragma once

// The power coefficients of a coherent block between two incoherent media,
// and how blocks and the incoherent layers between them add up (the
// intensity method of incoherent_stack.hpp). Shared by the spectra and the
// derivatives of stacks with incoherent layers, so that both form every
// value the same way.

#include <cmath>

#include "optics/complex.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro::power {

// Power coefficients of one polarisation: forward reflection and
// transmission, and the same for light arriving from the far side.
struct PowerCoefficients {
    double r;
    double t;
    double r_back;
    double t_back;
};

// The normal terms of an incoherent medium: K = n·cos θ and C = cos θ, with
// the stack invariant B, as the kernel forms them.
struct MediumTerms {
    Complex n;
    Complex k;
    Complex c;
};

inline MediumTerms medium_terms(Complex n, Complex b) noexcept {
    const Complex k = complex_sqrt(sub(mul(n, n), b));
    return {n, k, div(k, n)};
}

// Re(n·cos θ) for s and Re(n·conj(cos θ)) for p: the normal power flux per
// |E|² that turns |t|² into a transmitted power fraction.
inline double flux_s(const MediumTerms& m) noexcept { return mul(m.n, m.c).re; }
inline double flux_p(const MediumTerms& m) noexcept {
    return mul(m.n, Complex{m.c.re, -m.c.im}).re;
}

inline double squared_modulus(Complex z) noexcept { return z.re * z.re + z.im * z.im; }

// Forward r = m01/m00, t = 1/m00 and backward r′ = −m10/m00,
// t′ = det M/m00 of a block's matrix, as power fractions.
inline PowerCoefficients block_power(const TransferMatrix& m, double flux_in,
                                     double flux_out) noexcept {
    const Complex t = reciprocal(m.m00);
    const Complex r = div(m.m01, m.m00);
    const Complex r_back = div(Complex{-m.m10.re, -m.m10.im}, m.m00);
    const Complex t_back = div(sub(mul(m.m00, m.m11), mul(m.m01, m.m10)), m.m00);
    return {squared_modulus(r), squared_modulus(t) * flux_out / flux_in, squared_modulus(r_back),
            squared_modulus(t_back) * flux_in / flux_out};
}

// Everything before an incoherent layer (a), the layer's single-pass power
// transmission p, and the block after it (b), as one.
inline PowerCoefficients add(const PowerCoefficients& a, double p,
                             const PowerCoefficients& b) noexcept {
    const double p2 = p * p;
    const double denominator = 1.0 - a.r_back * b.r * p2;
    return {a.r + a.t * a.t_back * b.r * p2 / denominator, a.t * b.t * p / denominator,
            b.r_back + b.t_back * b.t * a.r_back * p2 / denominator,
            b.t_back * a.t_back * p / denominator};
}

// −4π·Im(K)/λ: the rate at which a layer's single-pass power transmission
// falls with its thickness, P = exp(rate·h).
inline double single_pass_rate(const MediumTerms& m, double lambda) noexcept {
    constexpr double pi = 3.141592653589793;
    return -4.0 * pi * m.k.im / lambda;
}

// exp(−4π·Im(K)·h/λ): the power left after one pass through a layer.
inline double single_pass(const MediumTerms& m, double h, double lambda) noexcept {
    constexpr double pi = 3.141592653589793;
    return std::exp(-4.0 * pi * h * m.k.im / lambda);
}

}  // namespace lamiro::power
