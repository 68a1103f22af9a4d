// SPDX-License-Identifier: MIT
#pragma once

#include <cmath>
#include <limits>

namespace lamiro {

// A complex number as two binary64 values, real part first: the layout of
// one NumPy complex128 element. Any bit pattern is a valid value.
struct Complex {
    double re;
    double im;
};

static_assert(sizeof(Complex) == 16, "Complex must match a NumPy complex128 element");

// Complex arithmetic with fixed rounding. Every operation is the plain
// textbook formula evaluated in the order written: each product is rounded
// before it is added, nothing is rescaled, and signed zeros, infinities and
// NaN go through the same formula as any other value. The spectra are fixed
// to the bit by this sequence of operations, so no step may be merged,
// reordered or simplified (the build switches off FMA contraction).

inline Complex add(Complex a, Complex b) noexcept { return {a.re + b.re, a.im + b.im}; }

inline Complex sub(Complex a, Complex b) noexcept { return {a.re - b.re, a.im - b.im}; }

inline Complex mul(Complex a, Complex b) noexcept {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

inline Complex operator+(Complex a, Complex b) noexcept { return add(a, b); }
inline Complex operator-(Complex a, Complex b) noexcept { return sub(a, b); }
inline Complex operator*(Complex a, Complex b) noexcept { return mul(a, b); }

// z·z by the product formula: the imaginary part is twice the rounded
// product re·im.
inline Complex square(Complex z) noexcept { return mul(z, z); }

// z·s for a real s.
inline Complex scale(Complex z, double s) noexcept { return {z.re * s, z.im * s}; }

// z/s for a real s.
inline Complex div_real(Complex z, double s) noexcept { return {z.re / s, z.im / s}; }

// a/b without any scaling of the denominator: |b|² overflows above about
// 1.3e154 and underflows below about 1.5e-154, and the quotient then comes
// out inexact, zero, infinite or NaN. That is the defined behaviour.
inline Complex div(Complex a, Complex b) noexcept {
    const double q = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / q, (a.im * b.re - a.re * b.im) / q};
}

// 1/z as the quotient (1 + 0i)/z, zero products included.
inline Complex reciprocal(Complex z) noexcept { return div(Complex{1.0, 0.0}, z); }

// z·i as a full product with (0, 1): an infinite component turns the other
// one into NaN, and zeros keep the signs the product gives them.
inline Complex mul_i(Complex z) noexcept { return mul(z, Complex{0.0, 1.0}); }

// z·(−i) as a full product with (−0.0, −1.0).
inline Complex mul_neg_i(Complex z) noexcept { return mul(z, Complex{-0.0, -1.0}); }

// |z|; a squared modulus is this value times itself.
inline double complex_abs(Complex z) noexcept { return std::hypot(z.re, z.im); }

// Principal square root. The cases are tested in this order with ==, so a
// NaN component counts as non-zero; "negative" means the sign bit is set,
// so the sign of a zero imaginary part picks the side of the branch cut.
inline Complex complex_sqrt(Complex z) noexcept {
    if (z.im == 0.0) {
        if (!std::signbit(z.re)) {
            return {std::sqrt(z.re), z.im};
        }
        const double root = std::sqrt(-z.re);
        return {0.0, std::signbit(z.im) ? -root : root};
    }
    if (z.re == 0.0) {
        const double x = std::sqrt(std::fabs(z.im) * 0.5);
        return {x, std::signbit(z.im) ? -x : x};
    }
    const double r = std::hypot(z.re, z.im);
    const double h = std::atan2(z.im, z.re) * 0.5;
    const double root = std::sqrt(r);
    return {root * std::cos(h), root * std::sin(h)};
}

// True for the corner cases of e^z, whose result is fixed without calling
// exp, cos or sin: re = +∞ with im zero or not finite, re = −∞ with im not
// finite, re NaN with im zero. Every one has a non-finite real part. Any
// faster path to e^z takes the general formula only where this is false.
inline bool exp_is_corner_case(Complex z) noexcept {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    return (z.re == infinity && (z.im == 0.0 || !std::isfinite(z.im))) ||
           (z.re == -infinity && !std::isfinite(z.im)) || (std::isnan(z.re) && z.im == 0.0);
}

// e^z: the corner cases, then the general formula (exp(re)·cos(im),
// exp(re)·sin(im)).
inline Complex complex_exp(Complex z) noexcept {
    if (exp_is_corner_case(z)) {
        if (z.re > 0.0) {  // +∞: an infinite im becomes NaN, a zero or NaN im stays
            return {z.re, std::isinf(z.im) ? std::numeric_limits<double>::quiet_NaN() : z.im};
        }
        if (z.re < 0.0) {  // −∞
            return {0.0, 0.0};
        }
        return z;  // NaN + 0i
    }
    const double e = std::exp(z.re);
    return {e * std::cos(z.im), e * std::sin(z.im)};
}

}  // namespace lamiro
