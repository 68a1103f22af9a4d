// SPDX-License-Identifier: MIT
#include "optics/incoherent_absorption.hpp"

#include <vector>

#include "optics/layer_absorption.hpp"
#include "optics/layer_sweep.hpp"
#include "optics/pair_chunks.hpp"
#include "optics/power_coefficients.hpp"
#include "optics/spectrum_derivatives.hpp"

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

// One quantity of both polarisations.
struct Polarised {
    double s;
    double p;
};

// What a run keeps of block b at wavelength w0 + i of a chunk, at index
// b·pair_chunk + i.
struct BlockState {
    PowerCoefficients s;
    PowerCoefficients p;
    Polarised flux_in;        // incident fluxes of its first and last medium,
    Polarised flux_out;       // which normalise its absorbed fractions
    Polarised entering;       // net power crossing into it from above and
    Polarised entering_back;  // from below, per unit of power arriving
    Polarised below;          // X_b: reflectance of everything from block b down
    Polarised forward;        // F_b: intensity reaching it from above
    Polarised backward;       // B_b: intensity reaching it from below
    // The single-pass transmission of the incoherent layer below it (none
    // below the last block), as incoherent_values forms it.
    double pass;
};

// The reflectance of block a, the incoherent layer of single-pass
// transmission p below it and everything below that, of reflectance x.
double reflectance_above(const PowerCoefficients& a, double p, double x) noexcept {
    return add(a, p, PowerCoefficients{x, 0.0, 0.0, 0.0}).r;
}

// The intensities reaching the next block from above (F) and block a from
// below (B), through the incoherent layer of single-pass transmission p
// between them; see incoherent_absorption.hpp.
struct LayerIntensities {
    double forward_below;
    double backward;
};

LayerIntensities layer_intensities(const PowerCoefficients& a, double forward, double p,
                                   double x) noexcept {
    const double p2 = p * p;
    const double top = forward * a.t / (1.0 - a.r_back * x * p2);
    return {p * top, x * p2 * top};
}

Complex conjugate(Complex z) noexcept { return {z.re, -z.im}; }

// The net power that crosses into a block from a medium in which a wave of
// unit power arrives and the wave r times its amplitude leaves, as tmm
// forms it (its power_entering): Re(y·conj(1 + r)·(1 − r))/Re(y) with
// y = n·C for s, Re(y·(1 + r)·conj(1 − r))/Re(y) with y = n·conj(C) for p.
// In a lossless medium this is 1 − |r|²; in an absorbing one the incident
// and the reflected wave also exchange power.
Polarised power_entering(const MediumTerms& m, Complex r_s, Complex r_p,
                         const Polarised& flux) noexcept {
    const Complex one{1.0, 0.0};
    const Complex y_s = mul(m.n, m.c);
    const Complex y_p = mul(m.n, conjugate(m.c));
    return {mul(y_s, mul(conjugate(add(one, r_s)), sub(one, r_s))).re / flux.s,
            mul(y_p, mul(add(one, r_p), conjugate(sub(one, r_p)))).re / flux.p};
}

// r = m01/m00 for light from above and r′ = −m10/m00 for light from below,
// as block_power forms them.
Complex reflected(const TransferMatrix& m) noexcept { return div(m.m01, m.m00); }
Complex reflected_back(const TransferMatrix& m) noexcept {
    return div(Complex{-m.m10.re, -m.m10.im}, m.m00);
}

// Adds the absorbed fractions of the coherent layers of the block between
// the incoherent media `first` and `last`, lit with the intensities that
// the weights carry (divided by the incident flux), to the rows of its
// layers, or writes them there (from above): the block swept from above in
// the stack's order, or from below in reverse.
void block_absorption(const StackArrays& stack, const StackInvariant& invariant, double theta,
                      double phi, std::size_t first, std::size_t last, std::size_t begin,
                      std::size_t end, const AbsorptionWeights& weights, bool from_below, double* a,
                      std::size_t stride) {
    const std::size_t layers = last - first - 1;
    const RealView d = stack.d.part(first, layers);
    const ComplexView n = stack.n.row_part(first, layers + 2);
    const auto row_stride = static_cast<std::ptrdiff_t>(stride);
    if (!from_below) {
        weighted_absorption_range({d, n, stack.wl, theta, phi, invariant}, begin, end, weights,
                                  {a + first * stride, row_stride, false});
    } else {
        weighted_absorption_range(
            {d.reversed(), n.reversed_rows(), stack.wl, theta, phi, invariant}, begin, end, weights,
            {a + (last - 2) * stride, -row_stride, true});
    }
}

}  // namespace

void incoherent_absorption_values(const StackArrays& stack, std::span<const std::size_t> boundaries,
                                  double theta, double phi, std::size_t begin, std::size_t end,
                                  double* a, std::size_t stride) {
    if (begin >= end || stack.n.rows < 3) return;
    if (boundaries.size() == 2) {
        absorption_range({stack.d, stack.n, stack.wl, theta, phi}, begin, end, a, stride);
        return;
    }
    const StackInvariant invariant = incidence_invariant(stack.n, theta);
    const KernelChoice choice = default_kernel_choice();
    const PolarisationMix mix = PolarisationMix::of(phi);
    const std::size_t blocks = boundaries.size() - 1;
    std::vector<BlockState> state(blocks * pair_chunk);
    std::vector<double> weight_s(pair_chunk);
    std::vector<double> weight_p(pair_chunk);
    const AbsorptionWeights weights{weight_s.data(), weight_p.data()};
    MatrixPair pairs[pair_chunk];

    for (std::size_t w0 = begin; w0 < end;) {
        const std::size_t count = end - w0 < pair_chunk ? end - w0 : pair_chunk;
        const auto at = [&](std::size_t b, std::size_t i) -> BlockState& {
            return state[b * pair_chunk + i];
        };

        // The power coefficients of every block, as incoherent_values forms
        // them, and the power that enters it from either side.
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t first = boundaries[b];
            const std::size_t last = boundaries[b + 1];
            const StackArrays block{stack.d.part(first, last - first - 1),
                                    stack.n.row_part(first, last - first + 1), stack.wl};
            stack_matrix_pairs(choice, block, invariant, w0, w0 + count, pairs);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t w = w0 + i;
                const Complex beta = scale(invariant.source[w], invariant.sin_theta);
                const Complex b_invariant = mul(beta, beta);
                const MediumTerms in = medium_terms(stack.n(first, w), b_invariant);
                const MediumTerms out = medium_terms(stack.n(last, w), b_invariant);
                const TransferMatrix& ms = pairs[i].s;
                const TransferMatrix& mp = pairs[i].p;
                BlockState& state_b = at(b, i);
                state_b.flux_in = {flux_s(in), flux_p(in)};
                state_b.flux_out = {flux_s(out), flux_p(out)};
                state_b.s = block_power(ms, state_b.flux_in.s, state_b.flux_out.s);
                state_b.p = block_power(mp, state_b.flux_in.p, state_b.flux_out.p);
                state_b.entering =
                    power_entering(in, reflected(ms), reflected(mp), state_b.flux_in);
                state_b.entering_back =
                    power_entering(out, reflected_back(ms), reflected_back(mp), state_b.flux_out);
                if (b + 1 < blocks) state_b.pass = single_pass(out, stack.d[last - 1], stack.wl[w]);
            }
        }

        for (std::size_t i = 0; i < count; ++i) {
            // Up from the exit: the reflectance of everything below.
            BlockState& last_block = at(blocks - 1, i);
            last_block.below = {last_block.s.r, last_block.p.r};
            for (std::size_t b = blocks - 1; b-- > 0;) {
                BlockState& block = at(b, i);
                const Polarised& x = at(b + 1, i).below;
                block.below = {reflectance_above(block.s, block.pass, x.s),
                               reflectance_above(block.p, block.pass, x.p)};
            }
            // Down from the entrance: the intensities reaching each block.
            Polarised forward{1.0, 1.0};
            for (std::size_t b = 0; b < blocks; ++b) {
                BlockState& block = at(b, i);
                block.forward = forward;
                block.backward = {0.0, 0.0};
                if (b + 1 == blocks) break;
                const Polarised& x = at(b + 1, i).below;
                const LayerIntensities s = layer_intensities(block.s, forward.s, block.pass, x.s);
                const LayerIntensities p = layer_intensities(block.p, forward.p, block.pass, x.p);
                block.backward = {s.backward, p.backward};
                forward = {s.forward_below, p.forward_below};
            }
            // An incoherent layer absorbs the net power that crosses into
            // it from the block above less the net power that crosses from
            // it into the block below: F·T − B·(entering from below) above,
            // F·(entering from above) − B·T′ below.
            for (std::size_t b = 0; b + 1 < blocks; ++b) {
                const BlockState& above = at(b, i);
                const BlockState& below = at(b + 1, i);
                const double s =
                    (above.forward.s * above.s.t - above.backward.s * above.entering_back.s) -
                    (below.forward.s * below.entering.s - below.backward.s * below.s.t_back);
                const double p =
                    (above.forward.p * above.p.t - above.backward.p * above.entering_back.p) -
                    (below.forward.p * below.entering.p - below.backward.p * below.p.t_back);
                a[(boundaries[b + 1] - 1) * stride + w0 + i] = mix.p * p + mix.s * s;
            }
        }

        // The coherent layers of each block, lit from above and, where
        // light comes back to it, from below.
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t first = boundaries[b];
            const std::size_t last = boundaries[b + 1];
            if (last - first < 2) continue;
            bool lit_from_below = false;
            for (std::size_t i = 0; i < count; ++i) {
                const BlockState& block = at(b, i);
                weight_s[i] = mix.s * block.forward.s / block.flux_in.s;
                weight_p[i] = mix.p * block.forward.p / block.flux_in.p;
                lit_from_below =
                    lit_from_below || block.backward.s != 0.0 || block.backward.p != 0.0;
            }
            block_absorption(stack, invariant, theta, phi, first, last, w0, w0 + count, weights,
                             false, a, stride);
            if (!lit_from_below) continue;
            for (std::size_t i = 0; i < count; ++i) {
                const BlockState& block = at(b, i);
                weight_s[i] = mix.s * block.backward.s / block.flux_out.s;
                weight_p[i] = mix.p * block.backward.p / block.flux_out.p;
            }
            block_absorption(stack, invariant, theta, phi, first, last, w0, w0 + count, weights,
                             true, a, stride);
        }
        w0 += count;
    }
}

}  // namespace lamiro
