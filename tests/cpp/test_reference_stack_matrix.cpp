// SPDX-License-Identifier: MIT
// The reference kernel of the stack transfer matrix: the worked examples,
// index faults, layouts and the symmetries of the method.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/internal_fault.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

void expect_twelve_digits(Complex actual, Complex reference) {
    EXPECT_NEAR(actual.re, reference.re, twelve_digit_tolerance(reference.re));
    EXPECT_NEAR(actual.im, reference.im, twelve_digit_tolerance(reference.im));
}

TEST(StackTransferMatrix, SingleInterfaceAirGlass) {
    // Reference: 1/τ = (1 + 1.5)/2 and ρ/τ = ∓0.5/2 at normal incidence,
    // with 1/τ one unit below 1.25 from the rounding of the quotients.
    const RealVector d = real_vector({});
    const RealVector wl = real_vector({500.0});
    const ComplexMatrix n = column({{1.0, 0.0}, {1.5, 0.0}});
    const struct {
        Polarisation polarisation;
        double off_diagonal;
    } cases[] = {{Polarisation::S, -0.25}, {Polarisation::P, 0.25}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.polarisation == Polarisation::S ? "S" : "P");
        const TransferMatrix m = stack_transfer_matrix(d, n, wl, 0.0, 0, c.polarisation);
        for (const Complex& diagonal : {m.m00, m.m11}) {
            EXPECT_EQ(diagonal.re, 1.2499999999999998);
            EXPECT_EQ(diagonal.im, 0.0);
        }
        for (const Complex& off : {m.m01, m.m10}) {
            EXPECT_EQ(off.re, c.off_diagonal);
            EXPECT_EQ(off.im, 0.0);
        }
    }
}

TEST(StackTransferMatrix, OneAbsorbingLayer) {
    // Reference values of the one-layer example, given to 12 significant digits.
    const RealVector d = real_vector({100.0});
    const RealVector wl = real_vector({500.0});
    const ComplexMatrix n = column({{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}});
    const struct {
        Polarisation polarisation;
        TransferMatrix expected;
    } cases[] = {
        {Polarisation::S,
         {{-1.12928848089, -1.07097299341},
          {0.261381076576, 0.516121222783},
          {0.215915270045, -0.46423025323},
          {-0.88870289917, 0.851579884698}}},
        {Polarisation::P,
         {{-1.11427933516, -1.01504551291},
          {-0.175124387313, -0.389724926257},
          {-0.148634312207, 0.354526347978},
          {-0.873004515483, 0.798990882461}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.polarisation == Polarisation::S ? "S" : "P");
        const TransferMatrix m = stack_transfer_matrix(d, n, wl, 0.5, 0, c.polarisation);
        expect_twelve_digits(m.m00, c.expected.m00);
        expect_twelve_digits(m.m01, c.expected.m01);
        expect_twelve_digits(m.m10, c.expected.m10);
        expect_twelve_digits(m.m11, c.expected.m11);
    }
}

TEST(StackTransferMatrix, StridedAndReversedLayoutsReadTheSameValues) {
    // Three media, two wavelengths; the second wavelength is evaluated.
    const std::vector<std::vector<Complex>> media = {
        {{9.0, 9.0}, {1.0, 0.0}}, {{9.0, 9.0}, {2.0, 0.1}}, {{9.0, 9.0}, {1.5, 0.0}}};
    const RealVector d = real_vector({100.0, 7.0});
    const RealVector wl = real_vector({1.0, 500.0});
    const ComplexMatrix n = complex_matrix(media);

    // d and wl reversed in their buffers (stride −1), n stored column-major
    // with its rows in reverse order and a padding element after each column.
    RealVector d_reversed = real_vector({7.0, 100.0});
    d_reversed.stride = -1;
    d_reversed.first = 1;
    RealVector wl_reversed = real_vector({500.0, 1.0});
    wl_reversed.stride = -1;
    wl_reversed.first = 1;
    OwnedBuffer<Complex> buffer = OwnedBuffer<Complex>::allocate(8);
    for (std::size_t c = 0; c < 2; ++c) {
        for (std::size_t r = 0; r < 3; ++r) buffer[c * 4 + (2 - r)] = media[r][c];
        buffer[c * 4 + 3] = {-1.0, -1.0};
    }
    const ComplexMatrix n_strided{std::move(buffer), 3, 2, -1, 4, 2};

    for (Polarisation polarisation : {Polarisation::S, Polarisation::P}) {
        const TransferMatrix a = stack_transfer_matrix(d, n, wl, 0.5, 1, polarisation);
        const TransferMatrix b =
            stack_transfer_matrix(d_reversed, n_strided, wl_reversed, 0.5, 1, polarisation);
        EXPECT_TRUE(same_bits(a, b));
    }
}

TEST(StackTransferMatrix, SupplementaryAnglesGiveIdenticalMatrices) {
    // θ enters only through sin θ. 0.3 and π − 0.3 round to the same sine.
    const double theta = 0.3;
    const double supplement = 3.141592653589793 - theta;
    ASSERT_EQ(std::sin(theta), std::sin(supplement));
    const RealVector d = real_vector({120.0, 80.0});
    const RealVector wl = real_vector({633.0});
    const ComplexMatrix n = column({{1.0, 0.0}, {2.3, 0.02}, {1.4, 0.0}, {1.52, 0.0}});
    for (Polarisation polarisation : {Polarisation::S, Polarisation::P}) {
        EXPECT_TRUE(same_bits(stack_transfer_matrix(d, n, wl, theta, 0, polarisation),
                              stack_transfer_matrix(d, n, wl, supplement, 0, polarisation)));
    }
}

TEST(StackTransferMatrix, NormalIncidencePolarisationsDifferOnlyInReflectionSign) {
    const RealVector d = real_vector({95.0, 140.0, 60.0});
    const RealVector wl = real_vector({550.0});
    const ComplexMatrix n = column({{1.0, 0.0}, {2.1, 0.3}, {1.38, 0.0}, {3.0, 1.5}, {1.52, 0.0}});
    const TransferMatrix s = stack_transfer_matrix(d, n, wl, 0.0, 0, Polarisation::S);
    const TransferMatrix p = stack_transfer_matrix(d, n, wl, 0.0, 0, Polarisation::P);
    const auto near = [](Complex a, Complex b) {
        EXPECT_NEAR(a.re, b.re, 1e-14);
        EXPECT_NEAR(a.im, b.im, 1e-14);
    };
    near(p.m00, s.m00);
    near(p.m11, s.m11);
    near(p.m01, {-s.m01.re, -s.m01.im});
    near(p.m10, {-s.m10.re, -s.m10.im});
}

TEST(StackTransferMatrix, ZeroThicknessLayerOfIncidenceIndexChangesNothing) {
    // Between two equal media τ = 1 and ρ = 0, and a zero thickness gives
    // phase factors of 1, so only the interface into the glass remains.
    const RealVector wl = real_vector({500.0});
    const TransferMatrix bare = stack_transfer_matrix(
        real_vector({}), column({{1.2, 0.1}, {1.5, 0.0}}), wl, 0.4, 0, Polarisation::P);
    const TransferMatrix padded =
        stack_transfer_matrix(real_vector({0.0}), column({{1.2, 0.1}, {1.2, 0.1}, {1.5, 0.0}}), wl,
                              0.4, 0, Polarisation::P);
    EXPECT_TRUE(same_bits(padded, bare));
}

TEST(MediumWave, EvanescentLayerTakesBranchFromSignOfZero) {
    // n_0 = 1.5, θ = 1.2: n_0·sin θ ≈ 1.398 exceeds the layer index 1.0, so
    // K = ±i·sqrt(1.398² − 1) = ±0.9770199230230164i.
    const Complex b = square(scale({1.5, 0.0}, std::sin(1.2)));
    const MediumWave upper = medium_wave({1.0, 0.0}, b);
    const MediumWave lower = medium_wave({1.0, -0.0}, b);
    EXPECT_EQ(upper.k.re, 0.0);
    EXPECT_DOUBLE_EQ(upper.k.im, 0.9770199230230164);
    EXPECT_EQ(lower.k.re, 0.0);
    EXPECT_DOUBLE_EQ(lower.k.im, -0.9770199230230164);
}

struct FaultCase {
    std::string name;
    std::vector<double> d;
    std::vector<std::vector<Complex>> n;
    std::vector<double> wl;
    std::size_t w;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class IndexFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(IndexFault, RaisesIndexOutOfBounds) {
    const FaultCase& c = GetParam();
    const RealVector d = real_vector(c.d);
    const ComplexMatrix n = complex_matrix(c.n);
    const RealVector wl = real_vector(c.wl);
    for (Polarisation polarisation : {Polarisation::S, Polarisation::P}) {
        try {
            stack_transfer_matrix(d, n, wl, 0.2, c.w, polarisation);
            ADD_FAILURE() << "no fault";
        } catch (const InternalFault& fault) {
            EXPECT_EQ(fault.message(), "ndarray: index out of bounds");
        }
    }
}

const std::vector<Complex> two_wavelengths = {{1.0, 0.0}, {1.0, 0.0}};

INSTANTIATE_TEST_SUITE_P(
    Cases, IndexFault,
    ::testing::Values(
        FaultCase{"w_beyond_wl", {}, {two_wavelengths, two_wavelengths}, {500.0, 600.0}, 2},
        FaultCase{"empty_wl", {}, {two_wavelengths, two_wavelengths}, {}, 0},
        FaultCase{"no_media", {}, {}, {500.0}, 0},
        FaultCase{"one_medium", {}, {two_wavelengths}, {500.0}, 0},
        FaultCase{
            "w_beyond_n_columns", {}, {two_wavelengths, two_wavelengths}, {500.0, 600.0, 700.0}, 2},
        FaultCase{"d_empty_with_one_layer",
                  {},
                  {two_wavelengths, two_wavelengths, two_wavelengths},
                  {500.0},
                  0},
        FaultCase{
            "d_one_short",
            {10.0, 20.0},
            {two_wavelengths, two_wavelengths, two_wavelengths, two_wavelengths, two_wavelengths},
            {500.0},
            0}),
    [](const auto& info) { return info.param.name; });

TEST(StackTransferMatrix, SurplusThicknessesAndColumnsAreNotRead) {
    const RealVector wl = real_vector({500.0});
    const TransferMatrix exact =
        stack_transfer_matrix(real_vector({100.0}), column({{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
                              wl, 0.5, 0, Polarisation::S);
    const TransferMatrix surplus = stack_transfer_matrix(
        real_vector({100.0, std::nan("")}),
        complex_matrix(
            {{{1.0, 0.0}, {0.0, 0.0}}, {{2.0, 0.1}, {0.0, 0.0}}, {{1.5, 0.0}, {0.0, 0.0}}}),
        wl, 0.5, 0, Polarisation::S);
    EXPECT_TRUE(same_bits(exact, surplus));
}

}  // namespace
}  // namespace lamiro
