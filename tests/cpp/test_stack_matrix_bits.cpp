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
#include <sstream>
#include <string>
#include <vector>

#include "optics/simulation_context.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix.hpp"

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
        single("one_absorbing_layer", 0.5, {100.0}, 500.0,
               {{1.0, 0.0}, {2.0, 0.1}, {1.5, 0.0}}),
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
        single("evanescent_plus_zero", 1.2, {150.0}, 600.0,
               {{1.5, 0.0}, {1.0, 0.0}, {1.5, 0.0}}),
        single("evanescent_minus_zero", 1.2, {150.0}, 600.0,
               {{1.5, 0.0}, {1.0, -0.0}, {1.5, 0.0}}),
        // Total reflection into the exit medium, one lossless layer between.
        single("total_reflection", 1.0, {80.0}, 550.0,
               {{1.5, 0.0}, {1.38, 0.0}, {1.0, 0.0}}),
        // Gain medium (negative imaginary part) and a negative real index.
        single("gain_and_negative_index", 0.7, {120.0, 40.0}, 700.0,
               {{1.0, 0.0}, {2.0, -0.05}, {-1.5, 0.01}, {1.5, 0.0}}),
        // Square root case 2: n·n − B with a zero real part, both signs of im.
        single("sqrt_zero_real_part", 0.0, {50.0, 50.0}, 500.0,
               {{1.0, 0.0}, {1.0, 1.0}, {1.0, -1.0}, {1.0, 0.0}}),
        // Purely imaginary index: n·n = −1 + 0i, square root case 1, re < 0.
        single("imaginary_index", 0.0, {30.0}, 500.0,
               {{1.0, 0.0}, {0.0, 1.0}, {1.5, 0.0}}),
        // Zero thicknesses of both signs and a negative thickness.
        single("zero_and_negative_thickness", 0.6, {0.0, -0.0, -75.0}, 520.0,
               {{1.0, 0.0}, {1.8, 0.02}, {2.2, 0.0}, {1.6, 0.1}, {1.45, 0.0}}),
        // Zero index of a layer and of the exit medium.
        single("zero_index_layer", 0.3, {40.0}, 500.0,
               {{1.0, 0.0}, {0.0, 0.0}, {1.5, 0.0}}),
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
        single("negative_theta", -0.4, {70.0}, 600.0,
               {{1.1, 0.02}, {2.1, 0.05}, {1.5, 0.0}}),
        single("negative_zero_theta", -0.0, {70.0}, 600.0,
               {{1.0, 0.0}, {2.1, 0.05}, {1.5, 0.0}}),
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
        single("thick_absorbing_overflow", 0.1, {2e5}, 500.0,
               {{1.0, 0.0}, {2.0, 0.5}, {1.5, 0.0}}),
        // Infinite and NaN entries of n, d, λ and θ.
        single("infinite_index_layer", 0.3, {50.0}, 500.0,
               {{1.0, 0.0}, {inf, 0.0}, {1.5, 0.0}}),
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
               {{1.0, 0.0},   {2.3, 0.01},  {1.46, 0.0},  {3.9, 0.02},  {0.05, 3.2},
                {1.38, 0.0},  {2.1, 0.0},   {1.62, 0.3},  {4.3, 0.01},  {1.0, 0.0},
                {2.7, 0.7},   {1.46, 1e-4}, {1.333, 0.0}, {1.52, 0.0}}),
    };
    return cases;
}

RealVector real_vector(const std::vector<double>& values) {
    OwnedBuffer<double> buffer = OwnedBuffer<double>::allocate(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) buffer[i] = values[i];
    return RealVector::from_buffer(std::move(buffer));
}

ComplexMatrix complex_matrix(const std::vector<std::vector<Complex>>& media) {
    const std::size_t rows = media.size();
    const std::size_t cols = rows == 0 ? 0 : media[0].size();
    OwnedBuffer<Complex> buffer = OwnedBuffer<Complex>::allocate(rows * cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) buffer[r * cols + c] = media[r][c];
    return ComplexMatrix{std::move(buffer), rows, cols, static_cast<std::ptrdiff_t>(cols), 1, 0};
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
        "S.m00.re", "S.m00.im", "S.m01.re", "S.m01.im", "S.m10.re", "S.m10.im", "S.m11.re",
        "S.m11.im", "P.m00.re", "P.m00.im", "P.m01.re", "P.m01.im", "P.m10.re", "P.m10.im",
        "P.m11.re", "P.m11.im", "R(0)",     "R(0.7)",   "R(pi/2)",  "T(0)",     "T(0.7)",
        "T(pi/2)"};
    return names[i];
}

// Every word of every wavelength equals the stored one (NaN as NaN).
void expect_stored_bits(const BitsCase& c, const std::vector<Words>& actual) {
    const auto found = stored().find(c.name);
    ASSERT_NE(found, stored().end()) << "no stored patterns for " << c.name << " in "
                                     << data_file();
    const auto& rows = found->second;
    ASSERT_EQ(rows.size(), actual.size());
    for (std::size_t w = 0; w < actual.size(); ++w) {
        ASSERT_EQ(rows[w].size(), words_per_wavelength) << "wavelength " << w;
        ASSERT_EQ(actual[w].size(), words_per_wavelength);
        for (std::size_t i = 0; i < words_per_wavelength; ++i) {
            EXPECT_EQ(word_text(actual[w][i]), rows[w][i])
                << c.name << " wavelength " << w << " " << word_name(i) << " = "
                << actual[w][i];
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
