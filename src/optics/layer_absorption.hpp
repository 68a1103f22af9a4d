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

// The weights of a weighted absorption, per wavelength w of its range
// [begin, end): the s flux differences are scaled by s[w − begin], the p
// ones by p[w − begin].
struct AbsorptionWeights {
    const double* s;
    const double* p;
};

// Where a weighted absorption goes: layer k (1 … N − 2 of the swept stack)
// at wavelength w to first[(k − 1)·layer_stride + w], added to the value
// there when `add` is set. A negative layer_stride puts the layers of a
// stack swept from its exit side back into the order of the stack seen
// from its entrance.
struct AbsorptionOutput {
    double* first;
    std::ptrdiff_t layer_stride;
    bool add;
};

// weight_s·(Φs_k − Φs_{k+1}) + weight_p·(Φp_k − Φp_{k+1}) for every layer k of
// the swept stack at the wavelengths [begin, end), where Φ are the fluxes of
// the sweep's fields for an incident wave of amplitude 1 in row 0, not
// normalised: the weights carry the normalisation by the incident flux and
// how strongly the stack is lit, for stacks that are parts of a larger one
// and lit from either side. Writes only the entries of those wavelengths;
// the same index fault as absorption_range.
void weighted_absorption_range(const SweepStack& stack, std::size_t begin, std::size_t end,
                               const AbsorptionWeights& weights, const AbsorptionOutput& out,
                               KernelVariant variant = best_kernel_variant());

}  // namespace lamiro
