// SPDX-License-Identifier: MIT
#include "optics/needle_function.hpp"

#include <cstdint>

#include "design/design_call.hpp"
#include "design/design_entry.hpp"
#include "design/functions.hpp"
#include "design/result_types.hpp"
#include "module/array_api.hpp"

namespace lamiro::design {

namespace {

constexpr Signature signature{"needle", 9, 7, needle_parameters};

// The merit is summed over fixed runs of this many wavelengths, each run
// from 0.0 in ascending order, and the runs then added in order (angle by
// angle): the same sum whichever worker evaluates which run.
constexpr std::size_t merit_run = 64;

// Work per wavelength in the grid's units: the sweep (about three
// evaluations of the stack) and a few products per candidate and depth.
std::size_t work_per_wavelength(const DesignCall& call) {
    const std::size_t sweep = 3 * call.media();
    const std::size_t candidates = call.materials.rows;
    const std::size_t depths = call.depths.size();
    if (candidates != 0 && depths > SIZE_MAX / 4 / candidates) return SIZE_MAX / 4;
    return sweep + candidates * depths;
}

PyObject* per_wavelength(const DesignCall& call) {
    const std::size_t candidates = call.materials.rows;
    const std::size_t depths = call.depths.size();
    const std::size_t width = call.wavelengths();
    const bool matrix = call.materials_is_matrix;
    OutputArray dr = matrix ? OutputArray(npy_double, call, {candidates, depths})
                            : OutputArray(npy_double, call, {depths});
    OutputArray dt = matrix ? OutputArray(npy_double, call, {candidates, depths})
                            : OutputArray(npy_double, call, {depths});
    double* const dr_out = dr.data<double>();
    double* const dt_out = dt.data<double>();
    const NeedleInput input{call.materials, call.depths};
    const std::size_t per_angle = candidates * depths * width;
    GridShape grid = call.grid();
    grid.work_per_point = work_per_wavelength(call);
    run_request(grid, [&](std::size_t a, std::size_t begin, std::size_t end) {
        const SweepStack stack{call.d, call.n, call.wl, call.theta.values[a], call.phi};
        needle_range(stack, input, begin, end,
                     NeedleOutputs{dr_out + a * per_angle, dt_out + a * per_angle, width});
    });
    return needle_result().make({&dr.object(), &dt.object()}).release();
}

PyObject* merit(const DesignCall& call) {
    const std::size_t candidates = call.materials.rows;
    const std::size_t depths = call.depths.size();
    const std::size_t width = call.wavelengths();
    const std::size_t angles = call.theta.values.size();
    const std::size_t slots = candidates * depths;
    const std::size_t runs = (width + merit_run - 1) / merit_run;
    if (slots != 0 && grid_points({angles, runs, 1}) > SIZE_MAX / slots) {
        throw InternalFault("capacity overflow");
    }
    OwnedBuffer<double> partial =
        OwnedBuffer<double>::allocate(grid_points({angles, runs, 1}) * slots);
    const NeedleInput input{call.materials, call.depths};
    const std::size_t work = work_per_wavelength(call);
    const GridShape grid{angles, runs, work > SIZE_MAX / merit_run ? SIZE_MAX : work * merit_run};
    run_request(grid, [&](std::size_t a, std::size_t first_run, std::size_t last_run) {
        const SweepStack stack{call.d, call.n, call.wl, call.theta.values[a], call.phi};
        const double* const weight_r =
            call.has_weight_r ? call.weight_r.data() + a * width : nullptr;
        const double* const weight_t =
            call.has_weight_t ? call.weight_t.data() + a * width : nullptr;
        for (std::size_t run = first_run; run < last_run; ++run) {
            const std::size_t begin = run * merit_run;
            const std::size_t end = begin + merit_run < width ? begin + merit_run : width;
            needle_merit_range(stack, input, begin, end,
                               NeedleMerit{weight_r, weight_t, &partial[(a * runs + run) * slots]});
        }
    });

    OutputArray result = call.materials_is_matrix ? OutputArray(npy_double, {candidates, depths})
                                                  : OutputArray(npy_double, {depths});
    double* const out = result.data<double>();
    for (std::size_t slot = 0; slot < slots; ++slot) out[slot] = 0.0;
    for (std::size_t part = 0; part < angles * runs; ++part) {
        for (std::size_t slot = 0; slot < slots; ++slot) out[slot] += partial[part * slots + slot];
    }
    return result.object().release();
}

}  // namespace

const char* const needle_doc =
    "needle(d, n, wl, theta, phi, material, depths, weight_r=None, weight_t=None)\n--\n\n"
    "The needle function: how R and T change when a vanishingly thin layer of a\n"
    "candidate material is inserted at each of the given depths of a coherent stack.\n\n"
    "d, n, wl, theta, phi as for lamiro.DataPy (theta may be a 1-D float64 array\n"
    "of A angles). material: the candidate's refractive index at every wavelength\n"
    "(complex128, shape (W,)), or C candidates at once (shape (C, W)). depths:\n"
    "1-D float64, Z depths below the top of the first layer in the unit of d (0 is\n"
    "the top of the stack, sum(d) its bottom; a depth on an interface lies between\n"
    "the two media; depths outside that range give NaN).\n\n"
    "Without weights, returns Needle(dr, dt), float64 arrays of shape\n"
    "([A,] [C,] Z, W): dR/d(delta) and dT/d(delta) at delta = 0 of a layer of\n"
    "thickness delta inserted at each depth, per unit of length (the axes A and C\n"
    "only when theta, resp. material, is an array of them).\n\n"
    "With weight_r and/or weight_t (float64, shape (W,) or (A, W)): the\n"
    "derivatives of a merit function, returned as an array of shape (Z,) or\n"
    "(C, Z): sum over angles and wavelengths of weight_r * dR/d(delta) +\n"
    "weight_t * dT/d(delta). The weights are the merit's derivatives with respect\n"
    "to R and T (any merit of the spectra has them: for sum(v * (R - R0)**2),\n"
    "weight_r = 2 * v * (R - R0)), so targets, tolerances and angle weights stay\n"
    "in the caller's hands, while hundreds of depths cost about as much as one\n"
    "gradient and no (Z, W) arrays are formed. A negative value marks a depth\n"
    "where a thin layer of the candidate lowers the merit. The sum runs over fixed\n"
    "blocks of wavelengths in a fixed order, so it is the same whatever the thread\n"
    "count.";

PyObject* needle(PyObject*, PyObject* args, PyObject* kwargs) {
    return design_entry_point([&] {
        const DesignCall call = accept_call(signature, args, kwargs);
        if (call.has_weight_r || call.has_weight_t) return merit(call);
        return per_wavelength(call);
    });
}

}  // namespace lamiro::design
