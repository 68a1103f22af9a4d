// SPDX-License-Identifier: MIT
#pragma once

// Complex arithmetic on packs of L independent values (one per wavelength),
// lane by lane the same formulas as complex.hpp in the same order. Packed
// IEEE multiplication, addition, subtraction and division round each lane
// exactly as the scalar instruction does, so every lane of a result has the
// bits the scalar formula gives. Nothing here may fuse a multiply-add: the
// file is only ever compiled for targets without FMA (baseline x86-64, and
// functions marked target("avx2") or target("avx512vl"), neither of which
// enables FMA), with contraction switched off as everywhere in the build.
// Packs wider than one are used on x86-64 only; other processors use packs
// of one, which are plain scalar arithmetic.
//
// Everything is always_inline so that it is compiled with the instruction
// set of the function it is used in (SSE2, AVX2 or AVX-512VL), never as an
// out-of-line copy of its own.

#include <cstddef>

#include "optics/complex.hpp"

#define LAMIRO_PACKED_INLINE [[gnu::always_inline]] inline
#define LAMIRO_PACKED_LAMBDA __attribute__((always_inline))

// Packs of four are passed and returned only between always_inline
// functions inside AVX2 or AVX-512VL code, so the calling convention of a
// 32-byte vector without AVX never comes into play.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro::packed {

// A pack of L doubles (a GCC vector). L = 1 is the scalar tail.
template <int L>
struct PackType;
template <>
struct PackType<1> {
    typedef double type __attribute__((vector_size(8)));
};
template <>
struct PackType<2> {
    typedef double type __attribute__((vector_size(16)));
};
template <>
struct PackType<4> {
    typedef double type __attribute__((vector_size(32)));
};
template <int L>
using Pack = typename PackType<L>::type;

template <int L>
struct PackedComplex {
    Pack<L> re;
    Pack<L> im;
};

template <int L>
LAMIRO_PACKED_INLINE Pack<L> splat(double value) {
    Pack<L> v;
    for (int i = 0; i < L; ++i) v[i] = value;
    return v;
}

// A pack built from L scalars, lane i = value(i). Each scalar is pinned to a
// register first, so the pack is assembled by register shuffles: values
// that were just stored one by one (library results, which come back
// through memory) are then never reloaded as one wide load, which the
// processor cannot forward from several narrow stores and stalls on.
LAMIRO_PACKED_INLINE double in_register(double x) {
#if defined(__x86_64__)
    asm("" : "+x"(x));
#endif
    return x;
}

template <int L, class F>
LAMIRO_PACKED_INLINE Pack<L> make_pack(F&& value) {
    if constexpr (L == 1) {
        return Pack<1>{value(0)};
    } else if constexpr (L == 2) {
        return Pack<2>{in_register(value(0)), in_register(value(1))};
    } else {
        static_assert(L == 4);
        return Pack<4>{in_register(value(0)), in_register(value(1)), in_register(value(2)),
                       in_register(value(3))};
    }
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> add(const PackedComplex<L>& a, const PackedComplex<L>& b) {
    return {a.re + b.re, a.im + b.im};
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> sub(const PackedComplex<L>& a, const PackedComplex<L>& b) {
    return {a.re - b.re, a.im - b.im};
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> mul(const PackedComplex<L>& a, const PackedComplex<L>& b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// a·c for a constant complex c, the full product formula.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> mul(const PackedComplex<L>& a, Complex c) {
    return {a.re * c.re - a.im * c.im, a.re * c.im + a.im * c.re};
}

// c·b for a constant complex c, the full product formula.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> mul(Complex c, const PackedComplex<L>& b) {
    return {c.re * b.re - c.im * b.im, c.re * b.im + c.im * b.re};
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> scale(const PackedComplex<L>& z, double s) {
    return {z.re * s, z.im * s};
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> div_real(const PackedComplex<L>& z, const Pack<L>& s) {
    return {z.re / s, z.im / s};
}

// |b|² as the quotient a/b forms it; shared by quotients with the same b.
template <int L>
LAMIRO_PACKED_INLINE Pack<L> quotient_denominator(const PackedComplex<L>& b) {
    return b.re * b.re + b.im * b.im;
}

// a/b given q = quotient_denominator(b): the quotient formula of complex.hpp.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> div(const PackedComplex<L>& a, const PackedComplex<L>& b,
                                          const Pack<L>& q) {
    return {(a.re * b.re + a.im * b.im) / q, (a.im * b.re - a.re * b.im) / q};
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> div(const PackedComplex<L>& a, const PackedComplex<L>& b) {
    return div(a, b, quotient_denominator(b));
}

// (1 + 0i)/z given q = quotient_denominator(z), zero products included.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> reciprocal(const PackedComplex<L>& z, const Pack<L>& q) {
    return {(1.0 * z.re + 0.0 * z.im) / q, (0.0 * z.re - 1.0 * z.im) / q};
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> mul_i(const PackedComplex<L>& z) {
    return mul(z, Complex{0.0, 1.0});
}

template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> mul_neg_i(const PackedComplex<L>& z) {
    return mul(z, Complex{-0.0, -1.0});
}

// Real part of the complex product a·b, as the product formula rounds it.
template <int L>
LAMIRO_PACKED_INLINE Pack<L> real_of_product(const PackedComplex<L>& a, const PackedComplex<L>& b) {
    return a.re * b.re - a.im * b.im;
}

// conj(a)·b.
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> conj_mul(const PackedComplex<L>& a,
                                               const PackedComplex<L>& b) {
    return {a.re * b.re + a.im * b.im, a.re * b.im - a.im * b.re};
}

// |z|² as re² + im² (for derivatives and fluxes, not for the spectra,
// which square a hypot).
template <int L>
LAMIRO_PACKED_INLINE Pack<L> norm(const PackedComplex<L>& z) {
    return z.re * z.re + z.im * z.im;
}

template <int L>
LAMIRO_PACKED_INLINE Pack<L> abs(const Pack<L>& x) {
    return x < Pack<L>{} ? -x : x;  // −0.0 stays −0.0, harmless for a magnitude
}

// Lane i as a scalar Complex.
template <int L>
LAMIRO_PACKED_INLINE Complex lane(const PackedComplex<L>& z, int i) {
    return {z.re[i], z.im[i]};
}

// The pack whose lane i is values[i].
template <int L>
LAMIRO_PACKED_INLINE PackedComplex<L> from_lanes(const Complex (&values)[L]) {
    return {make_pack<L>([&](int i) LAMIRO_PACKED_LAMBDA { return values[i].re; }),
            make_pack<L>([&](int i) LAMIRO_PACKED_LAMBDA { return values[i].im; })};
}

}  // namespace lamiro::packed

#pragma GCC diagnostic pop
