// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "optics/array_view.hpp"
#include "optics/layer_sweep.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

// Candidate materials and the depths at which a vanishingly thin layer of
// each is tried.
struct NeedleInput {
    // materials(c, w): the refractive index of candidate c at wavelength
    // index w (C rows, at least as many columns as the stack's wavelengths).
    ComplexView materials;
    // Z depths below the top of the first layer, in the length unit of d. A
    // depth on an interface means between the two media; 0 is the top of
    // the stack and the sum of d its bottom. Depths outside [0, sum of d]
    // (and NaN) give NaN.
    RealView depths;
};

// Where needle_range writes: the derivatives with respect to the thickness
// δ of the inserted layer at δ = 0, per unit of length. A null pointer is
// not written.
struct NeedleOutputs {
    double* dr = nullptr;    // dr[(c * Z + z) * stride + w] = ∂R/∂δ
    double* dt = nullptr;    // dt[(c * Z + z) * stride + w] = ∂T/∂δ
    std::size_t stride = 0;  // usually the wavelength count
};

// ∂R/∂δ and ∂T/∂δ of inserting a layer of each candidate at each depth, for
// the wavelengths [begin, end), mixed by φ as the spectra are. Writes only
// the entries of those wavelengths; every value depends on its own
// wavelength alone, whatever the range and the variant. Throws the kernel's
// index fault when the stack or a candidate cannot be read.
void needle_range(const SweepStack& stack, const NeedleInput& needles, std::size_t begin,
                  std::size_t end, const NeedleOutputs& out,
                  KernelVariant variant = best_kernel_variant());

// The needle function of a merit that depends on the spectra: with
// weight_r[w] = ∂merit/∂R_w and weight_t[w] = ∂merit/∂T_w (for a weighted
// least-squares merit Σ v_w·(R_w − R*_w)², weight_r[w] = 2·v_w·(R_w − R*_w)),
//     merit[c * Z + z] = Σ over w in [begin, end) of
//                        weight_r[w]·∂R_w/∂δ + weight_t[w]·∂T_w/∂δ,
// summed from 0.0 in ascending w. A sum depends on where the range is cut;
// callers that split a spectrum among workers cut it at fixed points and
// add the parts in order, so that the result does not depend on the worker
// count. Either weight pointer may be null (no term).
struct NeedleMerit {
    const double* weight_r = nullptr;
    const double* weight_t = nullptr;
    double* merit = nullptr;
};

void needle_merit_range(const SweepStack& stack, const NeedleInput& needles, std::size_t begin,
                        std::size_t end, const NeedleMerit& out,
                        KernelVariant variant = best_kernel_variant());

}  // namespace lamiro
