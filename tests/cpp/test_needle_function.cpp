// SPDX-License-Identifier: MIT
// The needle function against the Richardson-extrapolated central
// difference of actually inserting a thin layer of the candidate (of
// thickness ±h) at the depth, computed through lamiro's own R and T: at
// the top and the bottom of the stack, on every interface and inside
// layers, for dielectric and metallic candidates.
#include <gtest/gtest.h>

#include <cmath>

#include "optics/needle_function.hpp"
#include "sweep_test_support.hpp"

namespace lamiro {
namespace {

constexpr double pi = 3.141592653589793;

// The stack with a layer of `candidate` and thickness h inserted at
// `depth`: inside the first layer whose bottom lies below the depth
// (splitting it), or above the exit medium.
PlainStack with_needle(const PlainStack& s, const std::vector<Complex>& candidate, double depth,
                       double h) {
    PlainStack out{{}, s.wl, {s.n[0]}, s.theta, s.phi};
    double top = 0.0;
    bool inserted = false;
    for (std::size_t k = 0; k < s.d.size(); ++k) {
        const double bottom = top + s.d[k];
        if (!inserted && depth < bottom) {
            out.d.insert(out.d.end(), {depth - top, h, bottom - depth});
            out.n.insert(out.n.end(), {s.n[k + 1], candidate, s.n[k + 1]});
            inserted = true;
        } else {
            out.d.push_back(s.d[k]);
            out.n.push_back(s.n[k + 1]);
        }
        top = bottom;
    }
    if (!inserted) {
        out.d.push_back(h);
        out.n.push_back(candidate);
    }
    out.n.push_back(s.n.back());
    return out;
}

class Needle : public ::testing::TestWithParam<double> {};

TEST_P(Needle, MatchesInsertedLayer) {
    std::mt19937_64 rng(static_cast<std::uint64_t>(41 + 100 * GetParam()));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    ErrorRecord errors;
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t layers = static_cast<std::size_t>(trial % 8);
        const PlainStack s = random_stack(rng, layers, 2, trial % 2 == 0, GetParam());
        // Depths: the top, every interface, the bottom, two inside layers.
        std::vector<double> depths{0.0};
        for (double thickness : s.d) depths.push_back(depths.back() + thickness);
        for (int i = 0; i < 2; ++i) depths.push_back(depths.back() * unit(rng));
        const std::vector<std::vector<Complex>> candidates{
            std::vector<Complex>(2, Complex{1.38, 0.0}), std::vector<Complex>(2, {0.2, 3.0})};
        const SweepArrays a(s);
        const ComplexMatrix materials = complex_matrix(candidates);
        const RealVector depth_vector = real_vector(depths);
        const std::size_t wavelengths = s.wl.size();
        const std::size_t count = candidates.size() * depths.size();
        std::vector<double> dr(count * wavelengths);
        std::vector<double> dt(count * wavelengths);
        needle_range(a.input(), {materials, depth_vector}, 0, wavelengths,
                     {dr.data(), dt.data(), wavelengths});
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            for (std::size_t z = 0; z < depths.size(); ++z) {
                for (std::size_t w = 0; w < wavelengths; ++w) {
                    SCOPED_TRACE("trial " + std::to_string(trial) + ", candidate " +
                                 std::to_string(c) + ", depth " + std::to_string(depths[z]) +
                                 ", wavelength " + std::to_string(w));
                    const auto [r_diff, t_diff] = richardson_derivative(
                        [&](double h) {
                            std::pair<double, double> rt;
                            lamiro_spectra(with_needle(s, candidates[c], depths[z], h), w, rt.first,
                                           rt.second);
                            return rt;
                        },
                        0.1);
                    const std::size_t at = (c * depths.size() + z) * wavelengths + w;
                    EXPECT_TRUE(derivative_matches(dr[at], r_diff, errors));
                    EXPECT_TRUE(derivative_matches(dt[at], t_diff, errors));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Mixing, Needle, ::testing::Values(0.0, pi / 2, 0.7), [](const auto& info) {
    return info.index == 0 ? "s" : info.index == 1 ? "p" : "mixed";
});

// Depths above the stack, below it or NaN have no layer to go into.
TEST(NeedleDepth, OutsideTheStackGivesNaN) {
    const PlainStack s{
        {50.0, 70.0}, {500.0}, {{{1.0, 0.0}}, {{2.0, 0.0}}, {{1.4, 0.0}}, {{1.5, 0.0}}}, 0.2, 0.3};
    const SweepArrays a(s);
    const ComplexMatrix materials = complex_matrix({{{1.7, 0.0}}});
    const RealVector depths = real_vector({-1e-9, 120.0 + 1e-9, std::nan(""), 120.0});
    double dr[4];
    double dt[4];
    needle_range(a.input(), {materials, depths}, 0, 1, {dr, dt, 1});
    for (int z = 0; z < 3; ++z) {
        EXPECT_TRUE(std::isnan(dr[z]) && std::isnan(dt[z])) << "depth " << z;
    }
    EXPECT_TRUE(std::isfinite(dr[3]) && std::isfinite(dt[3]));
}

}  // namespace
}  // namespace lamiro
