// SPDX-License-Identifier: MIT
#include "optics/kernel_variant.hpp"

#include <algorithm>
#include <atomic>
#include <initializer_list>

namespace lamiro {

namespace {

// The widest variant that tests and benchmarks allow; atomic because pool
// workers read it while a test may set it between evaluations.
std::atomic<KernelVariant> variant_cap{KernelVariant::avx512vl};

bool processor_runs(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::scalar:
            return true;
#if defined(__x86_64__)
        case KernelVariant::sse2:
            return true;
        case KernelVariant::avx2:
            return __builtin_cpu_supports("avx2");
        case KernelVariant::avx512vl:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#endif
        default:
            return false;
    }
}

}  // namespace

bool kernel_variant_supported(KernelVariant variant) noexcept {
    return variant <= variant_cap.load(std::memory_order_relaxed) && processor_runs(variant);
}

KernelVariant best_kernel_variant() noexcept {
    static const KernelVariant best = [] {
        for (KernelVariant variant :
             {KernelVariant::avx512vl, KernelVariant::avx2, KernelVariant::sse2}) {
            if (processor_runs(variant)) return variant;
        }
        return KernelVariant::scalar;
    }();
    return std::min(best, variant_cap.load(std::memory_order_relaxed));
}

void cap_kernel_variant(KernelVariant widest) noexcept {
    variant_cap.store(widest, std::memory_order_relaxed);
}

std::size_t pack_lanes(KernelVariant variant) noexcept {
    switch (variant) {
        case KernelVariant::sse2:
            return 2;
        case KernelVariant::avx2:
        case KernelVariant::avx512vl:
            return 4;
        default:
            return 1;
    }
}

}  // namespace lamiro
