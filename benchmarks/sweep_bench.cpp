// SPDX-License-Identifier: MIT
// Cost of the per-layer functions next to what simulate() computes (the
// pair kernel and both spectra), side by side in one run, one thread, CPU
// time, on 20-layer stacks over 1000 wavelengths:
//
//   random-abs      20 random absorbing layers (nothing repeats)
//   random-lossless 20 random lossless layers
//   two-material    20 layers of two dispersive absorbing materials,
//                   alternating, every thickness different
//   mirror          quarter-wave mirror, 10 identical pairs
//
// gradient = R, T and all 20 ∂R/∂d, ∂T/∂d (target ≤ 3× simulate; finite
// differences cost 21× for the same); absorption = A of every layer
// (target ≤ 2×); needle = ∂R/∂δ and ∂T/∂δ of one candidate at 300 depths.
//
//   sweep_bench [wavelengths]            times and ratios (default 1000)
//   sweep_bench --once STACK WHAT [wavelengths]
//                                        one evaluation for counting
//                                        instructions; WHAT is simulate,
//                                        gradient, absorption or needle:
//
//   valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=/tmp/sweep.cg
//            build/cpp/sweep_bench --once random-abs gradient
//
// The --once mode switches collection on around the evaluation alone; the
// count is the "Collected" figure that callgrind prints.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define LAMIRO_HAVE_CALLGRIND 1
#endif

#include "optics/layer_absorption.hpp"
#include "optics/needle_function.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "optics/thickness_gradient.hpp"

namespace {

using namespace lamiro;

constexpr double theta = 0.4;
constexpr double phi = 0.7;
constexpr std::size_t layers = 20;
constexpr std::size_t needle_depths = 300;

struct Stack {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
};

// Cauchy index and an extinction coefficient falling with λ (in nm).
struct Material {
    double a, b, k;
    Complex at(double lambda) const {
        const double um = lambda / 1000.0;
        return {a + b / (um * um), k * 0.4 / um};
    }
};

constexpr Material high{2.25, 0.035, 2e-3};
constexpr Material low{1.45, 0.0035, 1e-4};

Stack make_stack(std::size_t wavelengths, const std::vector<double>& d,
                 const std::function<Complex(std::size_t, double)>& material) {
    const std::size_t media = d.size() + 2;
    OwnedBuffer<double> thickness = OwnedBuffer<double>::allocate(d.size());
    std::copy(d.begin(), d.end(), thickness.data());
    OwnedBuffer<double> wl = OwnedBuffer<double>::allocate(wavelengths);
    OwnedBuffer<Complex> n = OwnedBuffer<Complex>::allocate(media * wavelengths);
    for (std::size_t w = 0; w < wavelengths; ++w) {
        const double lambda =
            400.0 + 400.0 * static_cast<double>(w) /
                        static_cast<double>(std::max<std::size_t>(wavelengths, 2) - 1);
        wl[w] = lambda;
        for (std::size_t j = 0; j < media; ++j) {
            n[j * wavelengths + w] = j == 0           ? Complex{1.0, 0.0}
                                     : j == media - 1 ? Complex{1.52, 0.0}
                                                      : material(j - 1, lambda);
        }
    }
    return Stack{RealVector::from_buffer(std::move(thickness)),
                 ComplexMatrix{std::move(n), media, wavelengths,
                               static_cast<std::ptrdiff_t>(wavelengths), 1, 0},
                 RealVector::from_buffer(std::move(wl))};
}

Stack random_stack(std::size_t wavelengths, bool absorbing) {
    std::mt19937_64 rng(absorbing ? 11 : 12);
    std::uniform_real_distribution<double> index(1.3, 2.5), loss(1e-4, 0.05), thick(10.0, 250.0);
    std::vector<double> d(layers);
    std::vector<Material> materials(layers);
    for (std::size_t k = 0; k < layers; ++k) {
        d[k] = thick(rng);
        materials[k] = {index(rng), 0.01 * index(rng), absorbing ? loss(rng) : 0.0};
    }
    return make_stack(wavelengths, d, [&](std::size_t k, double lambda) {
        Complex value = materials[k].at(lambda);
        if (!absorbing) value.im = 0.0;
        return value;
    });
}

struct StackKind {
    const char* name;
    Stack (*make)(std::size_t wavelengths);
};

const StackKind stack_kinds[] = {
    {"random-abs", [](std::size_t w) { return random_stack(w, true); }},
    {"random-lossless", [](std::size_t w) { return random_stack(w, false); }},
    {"two-material",
     [](std::size_t w) {
         std::vector<double> d(layers);
         for (std::size_t k = 0; k < layers; ++k) {
             d[k] = 40.0 + 2.5 * static_cast<double>(k) + 0.37 * static_cast<double>(k % 7);
         }
         return make_stack(w, d, [](std::size_t k, double lambda) {
             return (k % 2 == 0 ? high : low).at(lambda);
         });
     }},
    {"mirror",
     [](std::size_t w) {
         std::vector<double> d(layers);
         for (std::size_t k = 0; k < layers; ++k) {
             d[k] = 550.0 / (4.0 * (k % 2 == 0 ? high : low).at(550.0).re);
         }
         return make_stack(w, d, [](std::size_t k, double lambda) {
             return (k % 2 == 0 ? high : low).at(lambda);
         });
     }},
};

// The outputs of every body, allocated once.
struct Work {
    Work(const Stack& s, std::size_t wavelengths)
        : stack(s),
          input{s.d, s.n, s.wl, theta, phi},
          count(wavelengths),
          pairs(wavelengths),
          r(wavelengths),
          t(wavelengths),
          dr(layers * wavelengths),
          dt(layers * wavelengths),
          absorbed(layers * wavelengths),
          needle_dr(needle_depths * wavelengths),
          needle_dt(needle_depths * wavelengths),
          candidate(candidate_row(wavelengths)),
          depths(depth_list(s.d)) {}

    static ComplexMatrix candidate_row(std::size_t wavelengths) {
        OwnedBuffer<Complex> row = OwnedBuffer<Complex>::allocate(wavelengths);
        for (std::size_t w = 0; w < wavelengths; ++w) row[w] = {1.38, 0.0};
        return ComplexMatrix{
            std::move(row), 1, wavelengths, static_cast<std::ptrdiff_t>(wavelengths), 1, 0};
    }

    // needle_depths depths spread over the stack, interfaces included.
    static RealVector depth_list(const RealVector& d) {
        double total = 0.0;
        for (std::size_t k = 0; k < d.size(); ++k) total += d[k];
        OwnedBuffer<double> depths = OwnedBuffer<double>::allocate(needle_depths);
        for (std::size_t z = 0; z < needle_depths; ++z) {
            depths[z] = total * static_cast<double>(z) / static_cast<double>(needle_depths - 1);
        }
        return RealVector::from_buffer(std::move(depths));
    }

    void simulate() {
        stack_matrix_pairs(stack.d, stack.n, stack.wl, theta, 0, count, pairs.data());
        reflectance_values(pairs, phi, r.data());
        transmittance_values(pairs, 0, stack.n, theta, phi, t.data());
    }
    void gradient() {
        thickness_gradient_range(input, 0, count,
                                 {r.data(), t.data(), dr.data(), dt.data(), count});
    }
    void absorption() { absorption_range(input, 0, count, absorbed.data(), count); }
    void needle() {
        needle_range(input, {candidate, depths}, 0, count,
                     {needle_dr.data(), needle_dt.data(), count});
    }

    const Stack& stack;
    SweepStack input;
    std::size_t count;
    std::vector<MatrixPair> pairs;
    std::vector<double> r, t, dr, dt, absorbed, needle_dr, needle_dt;
    ComplexMatrix candidate;
    RealVector depths;
};

double thread_cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

// Best CPU time per call of each body over `rounds` rounds of at least
// `round_ms` each; the bodies take turns within a round, so a change of
// load falls on all of them alike.
std::vector<double> best_ns(const std::vector<std::function<void()>>& bodies, int rounds = 11,
                            double round_ms = 40.0) {
    std::vector<double> best(bodies.size(), 1e300);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            std::size_t calls = 0;
            const double start = thread_cpu_ns();
            double elapsed = 0.0;
            do {
                bodies[i]();
                ++calls;
                elapsed = thread_cpu_ns() - start;
            } while (elapsed < round_ms * 1e6);
            best[i] = std::min(best[i], elapsed / static_cast<double>(calls));
        }
    }
    return best;
}

std::string load_average() {
    double load[3];
    if (getloadavg(load, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

void figures(std::size_t wavelengths) {
    std::printf(
        "Per-layer functions next to simulate() (pair kernel + both spectra), %zu layers x %zu "
        "wavelengths, theta %.1f, phi %.1f, one thread, CPU time, best of 11 interleaved "
        "rounds.\nneedle: one candidate at %zu depths. Finite differences of all %zu "
        "thicknesses cost %zu simulate() calls.\nLoad average before: %s\n\n",
        layers, wavelengths, theta, phi, needle_depths, layers, layers + 1, load_average().c_str());
    std::printf("%-16s %10s %10s %8s %10s %8s %10s %8s\n", "stack", "simulate", "gradient", "ratio",
                "absorption", "ratio", "needle", "ratio");
    bool met = true;
    for (const StackKind& kind : stack_kinds) {
        const Stack stack = kind.make(wavelengths);
        Work work(stack, wavelengths);
        const std::vector<double> ns =
            best_ns({[&] { work.simulate(); }, [&] { work.gradient(); }, [&] { work.absorption(); },
                     [&] { work.needle(); }});
        const double gradient = ns[1] / ns[0];
        const double absorption = ns[2] / ns[0];
        met = met && gradient <= 3.0 && absorption <= 2.0;
        std::printf("%-16s %7.1f us %7.1f us %7.2fx %7.1f us %7.2fx %7.1f us %7.1fx\n", kind.name,
                    ns[0] / 1e3, ns[1] / 1e3, gradient, ns[2] / 1e3, absorption, ns[3] / 1e3,
                    ns[3] / ns[0]);
    }
    std::printf("\nTargets (gradient <= 3x, absorption <= 2x): %s\nLoad average after: %s\n",
                met ? "met" : "NOT met", load_average().c_str());
}

int once(const StackKind& kind, const char* what, std::size_t wavelengths) {
    const Stack stack = kind.make(wavelengths);
    Work work(stack, wavelengths);
    std::function<void()> body;
    if (std::strcmp(what, "simulate") == 0) body = [&] { work.simulate(); };
    if (std::strcmp(what, "gradient") == 0) body = [&] { work.gradient(); };
    if (std::strcmp(what, "absorption") == 0) body = [&] { work.absorption(); };
    if (std::strcmp(what, "needle") == 0) body = [&] { work.needle(); };
    if (!body) return 2;
#ifdef LAMIRO_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    body();
#ifdef LAMIRO_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    std::printf("%s, %s: %zu layers x %zu wavelengths\n", kind.name, what, layers, wavelengths);
    return work.r[0] == 0.12345 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
        const StackKind* kind = nullptr;
        for (const StackKind& k : stack_kinds) {
            if (argc > 2 && std::strcmp(k.name, argv[2]) == 0) kind = &k;
        }
        const std::size_t wavelengths = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1000;
        const int status =
            kind != nullptr && argc > 3 && wavelengths > 0 ? once(*kind, argv[3], wavelengths) : 2;
        if (status == 2) {
            std::fprintf(stderr,
                         "usage: %s --once random-abs|random-lossless|two-material|mirror "
                         "simulate|gradient|absorption|needle [wavelengths > 0]\n",
                         argv[0]);
        }
        return status;
    }
    const std::size_t wavelengths = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    if (wavelengths == 0) {
        std::fprintf(stderr, "usage: %s [wavelengths > 0] | --once STACK WHAT [wavelengths]\n",
                     argv[0]);
        return 2;
    }
    figures(wavelengths);
    return 0;
}
