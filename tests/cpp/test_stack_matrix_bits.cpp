// SPDX-License-Identifier: MIT
// The pair kernel against the reference kernel, bit for bit, on stacks that
// drive every branch of the arithmetic (square-root cases with both signs of
// zero, exponential corner cases, evanescent layers, total reflection, gain,
// zero and negative thicknesses, extreme indices, λ = 0, odd angles, NaN and
// infinite inputs) and on structured stacks whose media, interfaces and
// phase factors repeat (or nearly repeat: signed zeros, one unit in the last
// place), in every variant, planned and unplanned, in every lane, with
// contiguous and with reversed, strided arrays, serially and on the pool.
// The reference is computed in the same process, so both kernels call
// the same C library, whose maths functions may differ in the last bit
// between versions and processor variants.
//
// tests/cpp/data/stack_matrix_bits.txt pins the reference itself: the words
// of its S and P matrices and of R and T at three mixing angles for every
// case, with the C library and maths variant they were written with. Any
// fused multiply-add, reordered operation or changed library call changes a
// word. They are compared only where this process runs the same library and
// variant. A NaN is stored as "nan" and compared as "is NaN". Rewrite the
// file only after a deliberate change of the arithmetic or of the cases:
//   LAMIRO_WRITE_STACK_BITS=<path> test_stack_matrix_bits --gtest_filter='StoredBitsFile.*'
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif
#if defined(__GLIBC__) && defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define LAMIRO_HAVE_X86_FEATURES 1
#endif

#include "common/internal_fault.hpp"
#include "optics/layer_phase.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/simulation_context.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "optics/stack_plan.hpp"
#include "test_support.hpp"

namespace lamiro {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double pi = 3.141592653589793;

// One stack: n[j][w] is medium j at wavelength w.
struct BitsCase {
    const char* name;
    double theta;
    std::vector<double> d;
    std::vector<double> wl;
    std::vector<std::vector<Complex>> n;
};

void PrintTo(const BitsCase& c, std::ostream* os) { *os << c.name; }

// The owned arrays of a case.
struct Arrays {
    explicit Arrays(const BitsCase& c)
        : d(real_vector(c.d)), wl(real_vector(c.wl)), n(complex_matrix(c.n)) {}
    RealVector d;
    RealVector wl;
    ComplexMatrix n;
};

// A stack of one wavelength.
BitsCase single(const char* name, double theta, std::vector<double> d, double wl,
                std::vector<Complex> media) {
    std::vector<std::vector<Complex>> n;
    for (Complex m : media) n.push_back({m});
    return BitsCase{name, theta, std::move(d), {wl}, std::move(n)};
}

// A stack whose medium j is materials[pattern[j]]: rows of one material
// are equal bit for bit, so the kernel's plan shares their work.
BitsCase patterned(const char* name, double theta, std::vector<double> d, std::vector<double> wl,
                   const std::vector<std::vector<Complex>>& materials,
                   const std::vector<std::size_t>& pattern) {
    BitsCase c{name, theta, std::move(d), std::move(wl), {}};
    for (std::size_t m : pattern) c.n.push_back(materials[m]);
    return c;
}

// Air, two dispersive absorbing materials (high and low index) and glass at
// five wavelengths.
const std::vector<double> five_wavelengths = {400.0, 480.0, 550.0, 633.0, 780.0};
const std::vector<std::vector<Complex>> air_high_low_glass = {
    std::vector<Complex>(5, Complex{1.0, 0.0}),
    {{2.45, 0.004}, {2.38, 0.003}, {2.33, 0.002}, {2.30, 0.0015}, {2.27, 0.001}},
    {{1.475, 1e-4}, {1.468, 9e-5}, {1.462, 8e-5}, {1.458, 7e-5}, {1.454, 6e-5}},
    std::vector<Complex>(5, Complex{1.52, 0.0})};

// `count` distinct absorbing media, one wavelength each.
std::vector<std::vector<Complex>> distinct_media(std::size_t count) {
    std::vector<std::vector<Complex>> media;
    for (std::size_t i = 0; i < count; ++i) {
        media.push_back({{1.3 + 0.1 * static_cast<double>(i), 0.002 * static_cast<double>(i)}});
    }
    return media;
}

// A quarter-wave mirror of `layers` layers at one wavelength, high and low
// index alternating (high first), each material at one thickness: `layers`
// + 2 rows.
BitsCase mirror(const char* name, std::size_t layers) {
    std::vector<std::size_t> pattern{0};
    std::vector<double> d;
    for (std::size_t k = 0; k < layers; ++k) {
        pattern.push_back(k % 2 == 0 ? 1 : 2);
        d.push_back(k % 2 == 0 ? 59.0 : 94.0);
    }
    pattern.push_back(3);
    return patterned(name, 0.2, d, {550.0},
                     {{{1.0, 0.0}}, {{2.33, 0.002}}, {{1.462, 8e-5}}, {{1.52, 0.0}}}, pattern);
}

// `layers` layers drawn from `media` distinct media in a scrambled order,
// with thicknesses from a set of five. With 16 media and 120 layers: 49
// distinct interfaces, 69 distinct (medium, thickness) pairs, 39 of the
// first 64 of them repeated.
BitsCase crowded(const char* name, std::size_t media, std::size_t layers) {
    std::vector<std::size_t> pattern{0};
    std::vector<double> d;
    for (std::size_t k = 1; k <= layers; ++k) {
        pattern.push_back((k * 11 + k * k / 3) % media);
        d.push_back(40.0 + 15.0 * static_cast<double>(k % 5));
    }
    pattern.push_back(media - 1);
    return patterned(name, 0.35, d, {550.0}, distinct_media(media), pattern);
}

const std::vector<BitsCase>& bits_cases() {
    static const std::vector<BitsCase> cases = {
        // Square root case 1 (zero imaginary part, sign of re clear), all real.
        single("air_glass_normal", 0.0, {}, 500.0, {{1.0, 0.0}, {1.5, 0.0}}),
        // The worked absorbing example: square root case 3 everywhere but medium 0.
        single("one_absorbing_layer", 0.5, {100.0}, 500.0, {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
        // Lossless quarter-wave-ish stack over five wavelengths.
        BitsCase{"lossless_multilayer",
                 0.4,
                 {60.0, 95.0, 60.0, 95.0},
                 {400.0, 550.0, 633.0, 700.0, 800.0},
                 {{{1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}},
                  {{2.35, 0.0}, {2.31, 0.0}, {2.30, 0.0}, {2.29, 0.0}, {2.28, 0.0}},
                  {{1.47, 0.0}, {1.465, 0.0}, {1.46, 0.0}, {1.458, 0.0}, {1.455, 0.0}},
                  {{2.35, 0.0}, {2.31, 0.0}, {2.30, 0.0}, {2.29, 0.0}, {2.28, 0.0}},
                  {{1.47, 0.0}, {1.465, 0.0}, {1.46, 0.0}, {1.458, 0.0}, {1.455, 0.0}},
                  {{1.52, 0.0}, {1.52, 0.0}, {1.52, 0.0}, {1.52, 0.0}, {1.52, 0.0}}}},
        // Absorbing stack with dispersion and an absorbing incidence medium.
        BitsCase{"absorbing_dispersive",
                 0.3,
                 {12.5, 200.0, 33.0},
                 {350.0, 480.0, 610.0, 905.0, 1200.0, 1550.0},
                 {{{1.2, 0.05}, {1.2, 0.04}, {1.2, 0.03}, {1.2, 0.02}, {1.2, 0.01}, {1.2, 0.0}},
                  {{0.15, 3.5}, {0.12, 3.9}, {0.13, 4.1}, {0.2, 5.8}, {0.3, 7.5}, {0.5, 9.9}},
                  {{2.6, 0.3}, {2.5, 0.2}, {2.45, 0.1}, {2.4, 0.05}, {2.38, 0.01}, {2.37, 0.0}},
                  {{1.9, 1.1}, {1.8, 1.2}, {1.7, 1.3}, {1.6, 1.4}, {1.5, 1.5}, {1.4, 1.6}},
                  {{3.5, 0.0}, {3.5, 0.0}, {3.5, 0.0}, {3.5, 0.0}, {3.5, 0.0}, {3.5, 0.0}}}},
        // Evanescent layer (square root case 1 with re < 0): the sign of the
        // zero imaginary part of the layer index picks the branch.
        single("evanescent_plus_zero", 1.2, {150.0}, 600.0, {{1.5, 0.0}, {1.0, 0.0}, {1.5, 0.0}}),
        single("evanescent_minus_zero", 1.2, {150.0}, 600.0, {{1.5, 0.0}, {1.0, -0.0}, {1.5, 0.0}}),
        // Total reflection into the exit medium, one lossless layer between.
        single("total_reflection", 1.0, {80.0}, 550.0, {{1.5, 0.0}, {1.38, 0.0}, {1.0, 0.0}}),
        // Gain medium (negative imaginary part) and a negative real index.
        single("gain_and_negative_index", 0.7, {120.0, 40.0}, 700.0,
               {{1.0, 0.0}, {2.0, -0.05}, {-1.5, 0.01}, {1.5, 0.0}}),
        // Square root case 2: n·n − B with a zero real part, both signs of im.
        single("sqrt_zero_real_part", 0.0, {50.0, 50.0}, 500.0,
               {{1.0, 0.0}, {1.0, 1.0}, {1.0, -1.0}, {1.0, 0.0}}),
        // Purely imaginary index: n·n = −1 + 0i, square root case 1, re < 0.
        single("imaginary_index", 0.0, {30.0}, 500.0, {{1.0, 0.0}, {0.0, 1.0}, {1.5, 0.0}}),
        // Zero thicknesses of both signs and a negative thickness.
        single("zero_and_negative_thickness", 0.6, {0.0, -0.0, -75.0}, 520.0,
               {{1.0, 0.0}, {1.8, 0.02}, {2.2, 0.0}, {1.6, 0.1}, {1.45, 0.0}}),
        // Purely imaginary indices throughout: the matrix entries have
        // components that are exactly zero, so the signs of the zeros that the
        // products with i and −i give reach the result.
        single("purely_imaginary_media", 0.0, {100.0}, 500.0,
               {{0.0, 1.0}, {0.0, -2.0}, {0.0, 1.0}}),
        // Zero index of a layer and of the exit medium.
        single("zero_index_layer", 0.3, {40.0}, 500.0, {{1.0, 0.0}, {0.0, 0.0}, {1.5, 0.0}}),
        single("zero_index_exit", 0.0, {}, 500.0, {{1.0, 0.0}, {0.0, -0.0}}),
        // λ = 0, negative and infinite wavelengths over one spectrum.
        BitsCase{"odd_wavelengths",
                 0.2,
                 {90.0},
                 {0.0, -0.0, -500.0, inf, 500.0},
                 {{{1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}},
                  {{2.0, 0.1}, {2.0, 0.0}, {2.0, 0.1}, {2.0, 0.1}, {2.0, 0.1}},
                  {{1.5, 0.0}, {1.5, 0.0}, {1.5, 0.0}, {1.5, 0.0}, {1.5, 0.0}}}},
        // Negative angles, −0.0, and angles beyond π/2.
        single("negative_theta", -0.4, {70.0}, 600.0, {{1.1, 0.02}, {2.1, 0.05}, {1.5, 0.0}}),
        single("negative_zero_theta", -0.0, {70.0}, 600.0, {{1.0, 0.0}, {2.1, 0.05}, {1.5, 0.0}}),
        single("theta_supplementary", pi - 0.3, {70.0}, 600.0,
               {{1.0, 0.0}, {2.1, 0.0}, {1.5, 0.0}}),
        single("theta_half_pi", pi / 2, {70.0}, 600.0, {{1.0, 0.0}, {2.1, 0.05}, {1.5, 0.0}}),
        single("theta_beyond_pi", 4.0, {70.0, 30.0}, 600.0,
               {{1.3, 0.0}, {2.1, 0.05}, {1.0, 0.0}, {1.5, 0.0}}),
        // An infinite thickness on an absorbing layer: the exponents become
        // (+inf, -inf) and (-inf, +inf), the two infinite corner cases.
        single("infinite_thickness_absorbing", 0.2, {inf}, 500.0,
               {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
        // A huge thickness on an evanescent layer: exponents (+inf, -0) and
        // (-inf, +0), the zero-imaginary corner and the general case at -inf.
        single("huge_thickness_evanescent", 1.2, {1e300}, 600.0,
               {{1.5, 0.0}, {1.0, 0.0}, {1.5, 0.0}}),
        // A purely imaginary layer index at normal incidence with a huge
        // thickness: the exponents are (−inf, +0), the general case, and
        // (+inf, −0), the zero-imaginary corner. The corner gives e₋ =
        // (+inf, −0) where the general formula would give (+inf, NaN), and
        // m00 is (inf, NaN) rather than (NaN, NaN).
        single("huge_thickness_imaginary_index", 0.0, {1e308}, 0.5,
               {{1.0, 0.0}, {0.0, 2.0}, {1.5, 0.0}}),
        // A thick absorbing layer: exp overflows to inf in the general case.
        single("thick_absorbing_overflow", 0.1, {2e5}, 500.0, {{1.0, 0.0}, {2.0, 0.5}, {1.5, 0.0}}),
        // Infinite and NaN entries of n, d, λ and θ.
        single("infinite_index_layer", 0.3, {50.0}, 500.0, {{1.0, 0.0}, {inf, 0.0}, {1.5, 0.0}}),
        single("infinite_imaginary_index", 0.3, {50.0}, 500.0,
               {{1.0, 0.0}, {1.5, -inf}, {1.5, 0.0}}),
        single("nan_index_layer", 0.3, {50.0}, 500.0, {{1.0, 0.0}, {nan, 0.1}, {1.5, 0.0}}),
        single("nan_imaginary_exit", 0.3, {50.0}, 500.0, {{1.0, 0.0}, {2.0, 0.1}, {1.5, nan}}),
        single("nan_thickness", 0.3, {nan}, 500.0, {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
        single("nan_wavelength", 0.3, {50.0}, nan, {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
        single("nan_theta", nan, {50.0}, 500.0, {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
        single("infinite_theta", inf, {50.0}, 500.0, {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
        // Indices whose squared modulus overflows or underflows in the quotients.
        single("huge_index", 0.3, {50.0}, 500.0, {{1.0, 0.0}, {1e200, 1e199}, {1.5, 0.0}}),
        single("tiny_index", 0.3, {50.0}, 500.0, {{1.0, 0.0}, {1e-170, 3e-171}, {1.5, 0.0}}),
        // Large phases (argument reduction of sin/cos) with mixed loss.
        single("large_phase", 0.9, {3.7e7, 1e12}, 633.0,
               {{1.0, 0.0}, {1.7, 0.0}, {1.9, 1e-9}, {1.5, 0.0}}),
        // A longer random-looking absorbing stack.
        single("twelve_layers", 0.65,
               {13.0, 250.5, 7.25, 99.0, 180.0, 1.0, 64.0, 310.0, 45.5, 5.0, 120.0, 77.7}, 575.0,
               {{1.0, 0.0},
                {2.3, 0.01},
                {1.46, 0.0},
                {3.9, 0.02},
                {0.05, 3.2},
                {1.38, 0.0},
                {2.1, 0.0},
                {1.62, 0.3},
                {4.3, 0.01},
                {1.0, 0.0},
                {2.7, 0.7},
                {1.46, 1e-4},
                {1.333, 0.0},
                {1.52, 0.0}}),
        // Structured stacks, whose repeated media, interfaces and phase
        // factors the kernel computes once. Two materials alternating, every
        // thickness different; a quarter-wave mirror of identical pairs.
        patterned("two_materials_alternating", 0.3,
                  {51.0, 83.5, 47.25, 90.0, 62.0, 71.5, 58.0, 99.0}, five_wavelengths,
                  air_high_low_glass, {0, 1, 2, 1, 2, 1, 2, 1, 2, 3}),
        patterned("quarter_wave_mirror", 0.0, {59.0, 94.0, 59.0, 94.0, 59.0, 94.0, 59.0, 94.0},
                  five_wavelengths, air_high_low_glass, {0, 1, 2, 1, 2, 1, 2, 1, 2, 3}),
        // Layers equal to the incidence and to the exit medium, every
        // thickness the same.
        patterned("layers_equal_to_outer_media", 0.5, {80.0, 80.0, 80.0, 80.0, 80.0},
                  five_wavelengths, air_high_low_glass, {0, 1, 0, 2, 3, 1, 3}),
        // Rows that differ only in the sign of a zero imaginary part: beyond
        // the critical angle that sign picks the branch of K.
        patterned("rows_differing_in_the_sign_of_zero", 1.2, {150.0, 150.0, 150.0, 150.0},
                  {600.0, 650.0},
                  {{{1.5, 0.0}, {1.5, 0.0}},
                   {{1.0, 0.0}, {1.0, 0.0}},
                   {{1.0, -0.0}, {1.0, 0.0}},
                   {{1.0, -0.0}, {1.0, -0.0}}},
                  {0, 1, 2, 3, 1, 0}),
        // Rows one unit in the last place apart, in either component.
        patterned("rows_one_ulp_apart", 0.3, {100.0, 100.0, 100.0, 100.0, 100.0, 100.0}, {550.0},
                  {{{1.0, 0.0}},
                   {{2.0, 0.1}},
                   {{std::nextafter(2.0, 3.0), 0.1}},
                   {{2.0, std::nextafter(0.1, 0.0)}},
                   {{1.5, 0.0}}},
                  {0, 1, 2, 3, 1, 2, 3, 4}),
        // Layers of one medium with thicknesses 0.0 and −0.0: with purely
        // imaginary indices the sign of the zero reaches m00.
        single("zero_thicknesses_of_both_signs", 1.2, {0.0, 0.0, -0.0}, 500.0,
               {{0.0, 0.5}, {0.0, -2.0}, {0.0, 0.5}, {0.0, -2.0}, {0.0, -2.0}}),
        // Rows equal at the first wavelength only.
        patterned("rows_equal_at_the_first_wavelength_only", 0.4, {50.0, 50.0, 50.0, 50.0},
                  {500.0, 600.0, 700.0},
                  {{{1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}},
                   {{2.0, 0.1}, {2.1, 0.1}, {2.2, 0.1}},
                   {{2.0, 0.1}, {2.0, 0.1}, {2.0, 0.1}},
                   {{1.5, 0.0}, {1.5, 0.0}, {1.5, 0.0}}},
                  {0, 1, 2, 1, 2, 3}),
        // NaN and infinite entries in repeated rows, at some wavelengths.
        patterned("nan_and_infinity_in_repeated_rows", 0.3, {60.0, 80.0, 60.0, 80.0, 60.0},
                  {500.0, 550.0, 600.0, 650.0},
                  {{{1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}},
                   {{2.0, 0.1}, {nan, 0.1}, {2.0, 0.1}, {2.0, 0.1}},
                   {{1.5, 0.0}, {1.5, 0.0}, {inf, 0.0}, {1.5, -inf}},
                   {{1.52, 0.0}, {1.52, 0.0}, {1.52, 0.0}, {1.52, 0.0}}},
                  {0, 1, 2, 1, 2, 1, 3}),
        // Seventeen distinct media, some repeated: more than a plan holds.
        patterned("seventeen_distinct_media", 0.2, std::vector<double>(19, 70.0), {550.0},
                  distinct_media(17),
                  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 1, 2, 3, 16}),
        // Sixteen distinct media over 120 layers: as many media as a plan
        // holds, more interfaces and shared phase factors than it keeps.
        crowded("sixteen_media_crowded", 16, 120),
        // As many media in all as a plan holds, one more, and many more.
        mirror("mirror_of_1024_rows", 1022),
        mirror("mirror_of_1025_rows", 1023),
        mirror("mirror_of_1100_layers", 1100),
    };
    return cases;
}

constexpr double mixing_angles[] = {0.0, 0.7, pi / 2};
constexpr std::size_t words_per_wavelength = 8 + 8 + 2 * std::size(mixing_angles);

// The words of one wavelength: S matrix, P matrix, R at each φ, T at each φ.
using Words = std::vector<double>;

void append_matrix(Words& words, const TransferMatrix& m) {
    for (Complex z : {m.m00, m.m01, m.m10, m.m11}) {
        words.push_back(z.re);
        words.push_back(z.im);
    }
}

// The words of every wavelength of a case, from its pairs.
std::vector<Words> words_of(const BitsCase& c, std::span<const MatrixPair> pairs) {
    const ComplexMatrix n = complex_matrix(c.n);
    std::vector<Words> result(pairs.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        append_matrix(result[w], pairs[w].s);
        append_matrix(result[w], pairs[w].p);
    }
    for (double phi : mixing_angles) {
        OwnedBuffer<double> r = reflectance_spectrum(pairs, phi);
        for (std::size_t w = 0; w < pairs.size(); ++w) result[w].push_back(r[w]);
    }
    for (double phi : mixing_angles) {
        OwnedBuffer<double> t = transmittance_spectrum(pairs, n, c.theta, phi);
        for (std::size_t w = 0; w < pairs.size(); ++w) result[w].push_back(t[w]);
    }
    return result;
}

// Pairs of the single-polarisation reference kernel.
std::vector<MatrixPair> reference_pairs(const BitsCase& c) {
    const Arrays a(c);
    std::vector<MatrixPair> pairs(c.wl.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        pairs[w] = {stack_transfer_matrix(a.d, a.n, a.wl, c.theta, w, Polarisation::S),
                    stack_transfer_matrix(a.d, a.n, a.wl, c.theta, w, Polarisation::P)};
    }
    return pairs;
}

// The C library and the variant of its maths functions that this process
// runs. glibc chooses among builds of exp, sin, cos and atan2 by processor
// feature, on x86-64 in this order: FMA (with AVX2), FMA4, AVX, SSE2; the
// features it counts as active are those GLIBC_TUNABLES leaves on.
std::string maths_library() {
#if defined(__GLIBC__)
    const std::string library = std::string("glibc ") + gnu_get_libc_version();
#else
    const std::string library = "unknown C library";
#endif
#if defined(LAMIRO_HAVE_X86_FEATURES)
    return library + (CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2) ? " x86_64 fma"
                      : CPU_FEATURE_ACTIVE(FMA4)                          ? " x86_64 fma4"
                      : CPU_FEATURE_ACTIVE(AVX)                           ? " x86_64 avx"
                                                                          : " x86_64 sse2");
#elif defined(__aarch64__)
    return library + " aarch64";
#else
    return library + " on an unknown processor";
#endif
}

std::filesystem::path data_file() {
    return std::filesystem::path(LAMIRO_TEST_DATA_DIR) / "stack_matrix_bits.txt";
}

constexpr const char* maths_line = "# maths library: ";

// The stored words of each case, as text, and the maths library they were
// written with.
struct Stored {
    std::string maths_library;
    std::map<std::string, std::vector<std::vector<std::string>>> cases;
};

const Stored& stored() {
    static const Stored table = [] {
        Stored result;
        std::ifstream in(data_file());
        std::string line;
        while (std::getline(in, line)) {
            if (line.starts_with(maths_line)) {
                result.maths_library = line.substr(std::string(maths_line).size());
            }
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string name;
            std::size_t w = 0;
            fields >> name >> w;
            std::vector<std::string> words;
            for (std::string word; fields >> word;) words.push_back(word);
            auto& rows = result.cases[name];
            if (rows.size() <= w) rows.resize(w + 1);
            rows[w] = std::move(words);
        }
        return result;
    }();
    return table;
}

const char* word_name(std::size_t i) {
    static const char* const names[words_per_wavelength] = {
        "S.m00.re", "S.m00.im", "S.m01.re", "S.m01.im", "S.m10.re", "S.m10.im",
        "S.m11.re", "S.m11.im", "P.m00.re", "P.m00.im", "P.m01.re", "P.m01.im",
        "P.m10.re", "P.m10.im", "P.m11.re", "P.m11.im", "R(0)",     "R(0.7)",
        "R(pi/2)",  "T(0)",     "T(0.7)",   "T(pi/2)"};
    return names[i];
}

class EdgeStack : public testing::TestWithParam<BitsCase> {};

// The reference kernel and the spectra give the stored words, in a process
// with the maths library the words were written with.
TEST_P(EdgeStack, ReferenceGivesTheStoredWords) {
    const BitsCase& c = GetParam();
    if (stored().maths_library != maths_library()) {
        GTEST_SKIP() << "the stored words were written with " << stored().maths_library
                     << " and this process runs " << maths_library()
                     << "; its maths functions may differ in the last bit, so only the "
                        "comparisons with the reference in this process apply";
    }
    const auto found = stored().cases.find(c.name);
    ASSERT_NE(found, stored().cases.end())
        << "no stored words for " << c.name << " in " << data_file();
    const auto& rows = found->second;
    const std::vector<Words> actual = words_of(c, reference_pairs(c));
    ASSERT_EQ(rows.size(), actual.size());
    for (std::size_t w = 0; w < actual.size(); ++w) {
        ASSERT_EQ(rows[w].size(), words_per_wavelength) << "wavelength " << w;
        for (std::size_t i = 0; i < words_per_wavelength; ++i) {
            EXPECT_EQ(bits_text(actual[w][i]), rows[w][i])
                << "wavelength " << w << " " << word_name(i) << " = " << actual[w][i];
        }
    }
}

// Every way this processor runs the pair kernel: each variant it supports
// (packs of one, two with SSE2, four with AVX2 and with AVX-512VL; the
// narrower packs of a range's tail included), planned, unplanned, and
// planned even where nothing repeats.
std::vector<KernelChoice> kernel_choices() {
    std::vector<KernelChoice> choices;
    for (KernelVariant variant : {KernelVariant::scalar, KernelVariant::sse2, KernelVariant::avx2,
                                  KernelVariant::avx512vl}) {
        if (!kernel_variant_supported(variant)) continue;
        for (Planning planning : {Planning::off, Planning::automatic, Planning::always}) {
            choices.push_back({variant, planning});
        }
    }
    return choices;
}

const char* variant_name(KernelVariant variant) {
    static const char* const variants[] = {"scalar", "SSE2", "AVX2", "AVX-512VL"};
    return variants[static_cast<int>(variant)];
}

std::string choice_name(KernelChoice choice) {
    static const char* const plannings[] = {"unplanned", "planned where it pays", "always planned"};
    return std::string(variant_name(choice.variant)) + ", " +
           plannings[static_cast<int>(choice.planning)];
}

std::vector<MatrixPair> kernel_pairs(const Arrays& a, double theta, KernelChoice choice) {
    std::vector<MatrixPair> pairs(a.wl.size());
    stack_matrix_pairs(choice, a.d, a.n, a.wl, theta, 0, pairs.size(), pairs.data());
    return pairs;
}

std::vector<MatrixPair> kernel_pairs(const BitsCase& c, KernelChoice choice) {
    return kernel_pairs(Arrays(c), c.theta, choice);
}

void expect_same_pairs(std::span<const MatrixPair> actual, std::span<const MatrixPair> expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t w = 0; w < actual.size(); ++w) {
        EXPECT_TRUE(same_bits(actual[w], expected[w])) << "wavelength " << w;
    }
}

// Values alike: equal up to the sign of a zero, the payload of a NaN or one
// unit in the last place.
bool alike(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::nextafter(a, b) == b;
}

// The first row of the case alike to row j at every wavelength.
std::size_t first_alike_row(const BitsCase& c, std::size_t j) {
    for (std::size_t r = 0;; ++r) {
        bool same = true;
        for (std::size_t w = 0; w < c.wl.size(); ++w) {
            same = same && alike(c.n[r][w].re, c.n[j][w].re) && alike(c.n[r][w].im, c.n[j][w].im);
        }
        if (same) return r;
    }
}

// The case's wavelengths placed at column `offset` of a spectrum of `total`
// wavelengths whose other columns hold random sound media, so that every
// wavelength of the case passes through every lane of a pack. Rows alike in
// the case get the same media in the other columns: what the kernel shares
// in the case (or could wrongly take for shared) it meets in the spectrum.
BitsCase embedded(const BitsCase& c, std::size_t offset, std::size_t total, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> index(1.0, 3.0), loss(0.0, 0.3), lambda(300.0, 900.0);
    BitsCase e{c.name, c.theta, c.d, std::vector<double>(total), {}};
    e.n.assign(c.n.size(), std::vector<Complex>(total));
    for (std::size_t w = 0; w < total; ++w) {
        const bool inside = w >= offset && w - offset < c.wl.size();
        e.wl[w] = inside ? c.wl[w - offset] : lambda(rng);
        for (std::size_t j = 0; j < c.n.size(); ++j) {
            const std::size_t first = first_alike_row(c, j);
            e.n[j][w] = inside       ? c.n[j][w - offset]
                        : first == j ? Complex{index(rng), loss(rng)}
                                     : e.n[first][w];
        }
    }
    return e;
}

// The arrays of a case in another memory order: every stride negative (the
// last element first), and the columns of `n` two elements apart.
Arrays reversed_and_strided(const BitsCase& c) {
    Arrays a(c);
    const auto reverse = [](RealVector& v) {
        v.stride = -1;
        v.first = v.length == 0 ? 0 : v.length - 1;
        for (std::size_t i = 0; i < v.length / 2; ++i) {
            std::swap(v.buffer[i], v.buffer[v.length - 1 - i]);
        }
    };
    reverse(a.d);
    reverse(a.wl);
    const std::size_t rows = c.n.size();
    const std::size_t cols = rows == 0 ? 0 : c.n[0].size();
    OwnedBuffer<Complex> buffer = OwnedBuffer<Complex>::allocate(2 * rows * cols);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = Complex{-7.0, 7.0};
    for (std::size_t j = 0; j < rows; ++j) {
        for (std::size_t w = 0; w < cols; ++w) {
            buffer[((rows - 1 - j) * cols + (cols - 1 - w)) * 2] = c.n[j][w];
        }
    }
    const std::ptrdiff_t row_stride = -2 * static_cast<std::ptrdiff_t>(cols);
    a.n = ComplexMatrix{std::move(buffer), rows, cols,
                        row_stride,        -2,   rows * cols == 0 ? 0 : 2 * (rows * cols - 1)};
    return a;
}

TEST_P(EdgeStack, PairKernelInEveryLaneOfEveryPack) {
    const BitsCase& c = GetParam();
    for (std::size_t offset = 0; offset < 4; ++offset) {
        const std::size_t total = offset + c.wl.size() + 3;
        const BitsCase e = embedded(c, offset, total, 17u + static_cast<unsigned>(offset));
        const std::vector<MatrixPair> expected = reference_pairs(e);
        const Arrays contiguous(e);
        const Arrays reversed = reversed_and_strided(e);
        for (KernelChoice choice : kernel_choices()) {
            SCOPED_TRACE(choice_name(choice) + ", case at column " + std::to_string(offset));
            expect_same_pairs(kernel_pairs(contiguous, e.theta, choice), expected);
            SCOPED_TRACE("arrays reversed and strided");
            expect_same_pairs(kernel_pairs(reversed, e.theta, choice), expected);
        }
    }
}

// The simulation context, serially for the case alone and on the worker
// pool for the case inside a spectrum of more than 100 wavelengths (its
// columns land somewhere inside the pool's runs).
TEST_P(EdgeStack, SimulationContextSerialAndOnThePool) {
    const BitsCase& c = GetParam();
    for (const BitsCase& e : {c, embedded(c, 61, 203, 5)}) {
        SCOPED_TRACE(std::to_string(e.wl.size()) + " wavelengths");
        const Arrays a(e);
        SimulationContext context(a.d, a.n, a.wl, e.theta, 0.7);
        expect_same_pairs(context.matrix_pairs(), reference_pairs(e));
    }
}

INSTANTIATE_TEST_SUITE_P(EdgeStacks, EdgeStack, testing::ValuesIn(bits_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The phase factors of one layer equal complex_exp of each exponent for
// every combination of special components: the corner cases, ±0 (where exp
// is skipped), exponents that are and are not negatives of each other.
TEST(PhaseFactors, EqualComplexExpOfEachExponent) {
    const double values[] = {0.0,  -0.0,  1.0,    -1.0,  2.5,    -2.5,   inf,  -inf, nan,
                             -nan, 710.0, -746.0, 1e300, -1e300, 5e-324, 1e22, pi,   -pi};
    for (double a : values)
        for (double b : values)
            for (double c : values)
                for (double e : values) {
                    const Complex plus{a, b};
                    const Complex minus{c, e};
                    Complex e_plus;
                    Complex e_minus;
                    phase_factors(plus, minus, e_plus, e_minus);
                    EXPECT_TRUE(same_bits(e_plus, complex_exp(plus)))
                        << "plus (" << a << ", " << b << ") with minus (" << c << ", " << e << ")";
                    EXPECT_TRUE(same_bits(e_minus, complex_exp(minus)))
                        << "minus (" << c << ", " << e << ") with plus (" << a << ", " << b << ")";
                }
}

// Random negated exponents over the whole range of the argument reduction
// (one sincos then serves both factors).
TEST(PhaseFactors, NegatedExponentsShareOneSincos) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-30, 1000);
    for (int i = 0; i < 200000; ++i) {
        const double re = std::ldexp(mantissa(rng), exponent(rng) % 11);
        const double im = std::ldexp(mantissa(rng), exponent(rng));
        const Complex plus{re, im};
        const Complex minus{-re, -im};
        Complex e_plus;
        Complex e_minus;
        phase_factors(plus, minus, e_plus, e_minus);
        ASSERT_TRUE(same_bits(e_plus, complex_exp(plus))) << re << " " << im;
        ASSERT_TRUE(same_bits(e_minus, complex_exp(minus))) << re << " " << im;
    }
}

// A random stack with values drawn to visit every branch often: real,
// absorbing, gain and evanescent media, zeros of both signs, occasional
// zero thicknesses of both signs, angles on both sides of ±π/2. Many rows
// repeat an earlier row, exactly or with one entry's imaginary part negated
// (a signed zero where it is zero) or its real part one unit in the last
// place away; many thicknesses repeat an earlier one.
BitsCase random_case(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> media_count(2, 9), wavelengths(1, 11), pick(0, 9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto index = [&]() -> Complex {
        const double re = pick(rng) == 0 ? 0.0 : 0.05 + 4.0 * unit(rng);
        switch (pick(rng)) {
            case 0:
                return {re, -0.0};
            case 1:
                return {re, -0.05 * unit(rng)};
            case 2:
                return {0.2 * unit(rng), 2.0 + 5.0 * unit(rng)};
            case 3:
            case 4:
                return {re, 0.3 * unit(rng)};
            default:
                return {re, 0.0};
        }
    };
    BitsCase c{"random", -2.0 + 6.0 * unit(rng), {}, {}, {}};
    const int media = media_count(rng);
    const int count = wavelengths(rng);
    const auto earlier = [&](std::size_t before) {
        return std::uniform_int_distribution<std::size_t>(0, before - 1)(rng);
    };
    for (int k = 0; k + 2 < media; ++k) {
        const int choice = pick(rng);
        c.d.push_back(choice == 0           ? 0.0
                      : choice == 1         ? -0.0
                      : choice < 5 && k > 0 ? c.d[earlier(c.d.size())]
                                            : 400.0 * unit(rng));
    }
    for (int w = 0; w < count; ++w) c.wl.push_back(200.0 + 1800.0 * unit(rng));
    for (int j = 0; j < media; ++j) {
        const int choice = pick(rng);
        if (j == 0 || choice > 4) {
            c.n.emplace_back(static_cast<std::size_t>(count));
            for (Complex& value : c.n.back()) value = index();
            continue;
        }
        c.n.push_back(c.n[earlier(c.n.size())]);
        Complex& changed = c.n.back()[earlier(c.wl.size())];
        if (choice == 0) changed.im = -changed.im;
        if (choice == 1) changed.re = std::nextafter(changed.re, 5.0);
    }
    return c;
}

TEST(PairKernel, RandomStacksMatchTheReferenceAtEveryPackWidth) {
    std::mt19937_64 rng(2024);
    for (int trial = 0; trial < 3000; ++trial) {
        const BitsCase c = random_case(rng);
        const std::vector<MatrixPair> expected = reference_pairs(c);
        for (KernelChoice choice : kernel_choices()) {
            const std::vector<MatrixPair> actual = kernel_pairs(c, choice);
            for (std::size_t w = 0; w < expected.size(); ++w) {
                ASSERT_TRUE(same_bits(actual[w], expected[w]))
                    << "trial " << trial << ", " << choice_name(choice) << ", wavelength " << w;
            }
        }
    }
}

TEST(PairKernel, SingleWavelengthEqualsThePackedRange) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const BitsCase c = random_case(rng);
        const std::vector<MatrixPair> packed = kernel_pairs(c, default_kernel_choice());
        const Arrays a(c);
        for (std::size_t w = 0; w < packed.size(); ++w) {
            const MatrixPair single = stack_matrix_pair(a.d, a.n, a.wl, c.theta, w);
            ASSERT_TRUE(same_bits(single, packed[w])) << "trial " << trial << ", wavelength " << w;
        }
    }
}

struct RangeFault {
    const char* name;
    std::size_t media;
    std::size_t columns;
    std::size_t d_length;
    std::size_t wl_length;
    std::size_t begin;
    std::size_t end;
};

class PairKernelIndexFault : public testing::TestWithParam<RangeFault> {};

// A range that stack_transfer_matrix could not evaluate throws the index
// fault before any slot is written, at every pack width.
TEST_P(PairKernelIndexFault, ThrowsBeforeWriting) {
    const RangeFault f = GetParam();
    const RealVector d = real_vector(std::vector<double>(f.d_length, 10.0));
    const RealVector wl = real_vector(std::vector<double>(f.wl_length, 500.0));
    const ComplexMatrix n = complex_matrix(std::vector<std::vector<Complex>>(
        f.media, std::vector<Complex>(f.columns, Complex{1.5, 0.1})));
    for (KernelChoice choice : kernel_choices()) {
        SCOPED_TRACE(choice_name(choice));
        std::vector<MatrixPair> out(f.end - f.begin);
        const TransferMatrix sentinel{{7.0, 7.0}, {7.0, 7.0}, {7.0, 7.0}, {7.0, 7.0}};
        for (MatrixPair& pair : out) pair = {sentinel, sentinel};
        try {
            stack_matrix_pairs(choice, d, n, wl, 0.3, f.begin, f.end, out.data());
            FAIL() << "expected the index fault";
        } catch (const InternalFault& fault) {
            EXPECT_EQ(fault.message(), "ndarray: index out of bounds");
        }
        for (const MatrixPair& pair : out) EXPECT_TRUE(same_bits(pair.s, sentinel));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PairKernelIndexFault,
                         testing::Values(RangeFault{"last_column_missing", 3, 8, 1, 9, 0, 9},
                                         RangeFault{"range_past_wl", 3, 12, 1, 9, 4, 10},
                                         RangeFault{"no_media", 0, 0, 0, 5, 0, 5},
                                         RangeFault{"one_medium", 1, 5, 0, 5, 0, 5},
                                         RangeFault{"d_one_short", 6, 5, 3, 5, 1, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

const BitsCase& bits_case(std::string_view name) {
    for (const BitsCase& c : bits_cases()) {
        if (c.name == name) return c;
    }
    throw std::invalid_argument("no bits case " + std::string(name));
}

// A plan holds stacks of up to StackPlan::max_rows media: the mirror of 1024
// rows is planned, the one of 1025 rows runs unplanned (both give the
// reference bits in the EdgeStacks tests).
TEST(StackPlan, HoldsExactlyMaxRowsMedia) {
    static_assert(StackPlan::max_rows == 1024, "the mirror cases sit on the capacity");
    for (const auto& [name, rows] : {std::pair{"mirror_of_1024_rows", std::size_t{1024}},
                                     std::pair{"mirror_of_1025_rows", std::size_t{1025}}}) {
        const Arrays a(bits_case(name));
        ASSERT_EQ(a.n.rows, rows);
        for (Planning planning : {Planning::automatic, Planning::always}) {
            SCOPED_TRACE(std::string(name) + (planning == Planning::always ? ", always" : ""));
            StackPlan plan;
            EXPECT_EQ(plan.build(a.d, a.n, 0, a.wl.size(), planning), rows <= 1024);
        }
    }
}

// The module's default choice under a cap, as on a processor without the
// wider instruction sets. Every test restores the cap.
class KernelVariantCap : public testing::Test {
protected:
    void TearDown() override { cap_kernel_variant(KernelVariant::avx512vl); }
};

constexpr KernelVariant all_variants[] = {KernelVariant::scalar, KernelVariant::sse2,
                                          KernelVariant::avx2, KernelVariant::avx512vl};

#if defined(__x86_64__)
// Uncapped, or capped above the processor, the module runs the widest
// variant the processor has, by its own feature flags.
TEST_F(KernelVariantCap, UncappedTheWidestVariantOfTheProcessorRuns) {
    const KernelVariant widest =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
            ? KernelVariant::avx512vl
        : __builtin_cpu_supports("avx2") ? KernelVariant::avx2
                                         : KernelVariant::sse2;
    EXPECT_EQ(best_kernel_variant(), widest) << variant_name(best_kernel_variant());
    for (KernelVariant variant : all_variants) {
        EXPECT_EQ(kernel_variant_supported(variant), variant <= widest) << variant_name(variant);
    }
}
#endif

// Capped, the default choice reports and runs no wider variant than the
// cap, on the calling thread and on the pool, with the reference bits.
TEST_F(KernelVariantCap, DefaultChoiceRunsWithinTheCap) {
    const BitsCase e = embedded(bits_case("two_materials_alternating"), 61, 203, 5);
    const std::vector<MatrixPair> expected = reference_pairs(e);
    const Arrays a(e);
    const KernelVariant widest = best_kernel_variant();
    for (KernelVariant cap : all_variants) {
        if (cap > widest) continue;
        SCOPED_TRACE(std::string("cap ") + variant_name(cap));
        cap_kernel_variant(cap);
        EXPECT_EQ(best_kernel_variant(), cap);
        EXPECT_EQ(default_kernel_choice().variant, cap);
        for (KernelVariant variant : all_variants) {
            EXPECT_EQ(kernel_variant_supported(variant), variant <= cap) << variant_name(variant);
        }
        SimulationContext context(a.d, a.n, a.wl, e.theta, 0.7);
        expect_same_pairs(context.matrix_pairs(), expected);
        std::vector<MatrixPair> serial(8);
        stack_matrix_pairs(a.d, a.n, a.wl, e.theta, 60, 68, serial.data());
        expect_same_pairs(serial, std::span(expected).subspan(60, 8));
    }
}

TEST(PairKernel, EmptyRangeReadsNothing) {
    const RealVector none = real_vector({});
    const ComplexMatrix no_media = complex_matrix({});
    EXPECT_NO_THROW(stack_matrix_pairs(none, no_media, none, 0.0, 3, 3, nullptr));
}

// The file holds exactly the rows of the cases and names the maths library
// it was written with: guards against a file that lost lines or a case list
// that grew without new words. With LAMIRO_WRITE_STACK_BITS set it writes
// the file instead, from the reference kernel in this process.
TEST(StoredBitsFile, HasEveryCaseAndNothingElse) {
    if (const char* path = std::getenv("LAMIRO_WRITE_STACK_BITS")) {
        std::ofstream out(path);
        out << maths_line << maths_library() << "\n"
            << "# case wavelength-index, then the words S m00..m11 (re im), P m00..m11,\n"
               "# R at phi = 0, 0.7, pi/2, T at phi = 0, 0.7, pi/2\n";
        for (const BitsCase& c : bits_cases()) {
            const std::vector<Words> words = words_of(c, reference_pairs(c));
            for (std::size_t w = 0; w < words.size(); ++w) {
                out << c.name << ' ' << w;
                for (double value : words[w]) out << ' ' << bits_text(value);
                out << '\n';
            }
        }
        ASSERT_TRUE(out.good()) << "could not write " << path;
        GTEST_SKIP() << "wrote " << path;
    }
    EXPECT_FALSE(stored().maths_library.empty()) << data_file() << " names no maths library";
    std::size_t expected_rows = 0;
    for (const BitsCase& c : bits_cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(stored().cases.count(c.name), 1u);
        EXPECT_EQ(stored().cases.at(c.name).size(), c.wl.size());
        expected_rows += c.wl.size();
    }
    std::size_t rows = 0;
    for (const auto& [name, wavelengths] : stored().cases) rows += wavelengths.size();
    EXPECT_EQ(rows, expected_rows);
}

}  // namespace
}  // namespace lamiro
