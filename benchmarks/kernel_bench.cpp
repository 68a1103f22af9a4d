// SPDX-License-Identifier: MIT
// Cost of the transfer-matrix kernel per layer and wavelength (both
// polarisations), for a 20-layer absorbing and a 20-layer lossless stack
// between air and glass, on one thread, next to its floor: the C maths
// library calls alone that a layer-wavelength needs, made with the very
// arguments the kernel passes.
//
//   absorbing floor: hypot, atan2, sqrt, one sincos (the medium's square
//                    root), two exp and one sincos (the phase factors)
//   lossless floor:  sqrt and one sincos (below the critical angle the
//                    square root takes its real branch and e^±0 = 1)
//
//   kernel_bench [wavelengths]            times and ratios (default 1000)
//   kernel_bench --once absorbing|lossless [wavelengths [kernel|floor|reference]]
//                                         one evaluation of the spectrum (or
//                                         of its floor, or of S and P by the
//                                         reference kernel), for counting
//                                         instructions:
//
//   valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=/tmp/kernel.cg
//            build/cpp/kernel_bench --once absorbing 1000
//
// The --once mode switches collection on around the kernel call alone and
// prints the number of layer-wavelengths to divide the count by; the
// count is the "Collected" figure that callgrind prints (or the summary
// line of callgrind_annotate /tmp/kernel.cg).
#include <math.h>  // ::sincos

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LAMIRO_HAVE_CALLGRIND 1
#endif

#include "optics/complex.hpp"
#include "optics/layer_phase.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace {

using lamiro::Complex;
using lamiro::ComplexMatrix;
using lamiro::MatrixPair;
using lamiro::OwnedBuffer;
using lamiro::PackWidth;
using lamiro::Polarisation;
using lamiro::RealVector;

constexpr std::size_t layers = 20;
constexpr std::size_t media = layers + 2;
constexpr double theta = 0.4;

struct Stack {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
};

// Alternating high/low layers between air and glass; the absorbing variant
// gives every layer a small extinction coefficient.
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

// The library-call arguments of one layer at one wavelength, formed by the
// kernel's own arithmetic.
struct LayerArguments {
    Complex radicand;  // n·n − B, argument of the complex square root
    Complex plus;      // exponent of e₊
    Complex minus;     // exponent of e₋
};

std::vector<LayerArguments> layer_arguments(const Stack& stack) {
    using namespace lamiro;
    std::vector<LayerArguments> arguments;
    const double s = std::sin(theta);
    for (std::size_t w = 0; w < stack.wl.size(); ++w) {
        const Complex b = square(scale(stack.n(0, w), s));
        for (std::size_t k = 1; k <= layers; ++k) {
            const MediumWave m = medium_wave(stack.n(k, w), b);
            const Complex kappa = div_real(m.n * scale(m.c, two_pi), stack.wl[w]);
            const double h = stack.d[k - 1];
            arguments.push_back(
                {square(m.n) - b, scale(mul_i(kappa), h), scale(mul_neg_i(kappa), h)});
        }
    }
    return arguments;
}

double sink = 0.0;

// hypot, atan2, sqrt, sincos; exp, exp, sincos.
void absorbing_floor(const std::vector<LayerArguments>& arguments) {
    double sum = 0.0;
    for (const LayerArguments& a : arguments) {
        const double r = std::hypot(a.radicand.re, a.radicand.im);
        const double h = std::atan2(a.radicand.im, a.radicand.re) * 0.5;
        double sh;
        double ch;
        ::sincos(h, &sh, &ch);
        double sp;
        double cp;
        ::sincos(a.plus.im, &sp, &cp);
        sum += std::sqrt(r) + sh + ch + std::exp(a.plus.re) + std::exp(a.minus.re) + sp + cp;
    }
    sink += sum;
}

// sqrt (real branch), sincos.
void lossless_floor(const std::vector<LayerArguments>& arguments) {
    double sum = 0.0;
    for (const LayerArguments& a : arguments) {
        double sp;
        double cp;
        ::sincos(a.plus.im, &sp, &cp);
        sum += std::sqrt(a.radicand.re) + sp + cp;
    }
    sink += sum;
}

// Best of five rounds of at least `round_ms` each, in ns per unit.
template <class F>
double best_ns_per_unit(F&& body, double units_per_call, int round_ms = 150) {
    using clock = std::chrono::steady_clock;
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        std::size_t calls = 0;
        const auto start = clock::now();
        auto elapsed = clock::duration::zero();
        do {
            body();
            ++calls;
            elapsed = clock::now() - start;
        } while (elapsed < std::chrono::milliseconds(round_ms));
        const double ns = std::chrono::duration<double, std::nano>(elapsed).count();
        best = std::min(best, ns / (static_cast<double>(calls) * units_per_call));
    }
    return best;
}

const char* width_label(PackWidth width) {
    switch (width) {
        case PackWidth::one:
            return "scalar";
        case PackWidth::two:
            return "SSE2 x2";
        case PackWidth::four:
            return "AVX2 x4";
    }
    return "?";
}

void figures(std::size_t wavelengths) {
    std::printf(
        "Kernel cost per layer x wavelength (both polarisations), %zu layers, %zu "
        "wavelengths, theta %.2f, one thread; widest pack here: %s\n\n",
        layers, wavelengths, theta, width_label(lamiro::widest_pack_width()));
    std::vector<MatrixPair> out(wavelengths);
    const double units = static_cast<double>(layers * wavelengths);
    for (bool absorbing : {true, false}) {
        const Stack stack = make_stack(wavelengths, absorbing);
        const std::vector<LayerArguments> arguments = layer_arguments(stack);
        const double floor_ns = absorbing
                                    ? best_ns_per_unit([&] { absorbing_floor(arguments); }, units)
                                    : best_ns_per_unit([&] { lossless_floor(arguments); }, units);
        const double target = absorbing ? 1.5 : 3.0;
        std::printf("%s layers\n", absorbing ? "absorbing" : "lossless");
        std::printf(
            "  %-34s %7.2f ns\n",
            absorbing ? "floor: hypot atan2 sqrt sincos, 2 exp sincos" : "floor: sqrt, sincos",
            floor_ns);
        double widest_ns = 0.0;
        for (PackWidth width : {PackWidth::one, PackWidth::two, PackWidth::four}) {
            if (width == PackWidth::four && lamiro::widest_pack_width() != PackWidth::four) {
                continue;
            }
            const double ns = best_ns_per_unit(
                [&] {
                    lamiro::stack_matrix_pairs(width, stack.d, stack.n, stack.wl, theta, 0,
                                               wavelengths, out.data());
                },
                units);
            if (width == lamiro::widest_pack_width()) widest_ns = ns;
            std::printf("  kernel, %-26s %7.2f ns  %5.2fx floor\n", width_label(width), ns,
                        ns / floor_ns);
        }
        const double reference_ns = best_ns_per_unit(
            [&] {
                for (std::size_t w = 0; w < wavelengths; ++w) {
                    out[w] = {lamiro::stack_transfer_matrix(stack.d, stack.n, stack.wl, theta, w,
                                                            Polarisation::S),
                              lamiro::stack_transfer_matrix(stack.d, stack.n, stack.wl, theta, w,
                                                            Polarisation::P)};
                }
            },
            units);
        std::printf("  %-34s %7.2f ns  %5.2fx floor\n", "S and P separately (reference)",
                    reference_ns, reference_ns / floor_ns);
        std::printf("  per layer x wavelength x polarisation: kernel %.2f ns, reference %.2f ns\n",
                    widest_ns / 2, reference_ns / 2);
        std::printf("  kernel / floor = %.2f (target <= %.1f): %s\n\n", widest_ns / floor_ns,
                    target, widest_ns / floor_ns <= target ? "met" : "NOT met");
    }
    if (sink == 0.12345) std::puts("");  // keeps the floor's results alive
}

int once(bool absorbing, std::size_t wavelengths, const char* what) {
    const Stack stack = make_stack(wavelengths, absorbing);
    const std::vector<LayerArguments> arguments = layer_arguments(stack);
    std::vector<MatrixPair> out(wavelengths);
    const bool floor = std::strcmp(what, "floor") == 0;
    const bool reference = std::strcmp(what, "reference") == 0;
#ifdef LAMIRO_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    if (floor) {
        absorbing ? absorbing_floor(arguments) : lossless_floor(arguments);
    } else if (reference) {
        for (std::size_t w = 0; w < wavelengths; ++w) {
            out[w] = {lamiro::stack_transfer_matrix(stack.d, stack.n, stack.wl, theta, w,
                                                    Polarisation::S),
                      lamiro::stack_transfer_matrix(stack.d, stack.n, stack.wl, theta, w,
                                                    Polarisation::P)};
        }
    } else {
        lamiro::stack_matrix_pairs(stack.d, stack.n, stack.wl, theta, 0, wavelengths, out.data());
    }
#ifdef LAMIRO_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    std::printf(
        "%s stack, %s: %zu layer x wavelength units (%zu layers, %zu wavelengths), "
        "widest pack %s; divide the collected instruction count by %zu\n",
        absorbing ? "absorbing" : "lossless",
        floor       ? "library-call floor"
        : reference ? "reference S and P"
                    : "kernel",
        layers * wavelengths, layers, wavelengths, width_label(lamiro::widest_pack_width()),
        layers * wavelengths);
    return out[0].s.m00.re == 0.12345 || sink == 0.12345 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
        const bool absorbing = argc > 2 && std::strcmp(argv[2], "absorbing") == 0;
        const bool lossless = argc > 2 && std::strcmp(argv[2], "lossless") == 0;
        const std::size_t wavelengths = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1000;
        const char* what = argc > 4 ? argv[4] : "kernel";
        const bool known = std::strcmp(what, "kernel") == 0 || std::strcmp(what, "floor") == 0 ||
                           std::strcmp(what, "reference") == 0;
        if ((!absorbing && !lossless) || wavelengths == 0 || !known) {
            std::fprintf(stderr,
                         "usage: %s --once absorbing|lossless [wavelengths > 0 "
                         "[kernel|floor|reference]]\n",
                         argv[0]);
            return 2;
        }
        return once(absorbing, wavelengths, what);
    }
    const std::size_t wavelengths = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    if (wavelengths == 0) {
        std::fprintf(stderr, "usage: %s [wavelengths > 0] | --once absorbing|lossless [n]\n",
                     argv[0]);
        return 2;
    }
    figures(wavelengths);
    return 0;
}
