// SPDX-License-Identifier: MIT
// Reflectance and transmittance: reference stacks, textbook closed forms,
// energy conservation and the index fault.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/internal_fault.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/spectra.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

constexpr double epsilon = std::numeric_limits<double>::epsilon();

struct Spectra {
    double r;
    double t;
};

// R and T of a one-wavelength stack, computed the way a simulation does.
Spectra evaluate(const std::vector<double>& d, const std::vector<Complex>& media, double wl,
                 double theta, double phi) {
    const RealVector dv = real_vector(d);
    const RealVector wv = real_vector({wl});
    const ComplexMatrix n = column(media);
    const MatrixPair pair{stack_transfer_matrix(dv, n, wv, theta, 0, Polarisation::S),
                          stack_transfer_matrix(dv, n, wv, theta, 0, Polarisation::P)};
    const std::span<const MatrixPair> pairs(&pair, 1);
    const OwnedBuffer<double> r = reflectance_spectrum(pairs, phi);
    const OwnedBuffer<double> t = transmittance_spectrum(pairs, n, theta, phi);
    EXPECT_EQ(r.size(), 1u);
    EXPECT_EQ(t.size(), 1u);
    return {r[0], t[0]};
}

TEST(Spectra, AirOnGlassAtNormalIncidence) {
    // R = ((1 − 1.5)/(1 + 1.5))² = 0.04, T = 0.96, for every φ.
    for (double phi : {0.0, 0.3, 0.7, 1.5707963267948966, -2.0}) {
        SCOPED_TRACE(phi);
        const Spectra s = evaluate({}, {{1.0, 0.0}, {1.5, 0.0}}, 500.0, 0.0, phi);
        EXPECT_NEAR(s.r, 0.04, 2 * epsilon * 0.04);
        EXPECT_NEAR(s.t, 0.96, 2 * epsilon * 0.96);
    }
}

TEST(Spectra, OneAbsorbingLayer) {
    // Reference values of the one-layer example, to 12 significant digits.
    const struct {
        double phi, r, t;
    } cases[] = {{0.7, 0.114178195004, 0.686983730719},
                 {0.0, 0.138176341392, 0.668621578963},
                 {1.5707963267948966, 0.0803517717198, 0.712865976276}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phi);
        const Spectra s =
            evaluate({100.0}, {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}, 500.0, 0.5, c.phi);
        EXPECT_NEAR(s.r, c.r, twelve_digit_tolerance(c.r));
        EXPECT_NEAR(s.t, c.t, twelve_digit_tolerance(c.t));
    }
}

// A quarter-wave stack at its design wavelength: layer j has thickness
// λ/(4·n_j).
Spectra quarter_wave(const std::vector<double>& indices, double phi) {
    const double wl = 550.0;
    std::vector<Complex> media;
    std::vector<double> d;
    for (std::size_t j = 0; j < indices.size(); ++j) {
        media.push_back({indices[j], 0.0});
        if (j != 0 && j + 1 != indices.size()) d.push_back(wl / (4.0 * indices[j]));
    }
    return evaluate(d, media, wl, 0.0, phi);
}

TEST(Spectra, QuarterWaveAntireflectionLayer) {
    // R = ((n0·ns − n1²)/(n0·ns + n1²))² for n0 = 1, n1 = 1.38, ns = 1.52.
    const double n0 = 1.0, n1 = 1.38, ns = 1.52;
    const double closed = std::pow((n0 * ns - n1 * n1) / (n0 * ns + n1 * n1), 2);
    ASSERT_NEAR(closed, 0.012600790214630, 1e-15);
    for (double phi : {0.0, 0.9}) {
        SCOPED_TRACE(phi);
        const Spectra s = quarter_wave({n0, n1, ns}, phi);
        EXPECT_NEAR(s.r, closed, 1e-14);
        EXPECT_NEAR(s.r + s.t, 1.0, 1e-14);
    }
}

TEST(Spectra, AbsorbingIncidenceMediumEntersTheExitFactorAsComplex) {
    // One interface, s light: t = 2·K0/(K0 + KL) with K = sqrt(n² − (n0·sin θ)²),
    // and T = Re(KL / (n0·cos θ))·|t|², a quotient of complex numbers.
    using C = std::complex<double>;
    const C n0{1.3, 0.2}, nl{1.6, 0.01}, beta = n0 * std::sin(0.6);
    const C k0 = std::sqrt(n0 * n0 - beta * beta), kl = std::sqrt(nl * nl - beta * beta);
    const double closed = std::real(kl / (n0 * std::cos(0.6))) * std::norm(2.0 * k0 / (k0 + kl));
    const Spectra s = evaluate({}, {{1.3, 0.2}, {1.6, 0.01}}, 500.0, 0.6, 0.0);
    EXPECT_NEAR(s.t, closed, 1e-14);
}

struct BraggCase {
    int periods;
    double reflectance;  // given to 11 significant digits
};

class BraggMirror : public ::testing::TestWithParam<BraggCase> {};

TEST_P(BraggMirror, MatchesClosedForm) {
    // (HL)^N on glass, H next to air:
    // R = ((n0·nL^(2N) − ns·nH^(2N))/(n0·nL^(2N) + ns·nH^(2N)))².
    const double n0 = 1.0, nh = 2.35, nl = 1.46, ns = 1.52;
    const int periods = GetParam().periods;
    const double low = n0 * std::pow(nl, 2 * periods);
    const double high = ns * std::pow(nh, 2 * periods);
    const double closed = std::pow((low - high) / (low + high), 2);
    ASSERT_NEAR(closed, GetParam().reflectance, 1e-11);

    std::vector<double> indices = {n0};
    for (int i = 0; i < periods; ++i) {
        indices.push_back(nh);
        indices.push_back(nl);
    }
    indices.push_back(ns);
    const Spectra s = quarter_wave(indices, 0.4);
    EXPECT_NEAR(s.r, closed, 1e-14);
    EXPECT_NEAR(s.r + s.t, 1.0, 1e-14);
}

INSTANTIATE_TEST_SUITE_P(Periods, BraggMirror,
                         ::testing::Values(BraggCase{1, 0.35399662362},
                                           BraggCase{5, 0.97770618883}),
                         [](const auto& info) { return "N" + std::to_string(info.param.periods); });

TEST(Spectra, LosslessStacksConserveEnergy) {
    // Random lossless stacks below the critical angle of the exit medium.
    // Layers may lie beyond their own critical angle (evanescent); they are
    // kept thin enough that the tunnelling does not cancel away the digits.
    std::mt19937_64 rng(0x1a3f5u);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int evanescent_layers = 0;
    double worst = 0.0;
    for (int trial = 0; trial < 300; ++trial) {
        const double n0 = 1.0 + 0.8 * unit(rng);
        const double theta = 1.2 * unit(rng);
        const double tangential = n0 * std::sin(theta);
        const double wl = 400.0 + 400.0 * unit(rng);
        std::vector<Complex> media = {{n0, 0.0}};
        std::vector<double> d;
        const int layers = 1 + static_cast<int>(8 * unit(rng));
        for (int k = 0; k < layers; ++k) {
            const double index = 1.0 + 1.6 * unit(rng);
            const bool evanescent = index < tangential;
            evanescent_layers += evanescent;
            media.push_back({index, 0.0});
            d.push_back((evanescent ? 60.0 : 400.0) * unit(rng));
        }
        media.push_back({tangential + 0.05 + unit(rng), 0.0});
        for (double phi : {0.0, 0.5, 1.5707963267948966}) {
            SCOPED_TRACE(testing::Message() << "trial " << trial << ", phi " << phi);
            const Spectra s = evaluate(d, media, wl, theta, phi);
            EXPECT_NEAR(s.r + s.t, 1.0, 16 * epsilon);
            worst = std::max(worst, std::fabs(s.r + s.t - 1.0));
        }
    }
    EXPECT_GT(evanescent_layers, 50);
    RecordProperty("worst_deviation_in_epsilons", std::to_string(worst / epsilon));
}

TEST(Spectra, TotalReflectionTransmitsNothing) {
    // n_0·sin θ = 1.5·sin 1.2 ≈ 1.398 exceeds the exit index 1.0.
    for (const std::vector<Complex>& media :
         {std::vector<Complex>{{1.5, 0.0}, {1.0, 0.0}},
          std::vector<Complex>{{1.5, 0.0}, {2.2, 0.0}, {1.0, 0.0}}}) {
        for (double phi : {0.0, 0.8, 1.5707963267948966}) {
            SCOPED_TRACE(testing::Message() << media.size() << " media, phi " << phi);
            const std::vector<double> d(media.size() - 2, 130.0);
            const Spectra s = evaluate(d, media, 600.0, 1.2, phi);
            EXPECT_EQ(s.t, 0.0);
            EXPECT_NEAR(s.r, 1.0, 8 * epsilon);
        }
    }
}

TEST(Spectra, AngleBeyondRightAngleGivesNegativeTransmittance) {
    // θ and π − θ share sin θ, so R is unchanged while cos θ, and with it T,
    // changes sign.
    const std::vector<Complex> media = {{1.0, 0.0}, {2.1, 0.0}, {1.45, 0.0}, {1.6, 0.0}};
    const Spectra front = evaluate({90.0, 140.0}, media, 520.0, 0.3, 0.6);
    const Spectra back = evaluate({90.0, 140.0}, media, 520.0, 3.141592653589793 - 0.3, 0.6);
    EXPECT_EQ(back.r, front.r);
    EXPECT_GT(front.t, 0.5);
    EXPECT_NEAR(back.t, -front.t, 4 * epsilon);
}

TEST(Spectra, SingularMatrixGivesNaN) {
    const TransferMatrix zero{{0, 0}, {0, 0}, {0, 0}, {0, 0}};
    const TransferMatrix good{{1, 0}, {0.5, 0}, {0.5, 0}, {1, 0}};
    const MatrixPair pairs[] = {{zero, good}, {good, good}};
    const ComplexMatrix n = column({{1.0, 0.0}, {1.0, 0.0}});
    ComplexMatrix wide = n.clone();
    wide.cols = 2;
    wide.col_stride = 0;  // both columns read the same media
    // φ = 0 weights the P term by zero but a NaN S term still spoils R and T.
    const OwnedBuffer<double> r = reflectance_spectrum(pairs, 0.0);
    const OwnedBuffer<double> t = transmittance_spectrum(pairs, wide, 0.0, 0.0);
    EXPECT_TRUE(std::isnan(r[0]));
    EXPECT_TRUE(std::isnan(t[0]));
    EXPECT_EQ(r[1], 0.25);
    EXPECT_EQ(t[1], 1.0);
}

TEST(Spectra, NoWavelengthsGiveEmptySpectra) {
    const ComplexMatrix n = column({});
    EXPECT_EQ(reflectance_spectrum({}, 0.3).size(), 0u);
    EXPECT_EQ(transmittance_spectrum({}, n, 0.3, 0.3).size(), 0u);
}

TEST(Spectra, TransmittanceOutsideNIsIndexFault) {
    const TransferMatrix m{{1, 0}, {0, 0}, {0, 0}, {1, 0}};
    const MatrixPair pairs[] = {{m, m}, {m, m}};
    const struct {
        const char* name;
        ComplexMatrix n;
    } cases[] = {{"no_rows", column({})}, {"one_column_for_two_pairs", column({{1.0, 0.0}})}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            transmittance_spectrum(pairs, c.n, 0.0, 0.0);
            ADD_FAILURE() << "no fault";
        } catch (const InternalFault& fault) {
            EXPECT_EQ(fault.message(), "ndarray: index out of bounds");
        }
    }
}

}  // namespace
}  // namespace lamiro
