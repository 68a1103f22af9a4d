// SPDX-License-Identifier: MIT
#include "optics/incoherent_stack.hpp"

#include <cmath>

#include "optics/amplitudes.hpp"
#include "optics/pair_chunks.hpp"

namespace lamiro {

namespace {

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

MediumTerms medium_terms(Complex n, Complex b) noexcept {
    const Complex k = complex_sqrt(sub(mul(n, n), b));
    return {n, k, div(k, n)};
}

// Re(n·cos θ) for s and Re(n·conj(cos θ)) for p: the normal power flux per
// |E|² that turns |t|² into a transmitted power fraction.
double flux_s(const MediumTerms& m) noexcept { return mul(m.n, m.c).re; }
double flux_p(const MediumTerms& m) noexcept { return mul(m.n, Complex{m.c.re, -m.c.im}).re; }

double squared_modulus(Complex z) noexcept { return z.re * z.re + z.im * z.im; }

// Forward r = m01/m00, t = 1/m00 and backward r′ = −m10/m00,
// t′ = det M/m00 of a block's matrix, as power fractions.
PowerCoefficients block_power(const TransferMatrix& m, double flux_in, double flux_out) noexcept {
    const Complex t = reciprocal(m.m00);
    const Complex r = div(m.m01, m.m00);
    const Complex r_back = div(Complex{-m.m10.re, -m.m10.im}, m.m00);
    const Complex t_back = div(sub(mul(m.m00, m.m11), mul(m.m01, m.m10)), m.m00);
    return {squared_modulus(r), squared_modulus(t) * flux_out / flux_in, squared_modulus(r_back),
            squared_modulus(t_back) * flux_in / flux_out};
}

// Everything before an incoherent layer (a), the layer's single-pass power
// transmission p, and the block after it (b), as one.
PowerCoefficients add(const PowerCoefficients& a, double p, const PowerCoefficients& b) noexcept {
    const double p2 = p * p;
    const double denominator = 1.0 - a.r_back * b.r * p2;
    return {a.r + a.t * a.t_back * b.r * p2 / denominator, a.t * b.t * p / denominator,
            b.r_back + b.t_back * b.t * a.r_back * p2 / denominator,
            b.t_back * a.t_back * p / denominator};
}

// exp(−4π·Im(K)·h/λ): the power left after one pass through a layer.
double single_pass(const MediumTerms& m, double h, double lambda) noexcept {
    constexpr double pi = 3.141592653589793;
    return std::exp(-4.0 * pi * h * m.k.im / lambda);
}

}  // namespace

OwnedBuffer<std::size_t> incoherent_media(const unsigned char* coherent, std::size_t media) {
    std::size_t count = media < 2 ? media : 2;
    for (std::size_t k = 1; k + 1 < media; ++k) count += coherent[k - 1] == 0;
    OwnedBuffer<std::size_t> boundaries = OwnedBuffer<std::size_t>::allocate(count);
    std::size_t i = 0;
    for (std::size_t j = 0; j < media; ++j) {
        if (j == 0 || j + 1 == media || coherent[j - 1] == 0) boundaries[i++] = j;
    }
    return boundaries;
}

void incoherent_values(const StackArrays& stack, std::span<const std::size_t> boundaries,
                       double theta, double phi, std::size_t begin, std::size_t end, double* r,
                       double* t) {
    const StackInvariant invariant = incidence_invariant(stack.n, theta);
    const KernelChoice choice = default_kernel_choice();
    const double sp = std::sin(phi);
    const double cp = std::cos(phi);
    MatrixPair pairs[pair_chunk];
    PowerCoefficients s_total[pair_chunk];
    PowerCoefficients p_total[pair_chunk];
    for (std::size_t w0 = begin; w0 < end;) {
        const std::size_t count = end - w0 < pair_chunk ? end - w0 : pair_chunk;
        for (std::size_t b = 0; b + 1 < boundaries.size(); ++b) {
            const std::size_t first = boundaries[b];
            const std::size_t last = boundaries[b + 1];
            const StackArrays block{stack.d.part(first, last - first - 1),
                                    stack.n.row_part(first, last - first + 1), stack.wl};
            stack_matrix_pairs(choice, block, invariant, w0, w0 + count, pairs);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t w = w0 + i;
                const Complex beta = scale(invariant.source[w], invariant.sin_theta);
                const Complex invariant_b = mul(beta, beta);
                const MediumTerms in = medium_terms(stack.n(first, w), invariant_b);
                const MediumTerms out = medium_terms(stack.n(last, w), invariant_b);
                const PowerCoefficients s = block_power(pairs[i].s, flux_s(in), flux_s(out));
                const PowerCoefficients p = block_power(pairs[i].p, flux_p(in), flux_p(out));
                if (b == 0) {
                    s_total[i] = s;
                    p_total[i] = p;
                } else {
                    const double pass = single_pass(in, stack.d[first - 1], stack.wl[w]);
                    s_total[i] = add(s_total[i], pass, s);
                    p_total[i] = add(p_total[i], pass, p);
                }
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = w0 + i - begin;
            r[at] = canonical_nan(((sp * sp) * p_total[i].r) + ((cp * cp) * s_total[i].r));
            t[at] = canonical_nan(((sp * sp) * p_total[i].t) + ((cp * cp) * s_total[i].t));
        }
        w0 += count;
    }
}

}  // namespace lamiro
