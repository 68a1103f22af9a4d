// SPDX-License-Identifier: MIT
#include "optics/incoherent_stack.hpp"

#include <cmath>

#include "optics/amplitudes.hpp"
#include "optics/pair_chunks.hpp"
#include "optics/power_coefficients.hpp"

namespace lamiro {

namespace {

using power::add;
using power::block_power;
using power::flux_p;
using power::flux_s;
using power::medium_terms;
using power::MediumTerms;
using power::PowerCoefficients;
using power::single_pass;

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
