// SPDX-License-Identifier: MIT
// The layer sweep's prefixes against the reference kernel, bit for bit:
// the prefix of medium j is the transfer matrix of the stack cut below
// medium j, and the last one is lamiro's matrix. R and T of the gradient
// function against the spectra, bit for bit, also where the wavelength is
// swept again with scaling. And every per-layer function gives the same
// bits whatever the range is cut into and whatever the pack width.
#include <gtest/gtest.h>

#include <limits>

#include "optics/layer_absorption.hpp"
#include "optics/needle_function.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/thickness_gradient.hpp"
#include "sweep_test_support.hpp"

namespace lamiro {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<KernelVariant> variants() {
    std::vector<KernelVariant> result;
    for (KernelVariant v : {KernelVariant::scalar, KernelVariant::sse2, KernelVariant::avx2}) {
        if (kernel_variant_supported(v)) result.push_back(v);
    }
    return result;
}

// Stacks of 0 to 58 layers (N = 2 … 60), lossless and absorbing, 7
// wavelengths (a pack of 4, of 2 and of 1 in the widest variant). The stack
// with every layer of one of two media repeats media, interfaces and phase
// factors, which the sweep computes once.
TEST(LayerSweepPrefix, IsTheKernelMatrixOfTheStackCutBelowEachMedium) {
    std::mt19937_64 rng(7);
    for (std::size_t layers = 0; layers <= 58; ++layers) {
        PlainStack s = random_stack(rng, layers, 7, layers % 2 == 1, 0.7);
        if (layers % 5 == 4) {
            for (std::size_t k = 3; k <= layers; ++k) {
                s.n[k] = s.n[k % 2 == 1 ? 1 : 2];
                s.d[k - 1] = s.d[k % 2 == 1 ? 0 : 1];
            }
        }
        const SweepArrays a(s);
        for (KernelVariant variant : variants()) {
            LayerSweep sweep(a.input(), 0, s.wl.size(), variant);
            // A second sweep evaluated pack by pack in step with the first.
            LayerSweep in_step(a.input(), 0, s.wl.size(), variant);
            sweep.for_each_pack([&](const SweepPack& pack) {
                in_step.evaluate(pack.first, pack.lanes);
                for (int i = 0; i < pack.lanes; ++i) {
                    EXPECT_TRUE(same_bits(in_step.pack().pairs[i], pack.pairs[i]));
                    const std::size_t w = pack.first + static_cast<std::size_t>(i);
                    SCOPED_TRACE(std::to_string(layers) + " layers, variant " +
                                 std::to_string(static_cast<int>(variant)) + ", wavelength " +
                                 std::to_string(w));
                    ASSERT_FALSE(pack.rescued[i]);
                    for (std::size_t j = 1; j < sweep.media(); ++j) {
                        const ComplexMatrix cut =
                            complex_matrix(std::vector(s.n.begin(), s.n.begin() + j + 1));
                        const SweepLayer& layer = sweep.layer(j);
                        const auto lane = [&](const LaneMatrix& m) {
                            return TransferMatrix{m.m00.lane(i), m.m01.lane(i), m.m10.lane(i),
                                                  m.m11.lane(i)};
                        };
                        EXPECT_TRUE(same_bits(
                            lane(layer.s.prefix),
                            stack_transfer_matrix(a.d, cut, a.wl, s.theta, w, Polarisation::S)));
                        EXPECT_TRUE(same_bits(
                            lane(layer.p.prefix),
                            stack_transfer_matrix(a.d, cut, a.wl, s.theta, w, Polarisation::P)));
                    }
                    EXPECT_TRUE(
                        same_bits(pack.pairs[i], stack_matrix_pair(a.d, a.n, a.wl, s.theta, w)));
                }
            });
        }
    }
}

// R and T as the spectra give them: on ordinary stacks, on wavelengths
// swept again with scaling (a thick absorbing layer; λ = 0) and on
// non-finite inputs.
TEST(ThicknessGradientSpectra, AreLamirosBits) {
    std::mt19937_64 rng(11);
    std::vector<PlainStack> stacks;
    for (int i = 0; i < 20; ++i) stacks.push_back(random_stack(rng, 6, 9, i % 2 == 0, 0.3 * i));
    stacks.push_back({{80.0, 2e5, 30.0},
                      {0.0, 400.0, 500.0, 600.0, 700.0},
                      {std::vector<Complex>(5, {1.0, 0.0}),
                       std::vector<Complex>(5, {2.1, 0.0}),
                       {{2.0, 0.5}, {2.0, 0.5}, {2.0, 1e-6}, {nan, 0.1}, {2.0, 0.5}},
                       std::vector<Complex>(5, {1.4, -inf}),
                       std::vector<Complex>(5, {1.5, 0.0})},
                      0.4,
                      0.7});
    for (const PlainStack& s : stacks) {
        const SweepArrays a(s);
        const std::size_t wavelengths = s.wl.size();
        std::vector<MatrixPair> pairs(wavelengths);
        stack_matrix_pairs(a.d, a.n, a.wl, s.theta, 0, wavelengths, pairs.data());
        std::vector<double> r(wavelengths), t(wavelengths), expected_r(wavelengths),
            expected_t(wavelengths);
        reflectance_values(pairs, s.phi, expected_r.data());
        transmittance_values(pairs, 0, a.n, s.theta, s.phi, expected_t.data());
        thickness_gradient_range(a.input(), 0, wavelengths,
                                 {r.data(), t.data(), nullptr, nullptr, 0});
        for (std::size_t w = 0; w < wavelengths; ++w) {
            SCOPED_TRACE("wavelength " + std::to_string(w));
            EXPECT_TRUE(same_bits(r[w], expected_r[w]));
            EXPECT_TRUE(same_bits(t[w], expected_t[w]));
        }
    }
}

// Every output of the three functions for the range [0, W) against the
// same range cut at `cut` into [0, cut) and [cut, W), in each variant, on a
// stack with an absorbing layer that is opaque at some wavelengths (swept
// again with scaling) and not at others. The needle merit, a sum over its
// range, is held against its definition from the per-wavelength values.
class RangeCut : public ::testing::TestWithParam<std::size_t> {};

struct AllOutputs {
    std::vector<double> r, t, dr, dt, absorbed, needle_dr, needle_dt;
};

TEST_P(RangeCut, GivesTheBitsOfTheWholeRange) {
    std::mt19937_64 rng(13);
    PlainStack s = random_stack(rng, 5, 11, true, 0.7);
    s.theta = 0.3;
    for (std::size_t w = 0; w < 11; ++w)
        s.n[3][w] = w % 3 == 0 ? Complex{2.0, 0.5} : Complex{1.6, 0.0};
    s.d[2] = 2e5;
    const SweepArrays a(s);
    const ComplexMatrix materials = complex_matrix(
        {std::vector<Complex>(11, {1.38, 0.0}), std::vector<Complex>(11, {0.2, 3.0})});
    const RealVector depths = real_vector({0.0, 17.5, s.d[0], 300.0, 2e5});
    const std::size_t W = 11;
    const std::size_t cells = 2 * depths.size();

    // The cut ranges take the invariant B = (n_0·sin θ)² from the caller,
    // formed as the kernel forms it, which must change nothing.
    std::vector<Complex> invariant(W);
    for (std::size_t w = 0; w < W; ++w) invariant[w] = square(scale(s.n[0][w], std::sin(s.theta)));
    SweepStack with_invariant = a.input();
    with_invariant.invariant = invariant.data();
    // The second part takes it as the kernel does, β = n_0·sin θ given
    // with sin_theta = 1 (x·1 is x).
    std::vector<Complex> beta(W);
    for (std::size_t w = 0; w < W; ++w) beta[w] = scale(s.n[0][w], std::sin(s.theta));
    SweepStack with_beta = a.input();
    with_beta.invariant = StackInvariant{ComplexRow{beta.data(), W, 1}, 1.0};
    const auto evaluate = [&](KernelVariant variant, std::size_t begin, std::size_t end,
                              AllOutputs& out) {
        const SweepStack input = variant == KernelVariant::scalar && begin == 0 && end == W
                                     ? a.input()
                                 : begin == 0 ? with_invariant
                                              : with_beta;
        thickness_gradient_range(input, begin, end,
                                 {out.r.data(), out.t.data(), out.dr.data(), out.dt.data(), W},
                                 variant);
        absorption_range(input, begin, end, out.absorbed.data(), W, variant);
        needle_range(input, {materials, depths}, begin, end,
                     {out.needle_dr.data(), out.needle_dt.data(), W}, variant);
    };
    const auto fresh = [&] {
        return AllOutputs{std::vector<double>(W),        std::vector<double>(W),
                          std::vector<double>(5 * W),    std::vector<double>(5 * W),
                          std::vector<double>(5 * W),    std::vector<double>(cells * W),
                          std::vector<double>(cells * W)};
    };
    AllOutputs whole = fresh();
    evaluate(KernelVariant::scalar, 0, W, whole);
    for (KernelVariant variant : variants()) {
        AllOutputs parts = fresh();
        evaluate(variant, 0, GetParam(), parts);
        evaluate(variant, GetParam(), W, parts);
        for (auto member :
             {&AllOutputs::r, &AllOutputs::t, &AllOutputs::dr, &AllOutputs::dt,
              &AllOutputs::absorbed, &AllOutputs::needle_dr, &AllOutputs::needle_dt}) {
            for (std::size_t i = 0; i < (whole.*member).size(); ++i) {
                EXPECT_TRUE(same_bits((parts.*member)[i], (whole.*member)[i]))
                    << "variant " << static_cast<int>(variant) << ", entry " << i;
            }
        }
    }

    std::vector<double> weight_r(W), weight_t(W);
    for (std::size_t w = 0; w < W; ++w) {
        weight_r[w] = 0.1 * static_cast<double>(w) - 0.3;
        weight_t[w] = 1.0 / static_cast<double>(w + 2);
    }
    std::vector<double> merit(cells);
    needle_merit_range(a.input(), {materials, depths}, GetParam(), W,
                       {weight_r.data(), weight_t.data(), merit.data()});
    for (std::size_t cell = 0; cell < cells; ++cell) {
        double expected = 0.0;
        for (std::size_t w = GetParam(); w < W; ++w) {
            expected += weight_r[w] * whole.needle_dr[cell * W + w];
            expected += weight_t[w] * whole.needle_dt[cell * W + w];
        }
        EXPECT_TRUE(same_bits(merit[cell], expected)) << "cell " << cell;
    }
}

INSTANTIATE_TEST_SUITE_P(At, RangeCut, ::testing::Values(0, 1, 3, 5, 8, 10, 11));

}  // namespace
}  // namespace lamiro
