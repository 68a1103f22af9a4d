// SPDX-License-Identifier: MIT
#include <cstring>
#include <span>

#include "common/internal_fault.hpp"
#include "design/design_call.hpp"
#include "design/design_entry.hpp"
#include "design/functions.hpp"
#include "design/result_types.hpp"
#include "module/array_api.hpp"
#include "optics/incoherent_stack.hpp"
#include "optics/simulation_context.hpp"

namespace lamiro::design {

namespace {

constexpr Signature signature{"incoherent", 6, 6};

// Every layer coherent: lamiro's own evaluation, angle by angle, so that
// the spectra are lamiro's to the bit.
void coherent_rows(const DesignCall& call, double* r, double* t) {
    const std::size_t width = call.wavelengths();
    for (std::size_t a = 0; a < call.theta.values.size(); ++a) {
        SimulationContext context(call.d, call.n, call.wl, call.theta.values[a], call.phi);
        const OwnedBuffer<double> reflectance = context.reflectance();
        const OwnedBuffer<double> transmittance = context.transmittance();
        if (width != 0) {
            std::memcpy(r + a * width, reflectance.data(), width * sizeof(double));
            std::memcpy(t + a * width, transmittance.data(), width * sizeof(double));
        }
    }
}

}  // namespace

const char* const incoherent_doc =
    "incoherent(d, n, wl, theta, phi, coherent)\n--\n\n"
    "Reflectance and transmittance of a stack with coherent and incoherent layers.\n\n"
    "d (float64, N - 2 thicknesses, the unit of wl), n (complex128, media x\n"
    "wavelengths), wl (float64 vacuum wavelengths), theta (radians, a number or a\n"
    "1-D float64 array of A angles), phi (radians: s weighted by cos(phi)**2, p by\n"
    "sin(phi)**2), coherent: a sequence of N - 2 booleans, True for a thin layer\n"
    "whose phase counts, False for a thick one whose phase averages out (a\n"
    "substrate with its back side). The incidence and exit media are incoherent.\n\n"
    "Returns Incoherent(r, t), float64 arrays of shape (W,) or (A, W): the\n"
    "intensity-matrix method of Katsidis & Siapkas (Appl. Opt. 41, 3978 (2002)),\n"
    "as tmm's inc_tmm, on coherent blocks computed by lamiro's kernel. A thick\n"
    "absorbing layer gives finite values (its far side is simply not reached).\n"
    "With every layer coherent, r and t are lamiro's simulate() values, bit for bit.";

PyObject* incoherent(PyObject*, PyObject* args, PyObject* kwargs) {
    return design_entry_point([&] {
        const DesignCall call = accept_call(signature, args, kwargs);
        OutputArray r(npy_double, call), t(npy_double, call);
        double* const r_out = r.data<double>();
        double* const t_out = t.data<double>();
        if (!call.has_coherent) throw InternalFault("incoherent() without its coherent flags");
        const OwnedBuffer<std::size_t> boundaries =
            incoherent_media(call.coherent.data(), call.media());
        if (boundaries.size() == 2) {
            if (grid_runs_on_pool(call.grid())) {
                ReleasedInterpreterLock released;
                coherent_rows(call, r_out, t_out);
            } else {
                coherent_rows(call, r_out, t_out);
            }
        } else {
            const StackArrays stack = call.stack();
            const std::span<const std::size_t> media(boundaries.data(), boundaries.size());
            const std::size_t width = call.wavelengths();
            run_request(call.grid(), [&](std::size_t a, std::size_t begin, std::size_t end) {
                const std::size_t at = a * width + begin;
                incoherent_values(stack, media, call.theta.values[a], call.phi, begin, end,
                                  r_out + at, t_out + at);
            });
        }
        return incoherent_result().make({&r.object(), &t.object()}).release();
    });
}

}  // namespace lamiro::design
