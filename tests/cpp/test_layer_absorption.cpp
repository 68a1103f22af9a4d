// SPDX-License-Identifier: MIT
// Absorption per layer: against tmm's absorp_in_each_layer, against the
// closed form of a single absorbing layer, and the energy balance
// R + T + ΣA = 1 (with every lossless layer absorbing nothing) on random
// stacks with lossless outer media.
#include <gtest/gtest.h>

#include "optics/layer_absorption.hpp"
#include "sweep_test_support.hpp"

namespace lamiro {
namespace {

constexpr double pi = 3.141592653589793;

struct AbsorptionCase {
    const char* name;
    double theta;
    double phi;
    double wl;
    std::vector<double> d;
    std::vector<Complex> n;
    std::vector<double> expected;
    double tolerance;
};

void PrintTo(const AbsorptionCase& c, std::ostream* os) { *os << c.name; }

class Absorption : public ::testing::TestWithParam<AbsorptionCase> {};

TEST_P(Absorption, MatchesReference) {
    const AbsorptionCase& c = GetParam();
    PlainStack s{c.d, {c.wl}, {}, c.theta, c.phi};
    for (Complex m : c.n) s.n.push_back({m});
    const SweepArrays a(s);
    std::vector<double> absorbed(c.d.size());
    absorption_range(a.input(), 0, 1, absorbed.data(), 1);
    for (std::size_t k = 0; k < c.d.size(); ++k) {
        SCOPED_TRACE("layer " + std::to_string(k));
        EXPECT_NEAR(absorbed[k], c.expected[k], c.tolerance);
    }
}

// A lossy layer, a metal, and an evanescent gap between them (1.5·sin 0.9 >
// 1); a stack on an absorbing exit medium, where the p flux into the exit
// medium is tmm's and not the transmittance's.
const std::vector<Complex> metal_gap{{1.5, 0.0},  {2.2, 0.02}, {1.0, 0.0},
                                     {0.15, 3.2}, {1.46, 0.0}, {2.0, 0.5}};
const std::vector<Complex> absorbing_exit{
    {1.0, 0.0}, {1.46, 0.0}, {2.3, 0.2}, {1.38, 0.0}, {3.5, 0.8}};

INSTANTIATE_TEST_SUITE_P(
    Table, Absorption,
    ::testing::Values(
        // 1 − R − T of the one-layer worked example at φ = 0.7 (R and T to
        // 12 digits, as in test_spectra.cpp).
        AbsorptionCase{"one_absorbing_layer",
                       0.5,
                       0.7,
                       500.0,
                       {100.0},
                       {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}},
                       {1.0 - 0.114178195004 - 0.686983730719},
                       1e-12},
        // tmm 0.2.0, absorp_in_each_layer(coh_tmm(pol, n, [inf, *d, inf], theta, wl)).
        AbsorptionCase{"metal_gap_s",
                       0.9,
                       0.0,
                       633.0,
                       {90.0, 60.0, 25.0, 120.0},
                       metal_gap,
                       {0.0699191138467653, 0.0, 0.019764162344550376, 0.0},
                       1e-13},
        AbsorptionCase{"metal_gap_p",
                       0.9,
                       pi / 2,
                       633.0,
                       {90.0, 60.0, 25.0, 120.0},
                       metal_gap,
                       {0.053803723119603464, 0.0, 0.11528648732939517, 0.0},
                       1e-13},
        AbsorptionCase{"absorbing_exit_s",
                       0.4,
                       0.0,
                       550.0,
                       {100.0, 55.0, 80.0},
                       absorbing_exit,
                       {0.0, 0.34390946794439287, 0.0},
                       1e-13},
        AbsorptionCase{"absorbing_exit_p",
                       0.4,
                       pi / 2,
                       550.0,
                       {100.0, 55.0, 80.0},
                       absorbing_exit,
                       {0.0, 0.32438128735108024, 0.0},
                       1e-13}),
    [](const auto& info) { return std::string(info.param.name); });

// With lossless incidence and exit media, the power the layers absorb is
// what neither R nor T carries away, and a lossless layer (evanescent ones
// included) absorbs none of it.
TEST(AbsorptionBalance, RandomStacksWithLosslessOuterMedia) {
    std::mt19937_64 rng(31);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t layers = static_cast<std::size_t>(1 + trial % 12);
        const double phi = trial % 3 == 0 ? 0.0 : trial % 3 == 1 ? pi / 2 : 0.7;
        PlainStack s = random_stack(rng, layers, 5, trial % 4 != 0, phi);
        for (Complex& exit : s.n.back()) exit.im = 0.0;
        const SweepArrays a(s);
        const std::size_t wavelengths = s.wl.size();
        std::vector<double> absorbed(layers * wavelengths);
        absorption_range(a.input(), 0, wavelengths, absorbed.data(), wavelengths);
        for (std::size_t w = 0; w < wavelengths; ++w) {
            SCOPED_TRACE("trial " + std::to_string(trial) + ", wavelength " + std::to_string(w));
            double r;
            double t;
            lamiro_spectra(s, w, r, t);
            double balance = r + t;
            for (std::size_t k = 0; k < layers; ++k) {
                balance += absorbed[k * wavelengths + w];
                if (s.n[k + 1][w].im == 0.0) {
                    EXPECT_NEAR(absorbed[k * wavelengths + w], 0.0, 1e-12);
                }
            }
            EXPECT_NEAR(balance, 1.0, 1e-12);
        }
    }
}

}  // namespace
}  // namespace lamiro
