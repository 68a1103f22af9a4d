// SPDX-License-Identifier: MIT
// What the tests of the per-layer functions share: random stacks of the
// kinds designers meet (lossless, absorbing, metallic, evanescent layers,
// total reflection), lamiro's own R and T of a stack through the pair
// kernel and the spectra, and the Richardson-extrapolated central
// difference that the analytic derivatives are held against.
#pragma once

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "optics/layer_sweep.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "test_support.hpp"

namespace lamiro {

// A stack as plain values: n[j][w] is medium j at wavelength w.
struct PlainStack {
    std::vector<double> d;
    std::vector<double> wl;
    std::vector<std::vector<Complex>> n;
    double theta;
    double phi;
};

// The owned arrays of a plain stack and the sweep input over them.
struct SweepArrays {
    explicit SweepArrays(const PlainStack& s)
        : d(real_vector(s.d)),
          wl(real_vector(s.wl)),
          n(complex_matrix(s.n)),
          theta(s.theta),
          phi(s.phi) {}
    SweepStack input() const { return {d, n, wl, theta, phi}; }
    RealVector d;
    RealVector wl;
    ComplexMatrix n;
    double theta;
    double phi;
};

// A random stack of `layers` layers over `wavelengths` wavelengths, every
// medium slightly dispersive. Lossless media have imaginary part ±0.0; with
// an incidence index up to 1.8 and angles up to 1.3, low-index layers are
// often evanescent and the exit medium is sometimes beyond its critical
// angle; some lossless layers carry −0.0. Absorbing stacks add dielectrics
// with loss and metals.
inline PlainStack random_stack(std::mt19937_64& rng, std::size_t layers, std::size_t wavelengths,
                               bool absorbing, double phi) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto between = [&](double a, double b) { return a + (b - a) * unit(rng); };
    PlainStack s;
    s.theta = between(0.0, 1.3);
    s.phi = phi;
    for (std::size_t w = 0; w < wavelengths; ++w) s.wl.push_back(between(350.0, 1000.0));
    const auto medium = [&](Complex base) {
        std::vector<Complex> row;
        for (double lambda : s.wl) {
            const double dispersion = 1.0 + 0.02 * (550.0 / lambda - 1.0);
            row.push_back({base.re * dispersion, base.im * dispersion});
        }
        return row;
    };
    s.n.push_back(medium({between(1.0, 1.8), 0.0}));
    for (std::size_t k = 0; k < layers; ++k) {
        const double kind = unit(rng);
        Complex index{between(1.0, 1.5), 0.0};  // low index: evanescent at steep angles
        if (kind > 0.3) index = {between(1.3, 2.6), 0.0};
        if (absorbing && kind > 0.6) index = {between(1.3, 2.6), between(0.0, 0.4)};
        if (absorbing && kind > 0.85) index = {between(0.05, 3.0), between(1.0, 4.0)};  // metal
        // A lossless index stored with −0.0 puts an evanescent K on the
        // other side of the branch cut (a wave growing into the layer).
        if (index.im == 0.0 && unit(rng) < 0.2) index.im = -0.0;
        s.n.push_back(medium(index));
        s.d.push_back(between(1.0, 300.0));
    }
    s.n.push_back(
        medium({between(1.3, 2.0), absorbing && unit(rng) < 0.3 ? between(0.0, 0.5) : 0.0}));
    return s;
}

// R and T of wavelength w as simulate() computes them.
inline void lamiro_spectra(const PlainStack& s, std::size_t w, double& r, double& t) {
    const SweepArrays a(s);
    const MatrixPair pair = stack_matrix_pair(a.d, a.n, a.wl, s.theta, w);
    reflectance_values({&pair, 1}, s.phi, &r);
    transmittance_values({&pair, 1}, w, a.n, s.theta, s.phi, &t);
}

// f′(0) from central differences with steps h, h/2, h/4, extrapolated
// twice (error of order h⁶); f returns a pair (R, T).
template <class F>
std::pair<double, double> richardson_derivative(F&& f, double h) {
    double d[3][2];
    for (int i = 0; i < 3; ++i) {
        const double step = h / static_cast<double>(1 << i);
        const auto [r_plus, t_plus] = f(step);
        const auto [r_minus, t_minus] = f(-step);
        d[i][0] = (r_plus - r_minus) / (2.0 * step);
        d[i][1] = (t_plus - t_minus) / (2.0 * step);
    }
    double result[2];
    for (int q = 0; q < 2; ++q) {
        const double first = (4.0 * d[1][q] - d[0][q]) / 3.0;
        const double second = (4.0 * d[2][q] - d[1][q]) / 3.0;
        result[q] = (16.0 * second - first) / 15.0;
    }
    return {result[0], result[1]};
}

// The largest errors seen, printed by the tests as the accuracy figures.
struct ErrorRecord {
    double relative = 0.0;  // where |reference| > 1e-4
    double absolute = 0.0;
    void add(double analytic, double reference) {
        const double error = std::fabs(analytic - reference);
        absolute = std::fmax(absolute, error);
        if (std::fabs(reference) > 1e-4)
            relative = std::fmax(relative, error / std::fabs(reference));
    }
    ~ErrorRecord() {
        std::printf("largest relative error %.2e (|derivative| > 1e-4), absolute %.2e\n", relative,
                    absolute);
    }
};

// The accuracy asked of an analytic derivative against the extrapolated
// difference: relative error at most 1e-7, or absolute at most 1e-12 where
// the derivative is near zero.
inline ::testing::AssertionResult derivative_matches(double analytic, double reference,
                                                     ErrorRecord& record) {
    record.add(analytic, reference);
    const double error = std::fabs(analytic - reference);
    if (error <= 1e-12 || error <= 1e-7 * std::fabs(reference)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "analytic " << analytic << ", differences " << reference
                                         << ", relative error " << error / std::fabs(reference);
}

}  // namespace lamiro
