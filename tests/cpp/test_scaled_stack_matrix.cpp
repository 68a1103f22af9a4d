// SPDX-License-Identifier: MIT
// Thick absorbing layers. The scaled evaluation against the plain matrices
// where those are finite and against the closed forms of an opaque layer;
// the spectra of a simulation, which take its values exactly where the
// plain values overflow, and keep every other value and every non-finite
// value of unsound inputs as they are.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "optics/reference_stack_matrix.hpp"
#include "optics/scaled_stack_matrix.hpp"
#include "optics/simulation_context.hpp"
#include "optics/spectra.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

using StdComplex = std::complex<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double two_pi = 6.283185307179586;

StdComplex to_std(Complex z) { return {z.re, z.im}; }

double relative_error(Complex actual, Complex expected) {
    return std::abs(to_std(actual) - to_std(expected)) / std::abs(to_std(expected));
}

// A stack at one or more wavelengths; n[j][w] is medium j at wavelength w.
struct Stack {
    std::vector<double> d;
    std::vector<std::vector<Complex>> n;
    std::vector<double> wl;
    double theta;
};

Stack single(std::vector<double> d, const std::vector<Complex>& media, double wl, double theta) {
    std::vector<std::vector<Complex>> n;
    for (Complex m : media) n.push_back({m});
    return {std::move(d), std::move(n), {wl}, theta};
}

struct Arrays {
    explicit Arrays(const Stack& s)
        : d(real_vector(s.d)), n(complex_matrix(s.n)), wl(real_vector(s.wl)) {}
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
};

// R and T of a stack as a simulation gives them, and as the plain
// evaluation defines them (the spectra of the reference kernel's pairs).
struct Spectra {
    std::vector<double> r;
    std::vector<double> t;
};

Spectra simulated(const Stack& s, double phi) {
    const Arrays a(s);
    SimulationContext context(a.d, a.n, a.wl, s.theta, phi);
    const OwnedBuffer<double> r = context.reflectance();
    const OwnedBuffer<double> t = context.transmittance();
    // A second request computes the spectra anew from the cache.
    const OwnedBuffer<double> r_again = context.reflectance();
    const OwnedBuffer<double> t_again = context.transmittance();
    Spectra result{{r.data(), r.data() + r.size()}, {t.data(), t.data() + t.size()}};
    for (std::size_t w = 0; w < r.size(); ++w) {
        EXPECT_TRUE(same_bits(r_again[w], r[w])) << "second request, wavelength " << w;
        EXPECT_TRUE(same_bits(t_again[w], t[w])) << "second request, wavelength " << w;
    }
    return result;
}

Spectra defined(const Stack& s, double phi) {
    const Arrays a(s);
    std::vector<MatrixPair> pairs(s.wl.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        pairs[w] = {stack_transfer_matrix(a.d, a.n, a.wl, s.theta, w, Polarisation::S),
                    stack_transfer_matrix(a.d, a.n, a.wl, s.theta, w, Polarisation::P)};
    }
    const OwnedBuffer<double> r = reflectance_spectrum(pairs, phi);
    const OwnedBuffer<double> t = transmittance_spectrum(pairs, a.n, s.theta, phi);
    return {{r.data(), r.data() + r.size()}, {t.data(), t.data() + t.size()}};
}

// Fresnel coefficients of one interface for light from medium a (normal
// term Ka) into medium b (Kb), K = sqrt(n² − (n_0·sin θ)²): ρ and τ with
// U = n_a·C_a, V = n_b·C_b for s light and U = n_b·C_a, V = n_a·C_b for p
// light, C = K/n, τ = 2·n_a·C_a/(U + V).
struct Fresnel {
    StdComplex rho;
    StdComplex tau;
};

Fresnel fresnel(StdComplex na, StdComplex nb, StdComplex ka, StdComplex kb, Polarisation pol) {
    const StdComplex ca = ka / na, cb = kb / nb;
    const StdComplex u = pol == Polarisation::S ? na * ca : nb * ca;
    const StdComplex v = pol == Polarisation::S ? nb * cb : na * cb;
    return {(u - v) / (u + v), 2.0 * na * ca / (u + v)};
}

// Air, an absorbing layer, glass: the opaque slab.
constexpr Complex slab_layer{2.0, 0.5};
constexpr double slab_theta = 0.3;
constexpr double slab_wl = 500.0;

struct Slab {
    StdComplex k[3];         // normal terms of air, layer, glass
    double growth_per_unit;  // Im κ of the layer: the growth of e₋ per unit of thickness
};

Slab slab() {
    const StdComplex n[3] = {1.0, to_std(slab_layer), 1.5};
    const StdComplex beta = n[0] * std::sin(slab_theta);
    Slab s;
    for (int j = 0; j < 3; ++j) s.k[j] = std::sqrt(n[j] * n[j] - beta * beta);
    s.growth_per_unit = (two_pi * s.k[1] / slab_wl).imag();
    return s;
}

Stack slab_stack(double growth) {
    return single({growth / slab().growth_per_unit}, {{1.0, 0.0}, slab_layer, {1.5, 0.0}}, slab_wl,
                  slab_theta);
}

// R of the slab's first interface alone: nothing returns from inside.
double opaque_slab_reflectance(double phi) {
    const Slab s = slab();
    const StdComplex n0 = 1.0, n1 = to_std(slab_layer);
    const double rs = std::norm(fresnel(n0, n1, s.k[0], s.k[1], Polarisation::S).rho);
    const double rp = std::norm(fresnel(n0, n1, s.k[0], s.k[1], Polarisation::P).rho);
    return std::pow(std::sin(phi), 2) * rp + std::pow(std::cos(phi), 2) * rs;
}

TEST(ScaledStackMatrix, CoefficientsAgreeWithThePlainOnesWhereTheseAreFinite) {
    // Random lossless, absorbing and evanescent layers well inside the range
    // of binary64, so that the plain m01/m00 and 1/m00 are accurate.
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double worst = 0.0;
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<Complex> media{{1.0 + 0.8 * unit(rng), 0.0}};
        std::vector<double> d;
        const int layers = static_cast<int>(12 * unit(rng));
        for (int k = 0; k < layers; ++k) {
            media.push_back({0.3 + 3.0 * unit(rng), unit(rng) < 0.5 ? 0.0 : 0.5 * unit(rng)});
            d.push_back(400.0 * unit(rng));
        }
        media.push_back({1.0 + 1.5 * unit(rng), 0.0});
        const Stack s = single(d, media, 300.0 + 700.0 * unit(rng), 1.4 * unit(rng));
        const Arrays a(s);
        const ScaledMatrixPair scaled = scaled_stack_matrix_pair(a.d, a.n, a.wl, s.theta, 0);
        for (Polarisation pol : {Polarisation::S, Polarisation::P}) {
            SCOPED_TRACE(testing::Message()
                         << "trial " << trial << (pol == Polarisation::S ? " S" : " P"));
            const TransferMatrix m = stack_transfer_matrix(a.d, a.n, a.wl, s.theta, 0, pol);
            const ScaledTransferMatrix& sm = pol == Polarisation::S ? scaled.s : scaled.p;
            const double r_error = relative_error(reflection_amplitude(sm), div(m.m01, m.m00));
            const double t_error = relative_error(transmission_amplitude(sm), reciprocal(m.m00));
            EXPECT_LT(r_error, 1e-12);
            EXPECT_LT(t_error, 1e-12);
            worst = std::max({worst, r_error, t_error});
        }
    }
    RecordProperty("worst_relative_error", std::to_string(worst));
}

struct OpaqueCase {
    const char* name;
    double growth;  // Im κ·h of the layer
};

void PrintTo(const OpaqueCase& c, std::ostream* os) { *os << c.name; }

class OpaqueSlab : public testing::TestWithParam<std::tuple<OpaqueCase, Polarisation>> {};

// r is the first interface's ρ01; |t| = |τ01·τ12|·e^(−Im κ·h), down through
// the subnormal range to zero.
TEST_P(OpaqueSlab, CoefficientsMatchTheClosedForm) {
    const auto [c, pol] = GetParam();
    const Slab s = slab();
    const StdComplex n[3] = {1.0, to_std(slab_layer), 1.5};
    const Fresnel front = fresnel(n[0], n[1], s.k[0], s.k[1], pol);
    const Fresnel back = fresnel(n[1], n[2], s.k[1], s.k[2], pol);
    const Arrays a(slab_stack(c.growth));
    const ScaledMatrixPair pair = scaled_stack_matrix_pair(a.d, a.n, a.wl, slab_theta, 0);
    const ScaledTransferMatrix& m = pol == Polarisation::S ? pair.s : pair.p;

    EXPECT_LT(std::abs(to_std(reflection_amplitude(m)) - front.rho), 1e-14);
    const Complex t = transmission_amplitude(m);
    const double modulus = std::hypot(t.re, t.im);
    const double log_expected = std::log(std::abs(front.tau * back.tau)) - c.growth;
    if (log_expected < std::log(std::numeric_limits<double>::denorm_min()) - 1.0) {
        EXPECT_EQ(t.re, 0.0);
        EXPECT_EQ(t.im, 0.0);
    } else if (log_expected < std::log(std::numeric_limits<double>::min())) {
        EXPECT_EQ(std::fpclassify(modulus), FP_SUBNORMAL) << modulus;
        EXPECT_NEAR(std::log(modulus), log_expected, 1e-6);
    } else {
        EXPECT_NEAR(std::log(modulus), log_expected, 1e-12 * c.growth + 1e-13);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Growths, OpaqueSlab,
    testing::Combine(testing::Values(OpaqueCase{"finite_product", 60.0},
                                     OpaqueCase{"squared_modulus_overflows", 460.0},
                                     OpaqueCase{"subnormal_transmission", 725.0},
                                     OpaqueCase{"phase_factor_overflows", 5000.0},
                                     OpaqueCase{"exponent_overflows", 1e306}),
                     testing::Values(Polarisation::S, Polarisation::P)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) == Polarisation::S ? "_S" : "_P");
    });

struct SweepCase {
    const char* name;
    double growth;             // Im κ·h of the layer
    bool r_finite_as_defined;  // whether the plain R and T are finite here
    bool t_finite_as_defined;
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

class SlabThickness : public testing::TestWithParam<SweepCase> {};

// Across the overflow thresholds of the plain evaluation: every value it
// gives as a finite number keeps its bits, every other one is the opaque
// slab's (R of the first interface, T = 0).
TEST_P(SlabThickness, FiniteValuesKeepTheirBitsTheOthersAreTheOpaqueSlabs) {
    const SweepCase c = GetParam();
    const Stack s = slab_stack(c.growth);
    for (double phi : {0.0, 0.7, 1.5707963267948966}) {
        SCOPED_TRACE(phi);
        const Spectra plain = defined(s, phi);
        const Spectra actual = simulated(s, phi);
        ASSERT_EQ(std::isfinite(plain.r[0]), c.r_finite_as_defined) << plain.r[0];
        ASSERT_EQ(std::isfinite(plain.t[0]), c.t_finite_as_defined) << plain.t[0];
        if (c.r_finite_as_defined) {
            EXPECT_TRUE(same_bits(actual.r[0], plain.r[0]));
        } else {
            EXPECT_NEAR(actual.r[0], opaque_slab_reflectance(phi), 1e-14);
        }
        if (c.t_finite_as_defined) {
            EXPECT_TRUE(same_bits(actual.t[0], plain.t[0]));
        } else {
            EXPECT_EQ(actual.t[0], 0.0);  // below e^(−2·growth) < 1e-340
        }
    }
}

// |m00| is about 1.3·e^growth here. Its square overflows in the quotients
// from growth 354.6 on, the phase factor e₋ itself from 709.8 on.
INSTANTIATE_TEST_SUITE_P(Growths, SlabThickness,
                         testing::Values(SweepCase{"thin", 3.0, true, true},
                                         SweepCase{"large_product", 300.0, true, true},
                                         SweepCase{"just_below_squared_overflow", 354.0, true,
                                                   true},
                                         SweepCase{"squared_modulus_overflows", 400.0, false, true},
                                         SweepCase{"just_below_phase_overflow", 709.0, false, true},
                                         SweepCase{"phase_factor_overflows", 710.0, false, false},
                                         SweepCase{"far_beyond", 1e5, false, false},
                                         SweepCase{"exponent_overflows", 1e306, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A quarter-wave mirror on a thick metal layer reflects as the same mirror
// on the metal as its exit medium, and transmits nothing.
TEST(ThickAbsorbingLayer, MirrorOnAThickMetalLayer) {
    const std::vector<double> wl = {450.0, 500.0, 550.0, 600.0, 650.0, 700.0};
    const auto material = [&](Complex index) { return std::vector<Complex>(wl.size(), index); };
    Stack exit_metal{{}, {material({1.0, 0.0})}, wl, 0.4};
    for (int pair = 0; pair < 8; ++pair) {
        exit_metal.n.push_back(material({2.33, 0.002}));
        exit_metal.n.push_back(material({1.462, 8e-5}));
        exit_metal.d.insert(exit_metal.d.end(), {59.0, 94.0});
    }
    exit_metal.n.push_back(material({0.06, 3.6}));  // silver-like
    const Spectra expected = defined(exit_metal, 0.7);

    for (double metal_thickness : {2e4, 1e5, 1e9}) {
        SCOPED_TRACE(metal_thickness);
        Stack thick_layer = exit_metal;
        thick_layer.d.push_back(metal_thickness);
        thick_layer.n.push_back(material({1.52, 0.0}));
        const Spectra plain = defined(thick_layer, 0.7);
        const Spectra actual = simulated(thick_layer, 0.7);
        for (std::size_t w = 0; w < wl.size(); ++w) {
            SCOPED_TRACE(wl[w]);
            EXPECT_FALSE(std::isfinite(plain.r[w]));
            EXPECT_NEAR(actual.r[w], expected.r[w], 1e-13 * expected.r[w]);
            EXPECT_EQ(actual.t[w], 0.0);
        }
    }
}

// A silicon wafer over more than 100 wavelengths, evaluated on the pool:
// every value finite and the same as evaluating its wavelength alone.
TEST(ThickAbsorbingLayer, WaferSpectrumOnThePoolEqualsEachWavelengthAlone) {
    Stack wafer{{5e5}, {{}, {}, {}}, {}, 0.2};
    for (int w = 0; w < 150; ++w) {
        const double lambda = 400.0 + 3.0 * w;
        const double x = 400.0 / lambda;
        wafer.wl.push_back(lambda);
        wafer.n[0].push_back({1.0, 0.0});
        wafer.n[1].push_back({3.6 + 2.0 * x * x, 0.005 + 0.4 * std::pow(x, 6)});
        wafer.n[2].push_back({1.0, 0.0});
    }
    const Spectra spectrum = simulated(wafer, 0.3);
    std::size_t overflowed = 0;
    const Spectra plain = defined(wafer, 0.3);
    for (std::size_t w = 0; w < wafer.wl.size(); ++w) {
        SCOPED_TRACE(wafer.wl[w]);
        const Stack alone =
            single(wafer.d, {wafer.n[0][w], wafer.n[1][w], wafer.n[2][w]}, wafer.wl[w], 0.2);
        const Spectra expected = simulated(alone, 0.3);
        EXPECT_TRUE(same_bits(spectrum.r[w], expected.r[0]));
        EXPECT_TRUE(same_bits(spectrum.t[w], expected.t[0]));
        EXPECT_GT(spectrum.r[w], 0.25);
        EXPECT_LT(spectrum.r[w] + spectrum.t[w], 1.0);
        overflowed += !std::isfinite(plain.r[w]);
    }
    EXPECT_GT(overflowed, 50u);  // the pool's runs mend values at many offsets
}

struct UnsoundCase {
    const char* name;
    Stack stack;
    double phi;
};

void PrintTo(const UnsoundCase& c, std::ostream* os) { *os << c.name; }

class UnsoundInput : public testing::TestWithParam<UnsoundCase> {};

// With a NaN or infinite input, λ = 0, a zero index, a singular interface
// (D = 0) or indices whose squares overflow, the spectra are the plain
// ones, also beside a thick absorbing layer.
TEST_P(UnsoundInput, SpectraStayAsDefined) {
    const UnsoundCase& c = GetParam();
    const Spectra plain = defined(c.stack, c.phi);
    const Spectra actual = simulated(c.stack, c.phi);
    EXPECT_FALSE(std::isfinite(plain.r[0]) && std::isfinite(plain.t[0]));
    EXPECT_TRUE(same_bits(actual.r[0], plain.r[0]));
    EXPECT_TRUE(same_bits(actual.t[0], plain.t[0]));
}

// A thick absorbing layer (growth about 2000) behind a second layer whose
// index or thickness is the odd one, between air and glass.
Stack behind(Complex index, double thickness, double wl = 500.0, double theta = 0.3) {
    return single({thickness, 4e5}, {{1.0, 0.0}, index, {2.0, 0.5}, {1.5, 0.0}}, wl, theta);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnsoundInput,
    testing::Values(UnsoundCase{"nan_thickness", behind({1.4, 0.0}, nan), 0.7},
                    UnsoundCase{"infinite_thickness", behind({1.4, 0.01}, inf), 0.7},
                    UnsoundCase{"infinite_index", behind({inf, 0.0}, 100.0), 0.7},
                    UnsoundCase{"nan_index", behind({1.4, nan}, 100.0), 0.7},
                    UnsoundCase{"zero_index", behind({0.0, -0.0}, 100.0), 0.7},
                    UnsoundCase{"zero_wavelength", behind({1.4, 0.0}, 100.0, 0.0), 0.7},
                    UnsoundCase{"nan_wavelength", behind({1.4, 0.0}, 100.0, nan), 0.7},
                    UnsoundCase{"nan_theta", behind({1.4, 0.0}, 100.0, 500.0, nan), 0.7},
                    UnsoundCase{"infinite_theta", behind({1.4, 0.0}, 100.0, 500.0, inf), 0.7},
                    UnsoundCase{"nan_phi", behind({1.4, 0.0}, 100.0), nan},
                    UnsoundCase{"infinite_phi", behind({1.4, 0.0}, 100.0), -inf},
                    UnsoundCase{"squared_index_overflows", behind({1e200, 1e199}, 100.0), 0.7},
                    // Beyond the critical angle the layers 1.0 + 0i and 1.0 − 0i have
                    // opposite normal terms, so D = 0 at the interface between them.
                    UnsoundCase{
                        "singular_interface",
                        single({150.0, 150.0, 4e5},
                               {{1.5, 0.0}, {1.0, 0.0}, {1.0, -0.0}, {2.0, 0.5}, {1.5, 0.0}}, 600.0,
                               1.2),
                        0.7}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lamiro
