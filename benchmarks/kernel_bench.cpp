// SPDX-License-Identifier: MIT
// Cost of the stack transfer matrix per (layer × wavelength × polarisation)
// for a 20-layer absorbing and a 20-layer lossless stack, single-threaded.
//
//   kernel_bench [wavelengths]   (default 1000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "optics/stack_matrix.hpp"

namespace {

using lamiro::Complex;
using lamiro::ComplexMatrix;
using lamiro::OwnedBuffer;
using lamiro::Polarisation;
using lamiro::RealVector;

constexpr std::size_t layers = 20;
constexpr std::size_t media = layers + 2;

struct Stack {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
};

// Alternating high/low quarter-wave-ish layers between air and glass; the
// absorbing variant gives every layer a small extinction coefficient.
Stack make_stack(std::size_t wavelengths, bool absorbing) {
    OwnedBuffer<double> d = OwnedBuffer<double>::allocate(layers);
    for (std::size_t k = 0; k < layers; ++k) d[k] = k % 2 == 0 ? 60.0 : 95.0;
    OwnedBuffer<double> wl = OwnedBuffer<double>::allocate(wavelengths);
    OwnedBuffer<Complex> n = OwnedBuffer<Complex>::allocate(media * wavelengths);
    for (std::size_t w = 0; w < wavelengths; ++w) {
        const double lambda =
            400.0 + 400.0 * static_cast<double>(w) /
                        static_cast<double>(std::max<std::size_t>(wavelengths, 2) - 1);
        wl[w] = lambda;
        const double dispersion = 0.01 * 550.0 / lambda;
        for (std::size_t j = 0; j < media; ++j) {
            Complex value;
            if (j == 0) {
                value = {1.0, 0.0};
            } else if (j == media - 1) {
                value = {1.52, 0.0};
            } else if (j % 2 == 1) {
                value = {2.3 + dispersion, absorbing ? 0.02 : 0.0};
            } else {
                value = {1.46 + dispersion, absorbing ? 0.001 : 0.0};
            }
            n[j * wavelengths + w] = value;
        }
    }
    return Stack{RealVector::from_buffer(std::move(d)),
                 ComplexMatrix{std::move(n), media, wavelengths,
                               static_cast<std::ptrdiff_t>(wavelengths), 1, 0},
                 RealVector::from_buffer(std::move(wl))};
}

// Best of several timed rounds, each long enough to dwarf the clock.
double nanoseconds_per_unit(const Stack& stack, double theta) {
    using clock = std::chrono::steady_clock;
    const std::size_t wavelengths = stack.wl.size();
    double best = 1e300;
    double checksum = 0.0;
    for (int round = 0; round < 5; ++round) {
        std::size_t calls = 0;
        const auto start = clock::now();
        auto elapsed = clock::duration::zero();
        do {
            for (std::size_t w = 0; w < wavelengths; ++w) {
                for (Polarisation p : {Polarisation::S, Polarisation::P}) {
                    const lamiro::TransferMatrix m =
                        lamiro::stack_transfer_matrix(stack.d, stack.n, stack.wl, theta, w, p);
                    checksum += m.m00.re;
                }
            }
            calls += 2 * wavelengths;
            elapsed = clock::now() - start;
        } while (elapsed < std::chrono::milliseconds(200));
        const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
        best = std::min(best, ns / static_cast<double>(calls * layers));
    }
    if (checksum == 0.12345) std::puts("");  // keeps the results alive
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t wavelengths = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    if (wavelengths == 0) {
        std::fprintf(stderr, "usage: %s [wavelengths > 0]\n", argv[0]);
        return 2;
    }
    const double theta = 0.4;
    std::printf("stack_transfer_matrix, %zu layers, %zu wavelengths, theta %.2f, one thread\n",
                layers, wavelengths, theta);
    for (bool absorbing : {true, false}) {
        const Stack stack = make_stack(wavelengths, absorbing);
        std::printf("  %-9s %7.2f ns per (layer x wavelength x polarisation)\n",
                    absorbing ? "absorbing" : "lossless", nanoseconds_per_unit(stack, theta));
    }
    return 0;
}
