// SPDX-License-Identifier: MIT
// Cost of the transfer-matrix kernel per layer and wavelength (both
// polarisations, one thread, CPU time) on the stacks designers build, next
// to its floor: the C maths library calls alone that the kernel makes, with
// the very arguments it passes them.
//
//   two-material   40 layers of two dispersive absorbing materials,
//                  alternating, every thickness different
//   mirror         quarter-wave mirror, 20 identical pairs of the same two
//   three-material 60 layers of three dispersive absorbing materials,
//                  every thickness different
//   random-abs     40 random absorbing layers (nothing repeats)
//   random-lossless 40 random lossless layers (nothing repeats)
//
// "today" is the kernel without its plan, in packs of four (AVX2): every
// layer computed in full. "planned" is what the module runs: the widest
// variant this processor supports, computing repeated media, interfaces and
// phase factors once per pack, or, where nothing repeats, the unplanned
// AVX2 code again. Each floor counts the calls of its kernel: the planned
// kernel makes fewer.
//
//   kernel_bench [wavelengths]            times and ratios (default 1000)
//   kernel_bench --once STACK WHAT [wavelengths]
//                                         one evaluation for counting
//                                         instructions; WHAT is today,
//                                         planned, floor-today or
//                                         floor-planned:
//
//   valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file=/tmp/kernel.cg
//            build/cpp/kernel_bench --once mirror planned
//
// The --once mode switches collection on around the evaluation alone and
// prints the number of layer-wavelengths to divide the count by; the count
// is the "Collected" figure that callgrind prints. Valgrind does not run
// AVX-512 code and hides it from the processor check, so under callgrind
// "planned" runs the AVX2 variant.
#include <math.h>  // ::sincos
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
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

#include "optics/complex.hpp"
#include "optics/layer_phase.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "optics/stack_plan.hpp"

namespace {

using namespace lamiro;

constexpr double theta = 0.4;

struct Stack {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
    std::size_t layers() const { return n.rows - 2; }
};

// A dispersive absorbing material: Cauchy index and an extinction
// coefficient that falls with the wavelength (λ in nm).
struct Material {
    double a, b, k;
    Complex at(double lambda) const {
        const double um = lambda / 1000.0;
        return {a + b / (um * um), k * 0.4 / um};
    }
};

constexpr Material high{2.25, 0.035, 2e-3};    // titania-like
constexpr Material middle{1.62, 0.008, 5e-4};  // alumina-like
constexpr Material low{1.45, 0.0035, 1e-4};    // silica-like
constexpr Complex air{1.0, 0.0};
constexpr Complex glass{1.52, 0.0};

// A stack between air and glass whose layer k is of material
// `material(k, λ)` with thickness d[k].
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
            n[j * wavelengths + w] = j == 0           ? air
                                     : j == media - 1 ? glass
                                                      : material(j - 1, lambda);
        }
    }
    return Stack{RealVector::from_buffer(std::move(thickness)),
                 ComplexMatrix{std::move(n), media, wavelengths,
                               static_cast<std::ptrdiff_t>(wavelengths), 1, 0},
                 RealVector::from_buffer(std::move(wl))};
}

struct StackKind {
    const char* name;
    double target;  // planned / today at most
    Stack (*make)(std::size_t wavelengths);
};

std::vector<double> distinct_thicknesses(std::size_t layers, double from, double step) {
    std::vector<double> d(layers);
    for (std::size_t k = 0; k < layers; ++k) {
        d[k] = from + step * static_cast<double>(k) + 0.37 * static_cast<double>(k % 7);
    }
    return d;
}

Stack random_stack(std::size_t wavelengths, bool absorbing) {
    std::mt19937_64 rng(absorbing ? 11 : 12);
    std::uniform_real_distribution<double> index(1.3, 2.5), loss(1e-4, 0.05), thick(10.0, 250.0);
    std::vector<double> d(40);
    std::vector<Material> materials(40);
    for (std::size_t k = 0; k < 40; ++k) {
        d[k] = thick(rng);
        materials[k] = {index(rng), 0.01 * index(rng), absorbing ? loss(rng) : 0.0};
    }
    return make_stack(wavelengths, d, [&](std::size_t k, double lambda) {
        Complex value = materials[k].at(lambda);
        if (!absorbing) value.im = 0.0;
        return value;
    });
}

const StackKind stack_kinds[] = {
    {"two-material", 0.5,
     [](std::size_t wavelengths) {
         return make_stack(
             wavelengths, distinct_thicknesses(40, 40.0, 2.5),
             [](std::size_t k, double lambda) { return (k % 2 == 0 ? high : low).at(lambda); });
     }},
    {"mirror", 0.35,
     [](std::size_t wavelengths) {
         std::vector<double> d(40);
         for (std::size_t k = 0; k < 40; ++k) {
             d[k] = 550.0 / (4.0 * (k % 2 == 0 ? high : low).at(550.0).re);
         }
         return make_stack(wavelengths, d, [](std::size_t k, double lambda) {
             return (k % 2 == 0 ? high : low).at(lambda);
         });
     }},
    {"three-material", 0.55,
     [](std::size_t wavelengths) {
         return make_stack(wavelengths, distinct_thicknesses(60, 20.0, 3.0),
                           [](std::size_t k, double lambda) {
                               const Material* cycle[] = {&high, &middle, &low, &middle};
                               return cycle[k % 4]->at(lambda);
                           });
     }},
    {"random-abs", 1.0, [](std::size_t wavelengths) { return random_stack(wavelengths, true); }},
    {"random-lossless", 1.0,
     [](std::size_t wavelengths) { return random_stack(wavelengths, false); }},
};

const StackKind* find_kind(const char* name) {
    for (const StackKind& kind : stack_kinds) {
        if (std::strcmp(kind.name, name) == 0) return &kind;
    }
    return nullptr;
}

// The C library calls a kernel makes for a stack, with their arguments:
// per wavelength, the complex square root of every medium it computes
// (hypot, atan2, sqrt, sincos, or one sqrt on a branch) and the phase
// factors of every layer it computes (sincos, a second one unless the
// exponents are negatives or equal, exp unless the argument is zero).
struct LibraryCalls {
    std::vector<std::pair<double, double>> hypot, atan2;
    std::vector<double> sqrt, sincos, exp;
    std::size_t count() const {
        return hypot.size() + atan2.size() + sqrt.size() + sincos.size() + exp.size();
    }
};

void square_root_calls(Complex z, LibraryCalls& calls) {
    if (z.im == 0.0) {
        calls.sqrt.push_back(std::signbit(z.re) ? -z.re : z.re);
    } else if (z.re == 0.0) {
        calls.sqrt.push_back(std::fabs(z.im) * 0.5);
    } else {
        calls.hypot.push_back({z.re, z.im});
        calls.atan2.push_back({z.im, z.re});
        calls.sqrt.push_back(std::hypot(z.re, z.im));
        calls.sincos.push_back(std::atan2(z.im, z.re) * 0.5);
    }
}

void phase_calls(Complex plus, Complex minus, LibraryCalls& calls) {
    calls.sincos.push_back(plus.im);
    const std::uint64_t p = std::bit_cast<std::uint64_t>(plus.im);
    const std::uint64_t m = std::bit_cast<std::uint64_t>(minus.im);
    if (m != (p ^ (std::uint64_t{1} << 63)) && m != p) calls.sincos.push_back(minus.im);
    if (plus.re != 0.0) calls.exp.push_back(plus.re);
    if (minus.re != 0.0) calls.exp.push_back(minus.re);
}

// The calls of the unplanned kernel (plan == nullptr) or of the kernel
// following `plan`: each distinct medium and each shared phase once.
LibraryCalls library_calls(const Stack& stack, const StackPlan* plan) {
    LibraryCalls calls;
    const std::size_t media = stack.n.rows;
    for (std::size_t w = 0; w < stack.wl.size(); ++w) {
        const Complex b = square(scale(stack.n(0, w), std::sin(theta)));
        std::vector<bool> phase_done(plan ? plan->shared_phase_count() : 0, false);
        for (std::size_t j = 0; j < media; ++j) {
            const bool first = !plan || plan->representative_row(plan->row(j).medium) == j;
            const Complex n = stack.n(j, w);
            if (first) square_root_calls(square(n) - b, calls);
            if (j == 0 || j + 1 == media) continue;
            if (plan && plan->row(j).phase != StackPlan::not_kept) {
                if (phase_done[plan->row(j).phase]) continue;
                phase_done[plan->row(j).phase] = true;
            }
            const MediumWave m = medium_wave(n, b);
            const Complex kappa = div_real(m.n * scale(m.c, two_pi), stack.wl[w]);
            const double h = stack.d[j - 1];
            phase_calls(scale(mul_i(kappa), h), scale(mul_neg_i(kappa), h), calls);
        }
    }
    return calls;
}

double sink = 0.0;

void make_calls(const LibraryCalls& calls) {
    double sum = 0.0;
    for (auto [x, y] : calls.hypot) sum += std::hypot(x, y);
    for (auto [y, x] : calls.atan2) sum += std::atan2(y, x);
    for (double x : calls.sqrt) sum += std::sqrt(x);
    for (double x : calls.exp) sum += std::exp(x);
    for (double x : calls.sincos) {
        double s;
        double c;
        ::sincos(x, &s, &c);
        sum += s + c;
    }
    sink += sum;
}

constexpr KernelChoice today{KernelVariant::avx2, Planning::off};

double thread_cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

// Best CPU time per unit of each body over `rounds` rounds of at least
// `round_ms` each. The bodies take turns within a round, so a change of
// load on a shared machine falls on all of them alike.
std::vector<double> best_ns_per_unit(const std::vector<std::function<void()>>& bodies, double units,
                                     int rounds = 15, double round_ms = 30.0) {
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
            best[i] = std::min(best[i], elapsed / (static_cast<double>(calls) * units));
        }
    }
    return best;
}

const char* variant_label(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::scalar:
            return "scalar";
        case KernelVariant::sse2:
            return "SSE2";
        case KernelVariant::avx2:
            return "AVX2";
        case KernelVariant::avx512vl:
            return "AVX-512VL";
    }
    return "?";
}

std::string load_average() {
    double load[3];
    if (getloadavg(load, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

void figures(std::size_t wavelengths) {
    const KernelChoice planned = default_kernel_choice();
    std::printf(
        "Kernel cost per layer x wavelength (both polarisations), %zu wavelengths, theta %.2f, "
        "CPU time of one thread, best of 15 interleaved rounds.\n"
        "today = unplanned AVX2 x4; planned = the module's choice here: %s x%zu where the plan "
        "pays, unplanned AVX2 x4 where it does not.\nLoad average before: %s\n\n",
        wavelengths, theta, variant_label(planned.variant), pack_lanes(planned.variant),
        load_average().c_str());
    std::printf("%-16s %6s %11s %9s %9s %9s %9s %8s %7s\n", "stack", "layers", "library", "floor",
                "today", "floor", "planned", "planned/", "target");
    std::printf("%-16s %6s %11s %9s %9s %9s %9s %8s %7s\n", "", "", "calls/wl", "today", "",
                "planned", "", "today", "");
    std::vector<MatrixPair> out(wavelengths);
    for (const StackKind& kind : stack_kinds) {
        const Stack stack = kind.make(wavelengths);
        StackPlan plan;
        const bool plans = plan.build(stack.d, stack.n, 0, wavelengths, Planning::automatic);
        const LibraryCalls today_calls = library_calls(stack, nullptr);
        const LibraryCalls planned_calls = library_calls(stack, plans ? &plan : nullptr);
        const auto run = [&](KernelChoice choice) {
            return [&, choice] {
                stack_matrix_pairs(choice, stack.d, stack.n, stack.wl, theta, 0, wavelengths,
                                   out.data());
            };
        };
        const std::vector<double> ns =
            best_ns_per_unit({[&] { make_calls(today_calls); }, run(today),
                              [&] { make_calls(planned_calls); }, run(planned)},
                             static_cast<double>(stack.layers() * wavelengths));
        // Judged at the two decimals printed, the precision of the targets:
        // where nothing repeats both run the same unplanned code, and their
        // times differ by the noise of the measurement.
        const double ratio = std::round(100.0 * ns[3] / ns[1]) / 100.0;
        const std::string calls = std::to_string(today_calls.count() / wavelengths) + " -> " +
                                  std::to_string(planned_calls.count() / wavelengths);
        std::printf("%-16s %6zu %11s %6.2f ns %6.2f ns %6.2f ns %6.2f ns %7.2fx %6.2fx %s\n",
                    kind.name, stack.layers(), calls.c_str(), ns[0], ns[1], ns[2], ns[3], ratio,
                    kind.target, ratio <= kind.target ? "met" : "NOT met");
    }
    std::printf("\nLoad average after: %s\n", load_average().c_str());
    if (sink == 0.12345) std::puts("");  // keeps the floors' results alive
}

// Every variant with and without its plan, for choosing among them.
void variants(std::size_t wavelengths) {
    std::printf("ns per layer x wavelength of each variant (load %s)\n%-16s",
                load_average().c_str(), "stack");
    std::vector<KernelChoice> choices;
    for (KernelVariant variant :
         {KernelVariant::sse2, KernelVariant::avx2, KernelVariant::avx512vl}) {
        if (!kernel_variant_supported(variant)) continue;
        for (Planning planning : {Planning::off, Planning::automatic}) {
            // Unplanned, the AVX-512VL variant runs the AVX2 code.
            if (variant == KernelVariant::avx512vl && planning == Planning::off) continue;
            choices.push_back({variant, planning});
            std::printf(" %9s%s", variant_label(variant), planning == Planning::off ? "  " : "+p");
        }
    }
    std::printf("\n");
    std::vector<MatrixPair> out(wavelengths);
    for (const StackKind& kind : stack_kinds) {
        const Stack stack = kind.make(wavelengths);
        std::vector<std::function<void()>> bodies;
        for (KernelChoice choice : choices) {
            bodies.push_back([&, choice] {
                stack_matrix_pairs(choice, stack.d, stack.n, stack.wl, theta, 0, wavelengths,
                                   out.data());
            });
        }
        const std::vector<double> ns =
            best_ns_per_unit(bodies, static_cast<double>(stack.layers() * wavelengths), 5);
        std::printf("%-16s", kind.name);
        for (double value : ns) std::printf(" %8.2f  ", value);
        std::printf("\n");
    }
}

int once(const StackKind& kind, const char* what, std::size_t wavelengths) {
    const Stack stack = kind.make(wavelengths);
    StackPlan plan;
    const bool plans = plan.build(stack.d, stack.n, 0, wavelengths, Planning::automatic);
    const bool floor_today = std::strcmp(what, "floor-today") == 0;
    const bool floor_planned = std::strcmp(what, "floor-planned") == 0;
    const bool planned = floor_planned || std::strcmp(what, "planned") == 0;
    const LibraryCalls calls = library_calls(stack, planned && plans ? &plan : nullptr);
    const KernelChoice choice = planned ? default_kernel_choice() : today;
    std::vector<MatrixPair> out(wavelengths);
#ifdef LAMIRO_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    if (floor_today || floor_planned) {
        make_calls(calls);
    } else {
        stack_matrix_pairs(choice, stack.d, stack.n, stack.wl, theta, 0, wavelengths, out.data());
    }
#ifdef LAMIRO_HAVE_CALLGRIND
    CALLGRIND_TOGGLE_COLLECT;
#endif
    std::printf(
        "%s, %s (%s): %zu layer x wavelength units, %zu library calls; divide the collected "
        "instruction count by %zu\n",
        kind.name, what, variant_label(choice.variant), stack.layers() * wavelengths, calls.count(),
        stack.layers() * wavelengths);
    return out[0].s.m00.re == 0.12345 || sink == 0.12345 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--once") == 0) {
        const StackKind* kind = argc > 2 ? find_kind(argv[2]) : nullptr;
        const char* what = argc > 3 ? argv[3] : "";
        const bool known = std::strcmp(what, "today") == 0 || std::strcmp(what, "planned") == 0 ||
                           std::strcmp(what, "floor-today") == 0 ||
                           std::strcmp(what, "floor-planned") == 0;
        const std::size_t wavelengths = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1000;
        if (kind == nullptr || !known || wavelengths == 0) {
            std::fprintf(stderr,
                         "usage: %s --once two-material|mirror|three-material|random-abs|"
                         "random-lossless today|planned|floor-today|floor-planned "
                         "[wavelengths > 0]\n",
                         argv[0]);
            return 2;
        }
        return once(*kind, what, wavelengths);
    }
    const bool all_variants = argc > 1 && std::strcmp(argv[1], "--variants") == 0;
    const int count_arg = all_variants ? 2 : 1;
    const std::size_t wavelengths =
        argc > count_arg ? std::strtoul(argv[count_arg], nullptr, 10) : 1000;
    if (wavelengths == 0) {
        std::fprintf(stderr, "usage: %s [--variants] [wavelengths > 0] | --once STACK WHAT [n]\n",
                     argv[0]);
        return 2;
    }
    if (all_variants) {
        variants(wavelengths);
    } else {
        figures(wavelengths);
    }
    return 0;
}
