// SPDX-License-Identifier: MIT
// ∂R/∂d and ∂T/∂d against the Richardson-extrapolated central differences
// of lamiro's own R and T, on random stacks of every kind and polarisation
// mix; and the scaled sweep behind a layer too lossy for plain products.
#include <gtest/gtest.h>

#include <limits>

#include "optics/layer_absorption.hpp"
#include "optics/thickness_gradient.hpp"
#include "sweep_test_support.hpp"

namespace lamiro {
namespace {

constexpr double pi = 3.141592653589793;

struct GradientCase {
    const char* name;
    bool absorbing;
    double phi;
};

void PrintTo(const GradientCase& c, std::ostream* os) { *os << c.name; }

class Gradient : public ::testing::TestWithParam<GradientCase> {};

// 100 stacks of 0 to 12 layers per case, three wavelengths each.
TEST_P(Gradient, MatchesExtrapolatedDifferences) {
    const GradientCase& c = GetParam();
    std::mt19937_64 rng(c.absorbing ? 19 : 23);
    ErrorRecord errors;
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t layers = static_cast<std::size_t>(trial % 13);
        const PlainStack s = random_stack(rng, layers, 3, c.absorbing, c.phi);
        const SweepArrays a(s);
        const std::size_t wavelengths = s.wl.size();
        std::vector<double> dr(layers * wavelengths);
        std::vector<double> dt(layers * wavelengths);
        thickness_gradient_range(a.input(), 0, wavelengths,
                                 {nullptr, nullptr, dr.data(), dt.data(), wavelengths});
        for (std::size_t k = 0; k < layers; ++k) {
            for (std::size_t w = 0; w < wavelengths; ++w) {
                SCOPED_TRACE("trial " + std::to_string(trial) + ", layer " + std::to_string(k) +
                             ", wavelength " + std::to_string(w));
                const auto [r_diff, t_diff] = richardson_derivative(
                    [&](double h) {
                        PlainStack moved = s;
                        moved.d[k] += h;
                        std::pair<double, double> rt;
                        lamiro_spectra(moved, w, rt.first, rt.second);
                        return rt;
                    },
                    0.1);
                EXPECT_TRUE(derivative_matches(dr[k * wavelengths + w], r_diff, errors));
                EXPECT_TRUE(derivative_matches(dt[k * wavelengths + w], t_diff, errors));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Random, Gradient,
                         ::testing::Values(GradientCase{"lossless_s", false, 0.0},
                                           GradientCase{"lossless_p", false, pi / 2},
                                           GradientCase{"lossless_mixed", false, 0.7},
                                           GradientCase{"absorbing_s", true, 0.0},
                                           GradientCase{"absorbing_p", true, pi / 2},
                                           GradientCase{"absorbing_mixed", true, 0.7}),
                         [](const auto& info) { return std::string(info.param.name); });

// A layer of loss Im κ·h ≈ 1200 below a dielectric: its phase factor and
// every product through it overflow (lamiro's R and T of the stack are
// NaN), so the wavelength is swept with scaling. Nothing gets through it,
// so for R the stack is the dielectric on a half-space of the lossy
// material, whose derivative needs no scaling; T and its derivatives are
// 0, and the lossy layer absorbs what the dielectric neither reflects nor
// absorbs.
TEST(GradientBehindOpaqueLayer, EqualsTheHalfSpaceStack) {
    const Complex air{1.0, 0.0};
    const Complex dielectric{2.3, 0.01};
    const Complex lossy{2.0, 0.5};
    const PlainStack opaque{
        {100.0, 2e5}, {500.0}, {{air}, {dielectric}, {lossy}, {{1.5, 0.0}}}, 0.3, 0.6};
    const PlainStack half_space{{100.0}, {500.0}, {{air}, {dielectric}, {lossy}}, 0.3, 0.6};

    const SweepArrays a(opaque);
    double r;
    double t;
    double dr[2];
    double dt[2];
    double absorbed[2];
    thickness_gradient_range(a.input(), 0, 1, {&r, &t, dr, dt, 1});
    absorption_range(a.input(), 0, 1, absorbed, 1);

    const SweepArrays b(half_space);
    double half_dr;
    double half_absorbed;
    thickness_gradient_range(b.input(), 0, 1, {nullptr, nullptr, &half_dr, nullptr, 1});
    absorption_range(b.input(), 0, 1, &half_absorbed, 1);
    double half_r;
    double half_t;
    lamiro_spectra(half_space, 0, half_r, half_t);

    ErrorRecord errors;
    EXPECT_TRUE(derivative_matches(dr[0], half_dr, errors));
    EXPECT_TRUE(derivative_matches(dr[1], 0.0, errors));
    EXPECT_EQ(dt[0], 0.0);
    EXPECT_EQ(dt[1], 0.0);
    EXPECT_NEAR(absorbed[0], half_absorbed, 1e-14);
    EXPECT_NEAR(absorbed[1], 1.0 - half_r - half_absorbed, 1e-14);
}

}  // namespace
}  // namespace lamiro
