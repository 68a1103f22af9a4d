// SPDX-License-Identifier: MIT
// What this processor offers the kernel, which variant the module runs here,
// and whether every variant the processor runs gives the reference bits:
//
//   kernel_variant_probe [--expect scalar|sse2|avx2|avx512vl]
//
// It prints the processor's answers for the instruction sets the variants
// use, then evaluates a structured stack (which the kernel plans) and an
// unstructured one (which it does not) in every variant the processor
// supports, and both through a simulation on the worker pool, which runs
// the module's own choice; each is compared with the reference kernel bit
// for bit. Its purpose is the run under an emulator of an older processor
// (qemu-x86_64 -cpu Haswell, -cpu Nehalem): code wider than that processor
// has stops it with an illegal instruction, which no run on a newer
// processor can show. With --expect, the module's variant must be the one
// named, so that a run on the wrong processor model fails rather than
// passes without testing what it was meant to.
//
// Exit status 0 when every check holds, 1 when one does not, 2 on a usage
// error.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "optics/reference_stack_matrix.hpp"
#include "optics/simulation_context.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "optics/stack_plan.hpp"

namespace {

using namespace lamiro;

constexpr KernelVariant variants[] = {KernelVariant::scalar, KernelVariant::sse2,
                                      KernelVariant::avx2, KernelVariant::avx512vl};
constexpr const char* variant_names[] = {"scalar", "sse2", "avx2", "avx512vl"};

const char* name_of(KernelVariant variant) { return variant_names[static_cast<int>(variant)]; }

struct Stack {
    const char* name;
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
    double theta;
};

// `layers` layers over `count` wavelengths. Structured: two dispersive
// materials alternating at two thicknesses, a mirror, which the kernel
// plans. Otherwise every layer of its own index and thickness.
Stack make_stack(const char* name, bool structured, std::size_t layers, std::size_t count) {
    const std::size_t media = layers + 2;
    OwnedBuffer<double> d = OwnedBuffer<double>::allocate(layers);
    OwnedBuffer<double> wl = OwnedBuffer<double>::allocate(count);
    OwnedBuffer<Complex> n = OwnedBuffer<Complex>::allocate(media * count);
    for (std::size_t k = 0; k < layers; ++k) {
        d[k] = structured ? (k % 2 == 0 ? 59.0 : 94.0) : 20.0 + 7.5 * static_cast<double>(k);
    }
    for (std::size_t w = 0; w < count; ++w) {
        const double x = static_cast<double>(w) / static_cast<double>(count);
        wl[w] = 400.0 + 400.0 * x;
        for (std::size_t j = 0; j < media; ++j) {
            const double material =
                structured ? static_cast<double>(j % 2) : static_cast<double>(j);
            Complex value{1.4 + 0.9 * std::fmod(0.37 * material, 1.0) - 0.1 * x,
                          0.02 * std::fmod(0.61 * material, 1.0)};
            if (j == 0) value = {1.0, 0.0};
            if (j + 1 == media) value = {1.52, 0.0};
            n[j * count + w] = value;
        }
    }
    return Stack{
        name, RealVector::from_buffer(std::move(d)),
        ComplexMatrix{std::move(n), media, count, static_cast<std::ptrdiff_t>(count), 1, 0},
        RealVector::from_buffer(std::move(wl)), 0.35};
}

std::vector<MatrixPair> reference(const Stack& s) {
    std::vector<MatrixPair> pairs(s.wl.size());
    for (std::size_t w = 0; w < pairs.size(); ++w) {
        pairs[w] = {stack_transfer_matrix(s.d, s.n, s.wl, s.theta, w, Polarisation::S),
                    stack_transfer_matrix(s.d, s.n, s.wl, s.theta, w, Polarisation::P)};
    }
    return pairs;
}

// The stacks have no NaN, so equal bits are equal bytes.
bool same_bits(const MatrixPair* actual, const std::vector<MatrixPair>& expected) {
    return std::memcmp(actual, expected.data(), expected.size() * sizeof(MatrixPair)) == 0;
}

struct Tally {
    int passed = 0;
    int failed = 0;
    void check(bool ok, const std::string& what) {
        std::printf("  %-48s %s\n", what.c_str(), ok ? "reference bits" : "DIFFERENT BITS");
        ok ? ++passed : ++failed;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const char* expected = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--expect") == 0) {
        expected = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--expect scalar|sse2|avx2|avx512vl]\n", argv[0]);
        return 2;
    }

#if defined(__x86_64__)
    std::printf("processor: avx2 %s, avx512f %s, avx512vl %s, fma %s\n",
                __builtin_cpu_supports("avx2") ? "yes" : "no",
                __builtin_cpu_supports("avx512f") ? "yes" : "no",
                __builtin_cpu_supports("avx512vl") ? "yes" : "no",
                __builtin_cpu_supports("fma") ? "yes" : "no");
#else
    std::printf("processor: not x86-64, packs of one\n");
#endif
    const KernelVariant best = best_kernel_variant();
    std::printf("the module runs: %s, packs of %zu\n", name_of(best), pack_lanes(best));

    Tally tally;
    if (expected != nullptr) {
        const bool as_expected = std::strcmp(name_of(best), expected) == 0;
        std::printf("  %-48s %s\n", (std::string("expected ") + expected).c_str(),
                    as_expected ? "yes" : "NO");
        as_expected ? ++tally.passed : ++tally.failed;
    }

    // Eleven wavelengths: packs of four, then two, then one. Each stack
    // planned and unplanned.
    for (const Stack& s :
         {make_stack("structured", true, 24, 11), make_stack("unstructured", false, 12, 11)}) {
        const std::vector<MatrixPair> want = reference(s);
        for (KernelVariant variant : variants) {
            if (!kernel_variant_supported(variant)) continue;
            for (Planning planning : {Planning::off, Planning::always}) {
                std::vector<MatrixPair> got(want.size());
                stack_matrix_pairs({variant, planning}, s.d, s.n, s.wl, s.theta, 0, got.size(),
                                   got.data());
                StackPlan plan;
                const bool planned = plan.build(s.d, s.n, 0, got.size(), planning);
                tally.check(same_bits(got.data(), want),
                            std::string(s.name) + ", " + name_of(variant) +
                                (planned ? ", planned" : ", unplanned"));
            }
        }
    }
    for (const Stack& s :
         {make_stack("structured", true, 24, 203), make_stack("unstructured", false, 12, 203)}) {
        SimulationContext context(s.d, s.n, s.wl, s.theta, 0.5);
        tally.check(same_bits(context.matrix_pairs().data(), reference(s)),
                    std::string(s.name) + ", simulation on the pool");
    }
    std::printf("kernel_variant_probe: %d passed, %d failed\n", tally.passed, tally.failed);
    return tally.failed == 0 ? 0 : 1;
}
