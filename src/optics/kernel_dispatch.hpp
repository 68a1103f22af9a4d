// SPDX-License-Identifier: MIT
#pragma once

// The one place where a kernel is compiled for each instruction set and
// the variant to run is chosen. A kernel is a type with a member template
//
//     template <int L> LAMIRO_PACKED_INLINE void pack(std::size_t w0) const;
//
// that evaluates the L wavelengths w0 … w0 + L − 1, built from the packed
// arithmetic (packed_complex.hpp) and the packed building blocks
// (packed_kernel_blocks.hpp). run_packs compiles it into one function per
// instruction set, with everything inlined into it, and runs the range in
// packs of the chosen variant's width and the tail in narrower packs.
// Kernel types should have internal linkage (an unnamed namespace), so
// that each file's instantiations stay its own.

#include <cstddef>

#include "optics/kernel_variant.hpp"
#include "optics/packed_complex.hpp"

// Packs of four only cross always_inline calls inside AVX2 and AVX-512VL
// code (see packed_complex.hpp); the warnings about their out-of-line calling
// convention do not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

template <class Kernel>
concept PackKernel = requires(const Kernel& kernel, std::size_t w) {
    kernel.template pack<1>(w);
};

namespace dispatch_detail {

// Packs of L from w on while L wavelengths remain before `end`; returns the
// first wavelength not evaluated.
template <int L, class Kernel>
LAMIRO_PACKED_INLINE std::size_t packs(const Kernel& kernel, std::size_t w, std::size_t end) {
    for (; end - w >= L; w += L) kernel.template pack<L>(w);
    return w;
}

template <class Kernel>
[[gnu::noinline]] std::size_t scalar_packs(const Kernel& kernel, std::size_t w, std::size_t end) {
    return packs<1>(kernel, w, end);
}

#if defined(__x86_64__)
// SSE2, which every x86-64 processor has.
template <class Kernel>
[[gnu::noinline]] std::size_t sse2_packs(const Kernel& kernel, std::size_t w, std::size_t end) {
    return packs<2>(kernel, w, end);
}

// AVX2 without FMA: the packed operations are the same roundings as the
// SSE2 ones, four lanes wide.
template <class Kernel>
[[gnu::noinline, gnu::target("avx2")]] std::size_t avx2_packs(const Kernel& kernel, std::size_t w,
                                                              std::size_t end) {
    return packs<4>(kernel, w, end);
}

// AVX-512VL without FMA: the same roundings again, four lanes wide, with 32
// vector registers instead of 16.
template <class Kernel>
[[gnu::noinline, gnu::target("avx512vl")]] std::size_t avx512vl_packs(const Kernel& kernel,
                                                                      std::size_t w,
                                                                      std::size_t end) {
    return packs<4>(kernel, w, end);
}
#endif

}  // namespace dispatch_detail

// kernel.pack<L>(w) over the wavelengths [begin, end): packs of the width
// of `variant`, then the tail in narrower packs. `variant` must be one this
// processor supports (at most best_kernel_variant()); which variant pays
// for a kernel is the caller's choice. A kernel that never runs wider than
// `widest` names it, and is not compiled for the wider variants; a wider
// `variant` runs as `widest`.
template <KernelVariant widest = KernelVariant::avx512vl, PackKernel Kernel>
void run_packs(KernelVariant variant, const Kernel& kernel, std::size_t begin, std::size_t end) {
    std::size_t w = begin;
#if defined(__x86_64__)
    if constexpr (widest >= KernelVariant::avx512vl) {
        if (variant == KernelVariant::avx512vl) w = dispatch_detail::avx512vl_packs(kernel, w, end);
    }
    if constexpr (widest >= KernelVariant::avx2) {
        if (variant >= KernelVariant::avx2) w = dispatch_detail::avx2_packs(kernel, w, end);
    }
    if constexpr (widest >= KernelVariant::sse2) {
        if (variant >= KernelVariant::sse2) w = dispatch_detail::sse2_packs(kernel, w, end);
    }
#else
    static_cast<void>(variant);
#endif
    dispatch_detail::scalar_packs(kernel, w, end);
}

}  // namespace lamiro

#pragma GCC diagnostic pop
