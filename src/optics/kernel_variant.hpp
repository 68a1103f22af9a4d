// SPDX-License-Identifier: MIT
#pragma once

// The instruction sets the kernels are compiled for. Each kernel is
// compiled once per variant (kernel_dispatch.hpp); the packed arithmetic
// rounds lane by lane like the scalar one, so every variant gives the same
// bits.

#include <cstddef>

namespace lamiro {

// The compiled variants of a kernel, by the instruction set they use. A
// variant evaluates a range in packs of its width, and its tail in the
// packs of the narrower variants.
enum class KernelVariant : unsigned char {
    scalar,    // one wavelength at a time; every processor
    sse2,      // packs of two; every x86-64 processor
    avx2,      // packs of four, AVX2 without FMA
    avx512vl,  // packs of four, AVX-512VL without FMA (32 vector registers)
};

// True when this processor runs `variant` (and no cap excludes it).
bool kernel_variant_supported(KernelVariant variant) noexcept;

// The variant the module runs here: the widest this processor supports,
// within the cap.
KernelVariant best_kernel_variant() noexcept;

// Caps the variants of this process at `widest`: from the next evaluation
// on, every variant wider than it counts as unsupported, as on a processor
// without those instructions, so the default choice runs what such a
// processor would. A cap above what the processor has enables nothing. For
// tests and benchmarks; the modules never call it.
void cap_kernel_variant(KernelVariant widest) noexcept;

// Wavelengths per pack of `variant`.
std::size_t pack_lanes(KernelVariant variant) noexcept;

}  // namespace lamiro
