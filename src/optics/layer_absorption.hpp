// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/layer_sweep.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

// The fraction of the incident power absorbed in each layer, for the
// wavelengths [begin, end): a[k * stride + w] for the layer of thickness
// d[k] (k = 0 … N−3), mixed by φ as the spectra are. The power flowing
// through the top of each layer and into the exit medium follows from the
// fields of one layer sweep; a layer absorbs what enters at its top and does
// not leave at its bottom. With a lossless incidence and exit medium,
// R + T + the sum over the layers is 1 to rounding.
//
// Writes only the entries of those wavelengths; every value depends on its
// own wavelength alone, whatever the range and the variant. Throws the
// kernel's index fault when the stack cannot be read.
void absorption_range(const SweepStack& stack, std::size_t begin, std::size_t end, double* a,
                      std::size_t stride, KernelVariant variant = best_kernel_variant());

}  // namespace lamiro
