// SPDX-License-Identifier: MIT
// The evaluation of whole spectra: serial up to 100 wavelengths, on the
// worker pool above, the same bits either way; faults reach the caller.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/internal_fault.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/simulation_context.hpp"
#include "optics/spectra.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

struct Stack {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
};

// A random absorbing stack of `layers` layers over `count` wavelengths.
Stack random_stack(std::size_t layers, std::size_t count, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> index(1.2, 2.6), loss(0.0, 0.2), thick(5.0, 300.0);
    std::vector<double> d(layers), wl(count);
    for (double& h : d) h = thick(rng);
    for (std::size_t w = 0; w < count; ++w)
        wl[w] = 350.0 + 700.0 * static_cast<double>(w) / static_cast<double>(count);
    std::vector<Complex> n((layers + 2) * count);
    for (std::size_t j = 0; j < layers + 2; ++j) {
        for (std::size_t w = 0; w < count; ++w) {
            n[j * count + w] = j == 0 ? Complex{1.0, 0.0} : Complex{index(rng), loss(rng)};
        }
    }
    return {real_vector(d), complex_matrix(layers + 2, count, n), real_vector(wl)};
}

class SpectrumSize : public testing::TestWithParam<std::size_t> {};

// Each wavelength's pair equals the matrices of that wavelength evaluated
// alone, whether the spectrum ran serially (N <= 100) or on the pool.
TEST_P(SpectrumSize, PairsEqualSingleWavelengthEvaluation) {
    const std::size_t count = GetParam();
    Stack stack = random_stack(7, count, 42 + static_cast<unsigned>(count));
    SimulationContext context(stack.d, stack.n, stack.wl, 0.4, 0.3);
    std::span<const MatrixPair> pairs = context.matrix_pairs();
    ASSERT_EQ(pairs.size(), count);
    for (std::size_t w = 0; w < count; ++w) {
        SCOPED_TRACE("wavelength index " + std::to_string(w));
        EXPECT_TRUE(same_bits(pairs[w].s, stack_transfer_matrix(stack.d, stack.n, stack.wl, 0.4, w,
                                                                Polarisation::S)));
        EXPECT_TRUE(same_bits(pairs[w].p, stack_transfer_matrix(stack.d, stack.n, stack.wl, 0.4, w,
                                                                Polarisation::P)));
    }
    // The spectra, computed alongside the pairs, equal those computed from
    // the finished pairs afterwards; a second request gives them again.
    const OwnedBuffer<double> expected_r = reflectance_spectrum(pairs, 0.3);
    const OwnedBuffer<double> expected_t = transmittance_spectrum(pairs, stack.n, 0.4, 0.3);
    for (int request = 0; request < 2; ++request) {
        SCOPED_TRACE("request " + std::to_string(request));
        OwnedBuffer<double> r = context.reflectance();
        OwnedBuffer<double> t = context.transmittance();
        ASSERT_EQ(r.size(), count);
        ASSERT_EQ(t.size(), count);
        for (std::size_t w = 0; w < count; ++w) {
            EXPECT_TRUE(same_bits(r[w], expected_r[w]));
            EXPECT_TRUE(same_bits(t[w], expected_t[w]));
            EXPECT_GT(r[w], 0.0);
            EXPECT_LT(r[w] + t[w], 1.0);  // the layers absorb
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SerialAndParallel, SpectrumSize,
                         testing::Values(1, 99, 100, 101, 257, 1000, 4099));

TEST(SimulationContext, NoWavelengthsGiveEmptySpectraWhateverTheShapes) {
    // n has no rows and d no entries: nothing is read when there is no wavelength.
    const RealVector empty = real_vector({});
    const ComplexMatrix no_media = complex_matrix(0, 0, {});
    SimulationContext context(empty, no_media, empty, 0.1, 0.2);
    EXPECT_EQ(context.matrix_pairs().size(), 0u);
    EXPECT_EQ(context.reflectance().size(), 0u);
    EXPECT_EQ(context.transmittance().size(), 0u);
}

struct FaultCase {
    const char* name;
    std::size_t layers;    // layers of the stack
    std::size_t d_length;  // thicknesses given
    std::size_t columns;   // columns of n
    std::size_t media;     // rows of n
};

class IndexFault : public testing::TestWithParam<std::tuple<FaultCase, std::size_t>> {};

// Inputs too small for the wavelengths end the evaluation with the index
// fault, serially and on the pool; a sound evaluation afterwards succeeds.
TEST_P(IndexFault, ReachesTheCallerAndLeavesThePoolUsable) {
    auto [shape, count] = GetParam();
    std::vector<Complex> n(shape.media * shape.columns, Complex{1.5, 0.01});
    std::vector<double> d(shape.d_length, 50.0), wl(count, 500.0);
    const RealVector d_vector = real_vector(d);
    const ComplexMatrix n_matrix = complex_matrix(shape.media, shape.columns, n);
    const RealVector wl_vector = real_vector(wl);
    SimulationContext context(d_vector, n_matrix, wl_vector, 0.2, 0.0);
    try {
        context.reflectance();
        FAIL() << "expected the index fault";
    } catch (const InternalFault& fault) {
        EXPECT_EQ(fault.message(), "ndarray: index out of bounds");
    }

    Stack sound = random_stack(3, count, 7);
    SimulationContext again(sound.d, sound.n, sound.wl, 0.2, 0.0);
    EXPECT_EQ(again.reflectance().size(), count);
}

INSTANTIATE_TEST_SUITE_P(SerialAndParallel, IndexFault,
                         testing::Combine(testing::Values(FaultCase{"too_few_columns", 2, 2, 10, 4},
                                                          FaultCase{"one_medium", 0, 0, 600, 1},
                                                          FaultCase{"short_d", 3, 2, 600, 5}),
                                          testing::Values(std::size_t{50}, std::size_t{500})),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

// The same spectrum through strided and reversed views of its inputs: the
// packed kernel reads by logical index, so every lane gets its own column.
TEST(SimulationContext, ReversedAndStridedInputsGiveTheSamePairs) {
    for (std::size_t count : {std::size_t{13}, std::size_t{257}}) {
        SCOPED_TRACE("wavelengths " + std::to_string(count));
        Stack stack = random_stack(5, count, 3);
        const std::size_t media = stack.n.rows;
        // n stored transposed (column-major) with the wavelengths reversed and
        // one padding element per column; wl reversed.
        OwnedBuffer<Complex> buffer = OwnedBuffer<Complex>::allocate((media + 1) * count);
        for (std::size_t w = 0; w < count; ++w) {
            for (std::size_t j = 0; j < media; ++j) {
                buffer[(count - 1 - w) * (media + 1) + j] = stack.n(j, w);
            }
            buffer[(count - 1 - w) * (media + 1) + media] = {-1.0, -1.0};
        }
        ComplexMatrix n_view{
            std::move(buffer),        media, count, 1, -static_cast<std::ptrdiff_t>(media + 1),
            (count - 1) * (media + 1)};
        OwnedBuffer<double> wl_buffer = OwnedBuffer<double>::allocate(count);
        for (std::size_t w = 0; w < count; ++w) wl_buffer[count - 1 - w] = stack.wl[w];
        RealVector wl_view{std::move(wl_buffer), count, -1, count - 1};

        SimulationContext plain(stack.d, stack.n, stack.wl, 0.7, 0.4);
        SimulationContext viewed(stack.d, n_view, wl_view, 0.7, 0.4);
        const std::span<const MatrixPair> a = plain.matrix_pairs();
        const std::span<const MatrixPair> b = viewed.matrix_pairs();
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t w = 0; w < a.size(); ++w) ASSERT_TRUE(same_bits(a[w], b[w])) << w;
    }
}

// Only the last wavelength lacks its column of n: the fault still comes,
// whether that wavelength falls in the scalar tail of a serial evaluation
// or in the last run on the pool, and the cache stays absent, so asking
// again fails again.
TEST(SimulationContext, FaultAtTheLastWavelengthLeavesTheCacheAbsent) {
    for (std::size_t count :
         {std::size_t{7}, std::size_t{100}, std::size_t{101}, std::size_t{1003}}) {
        SCOPED_TRACE("wavelengths " + std::to_string(count));
        Stack stack = random_stack(4, count - 1, 11);
        std::vector<double> wl(count, 600.0);
        const RealVector wl_vector = real_vector(wl);
        SimulationContext context(stack.d, stack.n, wl_vector, 0.3, 0.0);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                context.matrix_pairs();
                FAIL() << "expected the index fault";
            } catch (const InternalFault& fault) {
                EXPECT_EQ(fault.message(), "ndarray: index out of bounds");
            }
        }
    }
}

// NaN, infinite and zero entries scattered over a spectrum on the pool:
// every pair equals the single-polarisation matrices of its wavelength
// (NaN compared as NaN), whichever lane of which pack it lands in.
TEST(SimulationContext, ScatteredNonFiniteEntriesOnThePool) {
    const std::size_t count = 333;
    Stack stack = random_stack(6, count, 5);
    std::mt19937_64 rng(8);
    std::uniform_int_distribution<std::size_t> column(0, count - 1), row(0, 7);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(), 0.0, -0.0, 1e300};
    for (std::size_t i = 0; i < 40; ++i) {
        const double value = specials[i % std::size(specials)];
        const std::size_t w = column(rng);
        if (i % 4 == 0) {
            stack.wl.buffer[w] = value;
        } else {
            Complex& entry = stack.n.buffer[row(rng) * count + w];
            (i % 2 == 0 ? entry.re : entry.im) = value;
        }
    }
    SimulationContext context(stack.d, stack.n, stack.wl, 0.5, 0.0);
    const std::span<const MatrixPair> pairs = context.matrix_pairs();
    std::size_t non_finite = 0;
    for (std::size_t w = 0; w < count; ++w) {
        SCOPED_TRACE("wavelength index " + std::to_string(w));
        non_finite += std::isfinite(pairs[w].s.m00.re) && std::isfinite(pairs[w].p.m01.im) ? 0 : 1;
        EXPECT_TRUE(same_bits(pairs[w].s, stack_transfer_matrix(stack.d, stack.n, stack.wl, 0.5, w,
                                                                Polarisation::S)));
        EXPECT_TRUE(same_bits(pairs[w].p, stack_transfer_matrix(stack.d, stack.n, stack.wl, 0.5, w,
                                                                Polarisation::P)));
    }
    EXPECT_GT(non_finite, 10u);  // the scattered values did reach the matrices
}

}  // namespace
}  // namespace lamiro
