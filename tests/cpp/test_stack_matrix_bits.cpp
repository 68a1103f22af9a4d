// SPDX-License-Identifier: MIT
// Stored bit patterns of the transfer matrices and spectra for a set of
// stacks that drive every branch of the arithmetic: the three square-root
// cases with both signs of zero, the corner cases of the exponential,
// evanescent layers, total reflection, gain and loss, zero and negative
// thicknesses, zero, huge and tiny indices, λ = 0, negative angles and
// angles beyond π/2, NaN and infinite inputs.
//
// tests/cpp/data/stack_matrix_bits.txt holds, for every case and
// wavelength, the 64-bit words of the S and P matrices and of R and T at
// three mixing angles. They were written by the single-polarisation
// kernel `stack_transfer_matrix` (whose values test_stack_matrix.cpp and
// test_spectra.cpp check against the worked examples) before any faster
// kernel existed. Any fused multiply-add, reordered operation or changed
// library call shows up here as a changed word. A NaN is stored as "nan"
// and compared as "is NaN": its sign and payload are left open.
//
// To rewrite the file (only ever after a deliberate change of the
// arithmetic): LAMIRO_WRITE_STACK_BITS=<path> test_stack_matrix_bits
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "array_builders.hpp"
#include "common/internal_fault.hpp"
#include "optics/simulation_context.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix.hpp"
#include "optics/stack_matrix_pair.hpp"

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

// A stack of one wavelength.
BitsCase single(const char* name, double theta, std::vector<double> d, double wl,
                std::vector<Complex> media) {
    std::vector<std::vector<Complex>> n;
    for (Complex m : media) n.push_back({m});
    return BitsCase{name, theta, std::move(d), {wl}, std::move(n)};
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
    const RealVector d = real_vector(c.d);
    const RealVector wl = real_vector(c.wl);
    const ComplexMatrix n = complex_matrix(c.n);
    std::vector<MatrixPair> pairs(c.wl.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        pairs[w] = {stack_transfer_matrix(d, n, wl, c.theta, w, Polarisation::S),
                    stack_transfer_matrix(d, n, wl, c.theta, w, Polarisation::P)};
    }
    return pairs;
}

std::string word_text(double value) {
    if (std::isnan(value)) return "nan";
    char text[17];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

std::filesystem::path data_file() {
    return std::filesystem::path(__FILE__).parent_path() / "data" / "stack_matrix_bits.txt";
}

// case name → the stored words of each wavelength, as text.
using Stored = std::map<std::string, std::vector<std::vector<std::string>>>;

const Stored& stored() {
    static const Stored table = [] {
        Stored result;
        std::ifstream in(data_file());
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string name;
            std::size_t w = 0;
            fields >> name >> w;
            std::vector<std::string> words;
            for (std::string word; fields >> word;) words.push_back(word);
            auto& rows = result[name];
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

// Every word of every wavelength equals the stored one (NaN as NaN).
void expect_stored_bits(const BitsCase& c, const std::vector<Words>& actual) {
    const auto found = stored().find(c.name);
    ASSERT_NE(found, stored().end())
        << "no stored patterns for " << c.name << " in " << data_file();
    const auto& rows = found->second;
    ASSERT_EQ(rows.size(), actual.size());
    for (std::size_t w = 0; w < actual.size(); ++w) {
        ASSERT_EQ(rows[w].size(), words_per_wavelength) << "wavelength " << w;
        ASSERT_EQ(actual[w].size(), words_per_wavelength);
        for (std::size_t i = 0; i < words_per_wavelength; ++i) {
            EXPECT_EQ(word_text(actual[w][i]), rows[w][i])
                << c.name << " wavelength " << w << " " << word_name(i) << " = " << actual[w][i];
        }
    }
}

class StoredBits : public testing::TestWithParam<BitsCase> {};

TEST_P(StoredBits, ReferenceKernel) {
    const BitsCase& c = GetParam();
    const std::vector<MatrixPair> pairs = reference_pairs(c);
    expect_stored_bits(c, words_of(c, pairs));
}

INSTANTIATE_TEST_SUITE_P(EdgeStacks, StoredBits, testing::ValuesIn(bits_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Pack widths this processor runs: one (the scalar tail), two (SSE2) and,
// with AVX2, four.
std::vector<PackWidth> pack_widths() {
    std::vector<PackWidth> widths{PackWidth::one, PackWidth::two};
    if (widest_pack_width() == PackWidth::four) widths.push_back(PackWidth::four);
    return widths;
}

std::string width_name(PackWidth width) {
    return "pack width " + std::to_string(static_cast<int>(width));
}

std::vector<MatrixPair> kernel_pairs(const BitsCase& c, PackWidth width) {
    const RealVector d = real_vector(c.d);
    const RealVector wl = real_vector(c.wl);
    const ComplexMatrix n = complex_matrix(c.n);
    std::vector<MatrixPair> pairs(c.wl.size());
    stack_matrix_pairs(width, d, n, wl, c.theta, 0, pairs.size(), pairs.data());
    return pairs;
}

TEST_P(StoredBits, PairKernelAtEveryPackWidth) {
    const BitsCase& c = GetParam();
    for (PackWidth width : pack_widths()) {
        SCOPED_TRACE(width_name(width));
        expect_stored_bits(c, words_of(c, kernel_pairs(c, width)));
    }
}

TEST_P(StoredBits, SimulationContextSerial) {
    const BitsCase& c = GetParam();
    const RealVector d = real_vector(c.d);
    const ComplexMatrix n = complex_matrix(c.n);
    const RealVector wl = real_vector(c.wl);
    SimulationContext context(d, n, wl, c.theta, 0.0);
    const std::span<const MatrixPair> pairs = context.matrix_pairs();
    expect_stored_bits(c, words_of(c, pairs));
}

// The case's wavelengths placed at column `offset` of a spectrum of `total`
// wavelengths whose other columns hold random sound media, so that every
// wavelength of the case passes through every lane of a pack.
BitsCase embedded(const BitsCase& c, std::size_t offset, std::size_t total, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> index(1.0, 3.0), loss(0.0, 0.3), lambda(300.0, 900.0);
    BitsCase e{c.name, c.theta, c.d, std::vector<double>(total), {}};
    e.n.assign(c.n.size(), std::vector<Complex>(total));
    for (std::size_t w = 0; w < total; ++w) {
        const bool inside = w >= offset && w - offset < c.wl.size();
        e.wl[w] = inside ? c.wl[w - offset] : lambda(rng);
        for (std::size_t j = 0; j < c.n.size(); ++j) {
            e.n[j][w] = inside ? c.n[j][w - offset] : Complex{index(rng), loss(rng)};
        }
    }
    return e;
}

// Words of wavelengths offset … offset+count−1.
std::vector<Words> columns(const std::vector<Words>& words, std::size_t offset, std::size_t count) {
    const auto first = words.begin() + static_cast<std::ptrdiff_t>(offset);
    return std::vector<Words>(first, first + static_cast<std::ptrdiff_t>(count));
}

void expect_same_words(const std::vector<Words>& actual, const std::vector<Words>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t w = 0; w < actual.size(); ++w) {
        for (std::size_t i = 0; i < words_per_wavelength; ++i) {
            EXPECT_EQ(word_text(actual[w][i]), word_text(expected[w][i]))
                << "wavelength " << w << " " << word_name(i);
        }
    }
}

TEST_P(StoredBits, EveryLaneOfEveryPack) {
    const BitsCase& c = GetParam();
    for (std::size_t offset = 0; offset < 4; ++offset) {
        const std::size_t total = offset + c.wl.size() + 3;
        const BitsCase e = embedded(c, offset, total, 17u + static_cast<unsigned>(offset));
        const std::vector<Words> expected = words_of(e, reference_pairs(e));
        for (PackWidth width : pack_widths()) {
            SCOPED_TRACE(width_name(width) + ", case at column " + std::to_string(offset));
            const std::vector<Words> actual = words_of(e, kernel_pairs(e, width));
            expect_same_words(actual, expected);
            expect_stored_bits(c, columns(actual, offset, c.wl.size()));
        }
    }
}

// On the worker pool: the case sits inside a spectrum of more than 100
// wavelengths, so its columns land somewhere inside the pool's runs.
TEST_P(StoredBits, SimulationContextOnThePool) {
    const BitsCase& c = GetParam();
    const std::size_t offset = 61;
    const BitsCase e = embedded(c, offset, 203, 5);
    const RealVector d = real_vector(e.d);
    const ComplexMatrix n = complex_matrix(e.n);
    const RealVector wl = real_vector(e.wl);
    SimulationContext context(d, n, wl, e.theta, 0.0);
    const std::vector<Words> actual = words_of(e, context.matrix_pairs());
    expect_same_words(actual, words_of(e, reference_pairs(e)));
    expect_stored_bits(c, columns(actual, offset, c.wl.size()));
}

bool same_word(double a, double b) {
    return std::isnan(a) ? std::isnan(b)
                         : std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_complex(Complex a, Complex b) { return same_word(a.re, b.re) && same_word(a.im, b.im); }

bool same_matrix(const TransferMatrix& a, const TransferMatrix& b) {
    return same_complex(a.m00, b.m00) && same_complex(a.m01, b.m01) && same_complex(a.m10, b.m10) &&
           same_complex(a.m11, b.m11);
}

// The phase factors of one layer equal complex_exp of each exponent for
// every combination of special components: the corner cases, ±0 (where exp
// is skipped), exponents that are and are not negatives of each other.
TEST(PhaseFactors, EqualComplexExpOfEachExponent) {
    const double values[] = {0.0,  -0.0,  1.0,    -1.0,  2.5,    -2.5,   inf,  -inf, nan,
                             -nan, 710.0, -746.0, 1e300, -1e300, 5e-324, 1e22, pi,   -pi};
    std::size_t checked = 0;
    for (double a : values)
        for (double b : values)
            for (double c : values)
                for (double e : values) {
                    const Complex plus{a, b};
                    const Complex minus{c, e};
                    Complex e_plus;
                    Complex e_minus;
                    phase_factors(plus, minus, e_plus, e_minus);
                    EXPECT_TRUE(same_complex(e_plus, complex_exp(plus)))
                        << "plus (" << a << ", " << b << ") with minus (" << c << ", " << e << ")";
                    EXPECT_TRUE(same_complex(e_minus, complex_exp(minus)))
                        << "minus (" << c << ", " << e << ") with plus (" << a << ", " << b << ")";
                    ++checked;
                }
    const std::size_t v = std::size(values);
    EXPECT_EQ(checked, v * v * v * v);
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
        ASSERT_TRUE(same_complex(e_plus, complex_exp(plus))) << re << " " << im;
        ASSERT_TRUE(same_complex(e_minus, complex_exp(minus))) << re << " " << im;
    }
}

// A random stack with values drawn to visit every branch often: real,
// absorbing, gain and evanescent media, zeros of both signs, occasional
// zero thicknesses, angles on both sides of ±π/2.
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
    for (int k = 0; k + 2 < media; ++k) c.d.push_back(pick(rng) == 0 ? 0.0 : 400.0 * unit(rng));
    for (int w = 0; w < count; ++w) c.wl.push_back(200.0 + 1800.0 * unit(rng));
    c.n.assign(static_cast<std::size_t>(media),
               std::vector<Complex>(static_cast<std::size_t>(count)));
    for (auto& row : c.n)
        for (Complex& value : row) value = index();
    return c;
}

TEST(PairKernel, RandomStacksMatchTheReferenceAtEveryPackWidth) {
    std::mt19937_64 rng(2024);
    std::size_t matrices = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const BitsCase c = random_case(rng);
        const std::vector<MatrixPair> expected = reference_pairs(c);
        for (PackWidth width : pack_widths()) {
            const std::vector<MatrixPair> actual = kernel_pairs(c, width);
            for (std::size_t w = 0; w < expected.size(); ++w) {
                ASSERT_TRUE(same_matrix(actual[w].s, expected[w].s) &&
                            same_matrix(actual[w].p, expected[w].p))
                    << "trial " << trial << ", " << width_name(width) << ", wavelength " << w;
                matrices += 2;
            }
        }
    }
    EXPECT_GT(matrices, 50000u);
}

TEST(PairKernel, SingleWavelengthEqualsThePackedRange) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const BitsCase c = random_case(rng);
        const std::vector<MatrixPair> packed = kernel_pairs(c, widest_pack_width());
        const RealVector d = real_vector(c.d);
        const RealVector wl = real_vector(c.wl);
        const ComplexMatrix n = complex_matrix(c.n);
        for (std::size_t w = 0; w < packed.size(); ++w) {
            const MatrixPair single = stack_matrix_pair(d, n, wl, c.theta, w);
            ASSERT_TRUE(same_matrix(single.s, packed[w].s) && same_matrix(single.p, packed[w].p))
                << "trial " << trial << ", wavelength " << w;
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
    for (PackWidth width : pack_widths()) {
        SCOPED_TRACE(width_name(width));
        std::vector<MatrixPair> out(f.end - f.begin);
        const TransferMatrix sentinel{{7.0, 7.0}, {7.0, 7.0}, {7.0, 7.0}, {7.0, 7.0}};
        for (MatrixPair& pair : out) pair = {sentinel, sentinel};
        try {
            stack_matrix_pairs(width, d, n, wl, 0.3, f.begin, f.end, out.data());
            FAIL() << "expected the index fault";
        } catch (const InternalFault& fault) {
            EXPECT_EQ(fault.message(), "ndarray: index out of bounds");
        }
        for (const MatrixPair& pair : out) EXPECT_TRUE(same_matrix(pair.s, sentinel));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PairKernelIndexFault,
                         testing::Values(RangeFault{"last_column_missing", 3, 8, 1, 9, 0, 9},
                                         RangeFault{"range_past_wl", 3, 12, 1, 9, 4, 10},
                                         RangeFault{"no_media", 0, 0, 0, 5, 0, 5},
                                         RangeFault{"one_medium", 1, 5, 0, 5, 0, 5},
                                         RangeFault{"d_one_short", 6, 5, 3, 5, 1, 5}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PairKernel, EmptyRangeReadsNothing) {
    const RealVector none = real_vector({});
    const ComplexMatrix no_media = complex_matrix({});
    EXPECT_NO_THROW(stack_matrix_pairs(none, no_media, none, 0.0, 3, 3, nullptr));
}

// The file holds exactly the rows of the cases: guards against a file that
// lost lines or a case list that grew without new patterns. With
// LAMIRO_WRITE_STACK_BITS set it writes the file instead.
TEST(StoredBitsFile, HasEveryCaseAndNothingElse) {
    if (const char* path = std::getenv("LAMIRO_WRITE_STACK_BITS")) {
        std::ofstream out(path);
        out << "# case wavelength-index, then the words S m00..m11 (re im), P m00..m11,\n"
               "# R at phi = 0, 0.7, pi/2, T at phi = 0, 0.7, pi/2\n";
        for (const BitsCase& c : bits_cases()) {
            const std::vector<Words> words = words_of(c, reference_pairs(c));
            for (std::size_t w = 0; w < words.size(); ++w) {
                out << c.name << ' ' << w;
                for (double value : words[w]) out << ' ' << word_text(value);
                out << '\n';
            }
        }
        ASSERT_TRUE(out.good()) << "could not write " << path;
        GTEST_SKIP() << "wrote " << path;
    }
    std::size_t expected_rows = 0;
    for (const BitsCase& c : bits_cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(stored().count(c.name), 1u);
        EXPECT_EQ(stored().at(c.name).size(), c.wl.size());
        expected_rows += c.wl.size();
    }
    std::size_t rows = 0;
    for (const auto& [name, wavelengths] : stored()) rows += wavelengths.size();
    EXPECT_EQ(rows, expected_rows);
}

}  // namespace
}  // namespace lamiro
