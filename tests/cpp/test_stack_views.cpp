// SPDX-License-Identifier: MIT
// The pair kernel on views and from a given invariant: parts of a stack and
// the stack seen from its exit side are evaluated in place, without copies,
// with the bits of the same media copied into a stack of their own; a β
// handed in directly gives the bits of the angle it came from; and the
// reversed stack, started from the invariant of the forward one, gives the
// reverse-direction coefficients r′ = −m10/m00 and t′ = det M/m00 of the
// forward matrix. Every choice of variant and planning this processor runs.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/internal_fault.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

constexpr double theta = 0.7;

std::vector<KernelChoice> kernel_choices() {
    std::vector<KernelChoice> choices;
    for (KernelVariant variant : {KernelVariant::scalar, KernelVariant::sse2, KernelVariant::avx2,
                                  KernelVariant::avx512vl}) {
        if (!kernel_variant_supported(variant)) continue;
        for (Planning planning : {Planning::off, Planning::always}) {
            choices.push_back({variant, planning});
        }
    }
    return choices;
}

// A stack of `media` media at 11 wavelengths (packs and tails of every
// width); `lossless` keeps every index real. Two materials repeat so that
// planned runs share work.
struct RandomStack {
    RandomStack(std::size_t media, bool lossless, unsigned seed) {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> re(1.3, 2.4), im(0.0, 0.05), h(20.0, 300.0);
        const std::size_t count = 11;
        std::vector<double> lambda, thickness;
        for (std::size_t w = 0; w < count; ++w)
            lambda.push_back(400.0 + 37.0 * static_cast<double>(w));
        for (std::size_t k = 0; k + 2 < media; ++k) thickness.push_back(h(rng));
        const std::vector<Complex> repeated(count, Complex{1.46, lossless ? 0.0 : 0.001});
        std::vector<std::vector<Complex>> rows;
        for (std::size_t j = 0; j < media; ++j) {
            if (j % 3 == 2) {
                rows.push_back(repeated);
                continue;
            }
            std::vector<Complex> row;
            for (std::size_t w = 0; w < count; ++w) {
                row.push_back(j == 0 ? Complex{1.0, 0.0}
                                     : Complex{re(rng), lossless ? 0.0 : im(rng)});
            }
            rows.push_back(row);
        }
        d = real_vector(thickness);
        wl = real_vector(lambda);
        n = complex_matrix(rows);
    }

    // Rows [first, first + count) copied into a stack of their own, their
    // thicknesses with them, optionally in the opposite order.
    void copy_part(std::size_t first, std::size_t count, bool reversed, RealVector& d_out,
                   ComplexMatrix& n_out) const {
        std::vector<std::vector<Complex>> rows;
        std::vector<double> thickness;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t j = reversed ? first + count - 1 - i : first + i;
            std::vector<Complex> row;
            for (std::size_t w = 0; w < n.cols; ++w) row.push_back(n(j, w));
            rows.push_back(row);
            if (i > 0 && i + 1 < count) thickness.push_back(d[j - 1]);
        }
        d_out = real_vector(thickness);
        n_out = complex_matrix(rows);
    }

    RealVector d;
    RealVector wl;
    ComplexMatrix n;
};

std::vector<MatrixPair> pairs_of(KernelChoice choice, const StackArrays& stack,
                                 const StackInvariant& invariant) {
    std::vector<MatrixPair> out(stack.wl.size());
    stack_matrix_pairs(choice, stack, invariant, 0, out.size(), out.data());
    return out;
}

class StackViews : public ::testing::TestWithParam<KernelChoice> {};

// Parts [first, last] of a 9-medium stack as views, with the invariant of
// the whole, against the same media copied: a part that starts at the
// incidence medium against the reference kernel (its own row 0 gives the
// same invariant), every part against the kernel on its copy.
TEST_P(StackViews, PartsOfAStackMatchTheirCopies) {
    const RandomStack whole(9, false, 11);
    const StackArrays all{whole.d.view(), whole.n.view(), whole.wl.view()};
    const StackInvariant invariant = incidence_invariant(all.n, theta);
    for (std::size_t first = 0; first < 8; ++first) {
        for (std::size_t last = first + 1; last < 9; ++last) {
            SCOPED_TRACE("media " + std::to_string(first) + " to " + std::to_string(last));
            const std::size_t count = last - first + 1;
            const StackArrays part{all.d.part(first, count - 2), all.n.row_part(first, count),
                                   all.wl};
            RealVector d_copy;
            ComplexMatrix n_copy;
            whole.copy_part(first, count, false, d_copy, n_copy);
            const std::vector<MatrixPair> viewed = pairs_of(GetParam(), part, invariant);
            const StackArrays copied{d_copy.view(), n_copy.view(), whole.wl.view()};
            const std::vector<MatrixPair> from_copy = pairs_of(GetParam(), copied, invariant);
            for (std::size_t w = 0; w < viewed.size(); ++w) {
                ASSERT_TRUE(same_bits(viewed[w], from_copy[w])) << "wavelength " << w;
                if (first != 0) continue;
                const MatrixPair reference{
                    stack_transfer_matrix(d_copy, n_copy, whole.wl, theta, w, Polarisation::S),
                    stack_transfer_matrix(d_copy, n_copy, whole.wl, theta, w, Polarisation::P)};
                ASSERT_TRUE(same_bits(viewed[w], reference)) << "wavelength " << w;
            }
        }
    }
}

// β = n_0·sin θ formed by the caller and handed in with sin_theta = 1 gives
// the bits of the start from the angle.
TEST_P(StackViews, GivenBetaMatchesTheAngle) {
    const RandomStack stack(7, false, 12);
    const StackArrays arrays{stack.d.view(), stack.n.view(), stack.wl.view()};
    std::vector<Complex> beta;
    for (std::size_t w = 0; w < stack.n.cols; ++w)
        beta.push_back(scale(stack.n(0, w), std::sin(theta)));
    const StackInvariant given{{beta.data(), beta.size(), 1}, 1.0};
    const std::vector<MatrixPair> from_beta = pairs_of(GetParam(), arrays, given);
    const std::vector<MatrixPair> from_angle =
        pairs_of(GetParam(), arrays, incidence_invariant(arrays.n, theta));
    for (std::size_t w = 0; w < from_beta.size(); ++w) {
        EXPECT_TRUE(same_bits(from_beta[w], from_angle[w])) << "wavelength " << w;
    }
}

// The stack seen from its exit side, with the forward invariant, in place
// and as a reversed copy; its r = m01/m00 and t = 1/m00 are the forward
// stack's r′ = −m10/m00 and t′ = det M/m00 (equal up to rounding). With a
// lossless stack the reverse flux ratio is real and the comparison is
// tight.
TEST_P(StackViews, ReversedStackGivesTheReverseCoefficients) {
    for (bool lossless : {true, false}) {
        SCOPED_TRACE(lossless ? "lossless" : "absorbing");
        const RandomStack stack(8, lossless, 13);
        const StackArrays forward{stack.d.view(), stack.n.view(), stack.wl.view()};
        const StackInvariant invariant = incidence_invariant(forward.n, theta);
        const StackArrays backward{forward.d.reversed(), forward.n.reversed_rows(), forward.wl};
        RealVector d_copy;
        ComplexMatrix n_copy;
        stack.copy_part(0, 8, true, d_copy, n_copy);
        const std::vector<MatrixPair> m = pairs_of(GetParam(), forward, invariant);
        const std::vector<MatrixPair> reversed = pairs_of(GetParam(), backward, invariant);
        const std::vector<MatrixPair> copied =
            pairs_of(GetParam(), {d_copy.view(), n_copy.view(), stack.wl.view()}, invariant);
        const auto near = [](Complex a, Complex b) {
            const double scale_ab = std::max(complex_abs(a), complex_abs(b)) + 1.0;
            return complex_abs(sub(a, b)) <= 1e-12 * scale_ab;
        };
        for (std::size_t w = 0; w < m.size(); ++w) {
            ASSERT_TRUE(same_bits(reversed[w], copied[w])) << "wavelength " << w;
            for (const auto& [f, b] :
                 {std::pair{m[w].s, reversed[w].s}, std::pair{m[w].p, reversed[w].p}}) {
                const Complex r_prime = div(sub(Complex{0.0, 0.0}, f.m10), f.m00);
                const Complex t_prime = div(sub(mul(f.m00, f.m11), mul(f.m01, f.m10)), f.m00);
                EXPECT_TRUE(near(div(b.m01, b.m00), r_prime)) << "r', wavelength " << w;
                EXPECT_TRUE(near(reciprocal(b.m00), t_prime)) << "t', wavelength " << w;
            }
        }
    }
}

// An invariant source shorter than the range is the index fault, raised
// before anything is written.
TEST_P(StackViews, ShortInvariantSourceIsTheIndexFault) {
    const RandomStack stack(5, false, 14);
    const StackArrays arrays{stack.d.view(), stack.n.view(), stack.wl.view()};
    ComplexRow short_source = arrays.n.row(0);
    short_source.length = 10;
    std::vector<MatrixPair> out(11);
    const MatrixPair marker{};
    EXPECT_THROW(stack_matrix_pairs(GetParam(), arrays, {short_source, 0.3}, 0, 11, out.data()),
                 InternalFault);
    EXPECT_TRUE(same_bits(out[0], marker));
    EXPECT_NO_THROW(stack_matrix_pairs(GetParam(), arrays, {short_source, 0.3}, 0, 10, out.data()));
}

std::string choice_name(const ::testing::TestParamInfo<KernelChoice>& info) {
    static const char* const variants[] = {"scalar", "sse2", "avx2", "avx512vl"};
    return std::string(variants[static_cast<int>(info.param.variant)]) +
           (info.param.planning == Planning::off ? "_unplanned" : "_planned");
}

INSTANTIATE_TEST_SUITE_P(Choices, StackViews, ::testing::ValuesIn(kernel_choices()), choice_name);

}  // namespace
}  // namespace lamiro
