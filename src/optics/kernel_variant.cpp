// SPDX-License-Identifier: MIT
#include "optics/kernel_variant.hpp"

#include <initializer_list>

namespace lamiro {

bool kernel_variant_supported(KernelVariant variant) noexcept {
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

KernelVariant best_kernel_variant() noexcept {
    static const KernelVariant best = [] {
        for (KernelVariant variant :
             {KernelVariant::avx512vl, KernelVariant::avx2, KernelVariant::sse2}) {
            if (kernel_variant_supported(variant)) return variant;
        }
        return KernelVariant::scalar;
    }();
    return best;
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
