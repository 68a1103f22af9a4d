// SPDX-License-Identifier: MIT
#include <span>

#include "design/design_call.hpp"
#include "design/design_entry.hpp"
#include "design/functions.hpp"
#include "design/result_types.hpp"
#include "module/array_api.hpp"
#include "optics/incoherent_gradient.hpp"
#include "optics/incoherent_stack.hpp"
#include "optics/overflow_fallback.hpp"
#include "optics/thickness_gradient.hpp"

namespace lamiro::design {

namespace {

constexpr Signature signature{"thickness_gradient", 6, 5};

// A sweep with its derivatives costs about three evaluations of the stack
// per wavelength (forward products, backward fields, the per-layer terms).
constexpr std::size_t sweep_work = 3;

bool every_layer_coherent(const DesignCall& call) {
    if (!call.has_coherent) return true;
    for (std::size_t k = 0; k < call.coherent.size(); ++k) {
        if (call.coherent[k] == 0) return false;
    }
    return true;
}

}  // namespace

const char* const thickness_gradient_doc =
    "thickness_gradient(d, n, wl, theta, phi, coherent=None)\n--\n\n"
    "Reflectance, transmittance and their derivatives with respect to every\n"
    "layer's thickness.\n\n"
    "d, n, wl, theta, phi as for lamiro.DataPy (theta may be a 1-D float64 array\n"
    "of A angles); coherent: None (every layer coherent) or N - 2 booleans as\n"
    "for incoherent().\n\n"
    "Returns Gradient(r, t, dr, dt): r and t of shape (W,) or (A, W), lamiro's\n"
    "simulate() values bit for bit when every layer is coherent (incoherent()'s\n"
    "otherwise); dr and dt of shape (N - 2, W) or (A, N - 2, W), dr[k, w] =\n"
    "dR/dd[k] and dt[k, w] = dT/dd[k] at wavelength w, per unit of the length\n"
    "of d and wl. They are exact (not finite differences): one forward and one\n"
    "backward sweep through the stack give all N - 2 of them, at about the cost\n"
    "of two or three spectra. With incoherent layers, the derivatives with\n"
    "respect to an incoherent layer's thickness act through its single-pass\n"
    "absorption exp(-4 pi Im(n cos theta) d / lambda).";

PyObject* thickness_gradient(PyObject*, PyObject* args, PyObject* kwargs) {
    return design_entry_point([&] {
        const DesignCall call = accept_call(signature, args, kwargs);
        const std::size_t layers = call.layers();
        const std::size_t width = call.wavelengths();
        OutputArray r(npy_double, call), t(npy_double, call);
        OutputArray dr(npy_double, call, {layers}), dt(npy_double, call, {layers});
        double* const r_out = r.data<double>();
        double* const t_out = t.data<double>();
        double* const dr_out = dr.data<double>();
        double* const dt_out = dt.data<double>();
        const auto outputs = [&](std::size_t a) {
            return GradientOutputs{r_out + a * width, t_out + a * width,
                                   dr_out + a * layers * width, dt_out + a * layers * width, width};
        };
        GridShape grid = call.grid();
        grid.work_per_point *= sweep_work;

        if (every_layer_coherent(call)) {
            run_request(grid, [&](std::size_t a, std::size_t begin, std::size_t end) {
                const double theta = call.theta.values[a];
                const SweepStack stack{call.d, call.n, call.wl, theta, call.phi};
                const GradientOutputs out = outputs(a);
                thickness_gradient_range(stack, begin, end, out);
                // R and T exactly as simulate() gives them, also where a thick
                // absorbing layer overflows the plain products.
                replace_overflowed_values(call.d, call.n, call.wl, theta, call.phi, begin,
                                          end - begin, out.r + begin, out.t + begin);
            });
        } else {
            const OwnedBuffer<std::size_t> boundaries =
                incoherent_media(call.coherent.data(), call.media());
            const IncoherentBlocks blocks(call.d, call.n, call.wl,
                                          std::span(boundaries.data(), boundaries.size()));
            // Every block is swept with the invariant of the whole stack.
            OwnedBuffer<Complex> invariants = OwnedBuffer<Complex>::allocate(grid_points(grid));
            for (std::size_t a = 0; a < call.theta.values.size(); ++a) {
                blocks.invariant(call.theta.values[a], invariants.data() + a * width);
            }
            grid.work_per_point *= 2;  // each block swept from both sides
            run_request(grid, [&](std::size_t a, std::size_t begin, std::size_t end) {
                incoherent_gradient_range(blocks, invariants.data() + a * width,
                                          call.theta.values[a], call.phi, begin, end, outputs(a));
            });
        }
        return gradient_result()
            .make({&r.object(), &t.object(), &dr.object(), &dt.object()})
            .release();
    });
}

}  // namespace lamiro::design
