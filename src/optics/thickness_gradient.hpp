// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/layer_sweep.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

// Where thickness_gradient_range writes. A null pointer is not written.
// Layer k counts from 0 here: k = 0 … N−3 is the layer of thickness d[k]
// (medium k+1 of the stack).
struct GradientOutputs {
    double* r = nullptr;     // r[w]: the reflectance, bit for bit as the spectra give it
    double* t = nullptr;     // t[w]: the transmittance, likewise
    double* dr = nullptr;    // dr[k * stride + w] = ∂R/∂d[k]
    double* dt = nullptr;    // dt[k * stride + w] = ∂T/∂d[k]
    std::size_t stride = 0;  // between layers in dr and dt (usually the wavelength count)
};

// R, T and their derivatives with respect to every layer's thickness, per
// unit of the length of d and wl, for the wavelengths [begin, end) of the
// stack, mixed by φ as the spectra are. Writes only the entries of those
// wavelengths, so ranges can be evaluated concurrently; every value depends
// on its own wavelength alone, whatever the range and the variant.
// Throws the kernel's index fault when the stack cannot be read.
void thickness_gradient_range(const SweepStack& stack, std::size_t begin, std::size_t end,
                              const GradientOutputs& out,
                              KernelVariant variant = best_kernel_variant());

}  // namespace lamiro
