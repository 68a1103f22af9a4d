// SPDX-License-Identifier: MIT
// Complex arithmetic: exact values, signs of zeros and non-finite cases.
// Reference values are worked by hand from the formulas of each operation.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "optics/complex.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct UnaryCase {
    std::string name;
    Complex z;
    Complex expected;
};

void PrintTo(const UnaryCase& c, std::ostream* os) { *os << c.name; }

class SquareRoot : public ::testing::TestWithParam<UnaryCase> {};

TEST_P(SquareRoot, IsExact) {
    EXPECT_TRUE(same_bits(complex_sqrt(GetParam().z), GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SquareRoot,
    ::testing::Values(
        // First case (zero imaginary part): the sign of im picks the side of the cut.
        UnaryCase{"four_minus_zero", {4.0, -0.0}, {2.0, -0.0}},
        UnaryCase{"zero", {0.0, 0.0}, {0.0, 0.0}},
        UnaryCase{"negative_zero_re", {-0.0, 0.0}, {0.0, 0.0}},
        UnaryCase{"negative_zero_both", {-0.0, -0.0}, {0.0, -0.0}},
        UnaryCase{"minus_one", {-1.0, 0.0}, {0.0, 1.0}},
        UnaryCase{"minus_four_upper", {-4.0, 0.0}, {0.0, 2.0}},
        UnaryCase{"minus_four_lower", {-4.0, -0.0}, {0.0, -2.0}},
        UnaryCase{"plus_infinity", {inf, 0.0}, {inf, 0.0}},
        UnaryCase{"minus_infinity", {-inf, -0.0}, {0.0, -inf}},
        UnaryCase{"nan_re_zero_im", {nan, 0.0}, {nan, 0.0}},
        // Second case (zero real part, im non-zero or NaN).
        UnaryCase{"two_i", {0.0, 2.0}, {1.0, 1.0}},
        UnaryCase{"minus_two_i", {0.0, -2.0}, {1.0, -1.0}},
        UnaryCase{"minus_two_i_negative_zero_re", {-0.0, -2.0}, {1.0, -1.0}},
        UnaryCase{"eight_i_negative_zero_re", {-0.0, 8.0}, {2.0, 2.0}},
        UnaryCase{"nan_im", {0.0, nan}, {nan, nan}}),
    [](const auto& info) { return info.param.name; });

TEST(SquareRoot, GeneralCaseIsPrincipalRoot) {
    // (2 + i)² = 3 + 4i, (1 + 2i)² = −3 + 4i; the general case is accurate to
    // a few units in the last place, with the principal signs.
    const struct {
        Complex z, root;
    } cases[] = {{{3, 4}, {2, 1}}, {{-3, 4}, {1, 2}}, {{-3, -4}, {1, -2}}, {{3, -4}, {2, -1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.z.re << " + " << c.z.im << "i");
        const Complex r = complex_sqrt(c.z);
        EXPECT_NEAR(r.re, c.root.re, 4e-16 * std::fabs(c.root.re));
        EXPECT_NEAR(r.im, c.root.im, 4e-16 * std::fabs(c.root.im));
    }
}

class Exponential : public ::testing::TestWithParam<UnaryCase> {};

TEST_P(Exponential, CornerCases) {
    EXPECT_TRUE(same_bits(complex_exp(GetParam().z), GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Exponential,
    ::testing::Values(UnaryCase{"inf_zero", {inf, 0.0}, {inf, 0.0}},
                      UnaryCase{"inf_negative_zero", {inf, -0.0}, {inf, -0.0}},
                      UnaryCase{"inf_inf", {inf, inf}, {inf, nan}},
                      UnaryCase{"inf_nan", {inf, nan}, {inf, nan}},
                      // Not a corner case: +∞·cos 1 and +∞·sin 1.
                      UnaryCase{"inf_one", {inf, 1.0}, {inf, inf}},
                      UnaryCase{"inf_minus_one", {inf, -1.0}, {inf, -inf}},
                      UnaryCase{"minus_inf_nan", {-inf, nan}, {0.0, 0.0}},
                      UnaryCase{"minus_inf_minus_inf", {-inf, -inf}, {0.0, 0.0}},
                      // General case: 0·cos 1 and 0·sin 1, 0·cos(−1) and 0·sin(−1).
                      UnaryCase{"minus_inf_one", {-inf, 1.0}, {0.0, 0.0}},
                      UnaryCase{"minus_inf_minus_one", {-inf, -1.0}, {0.0, -0.0}},
                      UnaryCase{"nan_zero", {nan, 0.0}, {nan, 0.0}},
                      UnaryCase{"nan_negative_zero", {nan, -0.0}, {nan, -0.0}},
                      UnaryCase{"nan_one", {nan, 1.0}, {nan, nan}},
                      UnaryCase{"zero", {0.0, 0.0}, {1.0, 0.0}},
                      UnaryCase{"zero_negative_zero", {0.0, -0.0}, {1.0, -0.0}}),
    [](const auto& info) { return info.param.name; });

struct BinaryCase {
    std::string name;
    std::function<Complex(Complex, Complex)> op;
    Complex a, b;
    Complex expected;
};

void PrintTo(const BinaryCase& c, std::ostream* os) { *os << c.name; }

class BinaryOperation : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(BinaryOperation, IsExact) {
    const BinaryCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.op(c.a, c.b), c.expected));
}

// 1 + 2^-27 squares to 1 + 2^-26 + 2^-54, which rounds to 1 + 2^-26; a fused
// multiply-add would keep the 2^-54.
const double one_plus = 1.0 + std::ldexp(1.0, -27);

INSTANTIATE_TEST_SUITE_P(
    Cases, BinaryOperation,
    ::testing::Values(
        BinaryCase{"product", mul, {1, 2}, {3, 4}, {-5, 10}},
        BinaryCase{"product_rounds_before_subtracting",
                   mul,
                   {one_plus, 1},
                   {one_plus, 1},
                   {std::ldexp(1.0, -26), 2.0 * one_plus}},
        BinaryCase{"sum", add, {1, -0.0}, {2, -0.0}, {3, -0.0}},
        BinaryCase{"difference", sub, {1, 0.0}, {3, 0.0}, {-2, 0.0}},
        // (1 + 2i)/(3 + 4i) = (3 + 8)/25 + (6 − 4)/25 i.
        BinaryCase{"quotient", div, {1, 2}, {3, 4}, {11.0 / 25.0, 2.0 / 25.0}},
        BinaryCase{"quotient_by_zero", div, {1, 1}, {0, 0}, {nan, nan}},
        // Unscaled: |b|² overflows, so 1e200/1e200 is ∞/∞ and not 1.
        BinaryCase{"quotient_overflows_unscaled", div, {1e200, 0}, {1e200, 0}, {nan, 0.0}},
        BinaryCase{"quotient_underflows_unscaled", div, {1e-170, 0}, {1e-170, 0}, {nan, nan}}),
    [](const auto& info) { return info.param.name; });

TEST(Square, ImaginaryPartIsTwiceTheRoundedProduct) {
    const Complex z{one_plus, 1.0 / 3.0};
    const Complex sq = square(z);
    EXPECT_TRUE(same_bits(sq.im, 2.0 * (z.re * z.im)));
    EXPECT_TRUE(same_bits(square({one_plus, 1.0}).re, std::ldexp(1.0, -26)));
}

TEST(Reciprocal, IsQuotientOfOne) {
    EXPECT_TRUE(same_bits(reciprocal({0.0, 0.0}), {nan, nan}));
    EXPECT_TRUE(same_bits(reciprocal({2.0, 0.0}), {0.5, 0.0}));  // (0·2 − 1·0)/4 = +0/4
    EXPECT_TRUE(same_bits(reciprocal({0.0, 2.0}), {0.0, -0.5}));
    // |z|² underflows to zero: 1e-170/0 and (0 − 0)/0.
    EXPECT_TRUE(same_bits(reciprocal({1e-170, 0.0}), {inf, nan}));
}

TEST(ImaginaryUnit, ProductsAreFullProducts) {
    // (1e308, 0)·(0, 1) stays finite; (∞, 0)·(0, 1) meets ∞·0.
    EXPECT_TRUE(same_bits(mul_i({1e308, 0.0}), {0.0, 1e308}));
    EXPECT_TRUE(same_bits(mul_i({inf, 0.0}), {nan, inf}));
    EXPECT_TRUE(same_bits(mul_neg_i({inf, 0.0}), {nan, -inf}));
    // Signs of zeros that a component swap would get wrong:
    // (−0)·0 − 3·1 = −3 and (−0)·1 + 3·0 = +0.
    EXPECT_TRUE(same_bits(mul_i({-0.0, 3.0}), {-3.0, 0.0}));
    // 3·(−0) − (−0)·(−1) = −0 − +0 = −0: the factor's real part is −0.0.
    EXPECT_TRUE(same_bits(mul_neg_i({3.0, -0.0}), {-0.0, -3.0}));
    EXPECT_TRUE(same_bits(mul_neg_i({1.0, 2.0}), {2.0, -1.0}));
}

}  // namespace
}  // namespace lamiro
