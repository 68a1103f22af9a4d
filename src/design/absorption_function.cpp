// SPDX-License-Identifier: MIT
#include <span>

#include "design/design_call.hpp"
#include "design/design_entry.hpp"
#include "design/functions.hpp"
#include "design/result_types.hpp"
#include "module/array_api.hpp"
#include "optics/amplitudes.hpp"
#include "optics/incoherent_absorption.hpp"
#include "optics/incoherent_stack.hpp"
#include "optics/layer_absorption.hpp"

namespace lamiro::design {

namespace {

constexpr Signature signature{"absorption", 6, 5};

}  // namespace

const char* const absorption_doc =
    "absorption(d, n, wl, theta, phi, coherent=None)\n--\n\n"
    "Fraction of the incident power absorbed in each layer of a stack.\n\n"
    "d (float64, N - 2 thicknesses, the unit of wl), n (complex128, media x\n"
    "wavelengths), wl (float64 vacuum wavelengths), theta (radians, a number or a\n"
    "1-D float64 array of A angles), phi (radians: s weighted by cos(phi)**2, p by\n"
    "sin(phi)**2), coherent: None (every layer coherent) or a sequence of N - 2\n"
    "booleans, False for a thick layer whose phase averages out, as for\n"
    "incoherent().\n\n"
    "Returns a float64 array of shape (N - 2, W), or (A, N - 2, W) for an array of\n"
    "angles: row k is layer k + 1 of the stack (d[k]), as tmm's\n"
    "absorp_in_each_layer (coherent) and inc_absorp_in_each_layer (with\n"
    "incoherent layers) give it for layers 1 ... N - 2. With a lossless exit\n"
    "medium, R + T + the sum over the layers is 1 to rounding (R and T of\n"
    "simulate() or incoherent()). A thick absorbing layer gives finite values.";

PyObject* absorption(PyObject*, PyObject* args, PyObject* kwargs) {
    return design_entry_point([&] {
        const DesignCall call = accept_call(signature, args, kwargs);
        const std::size_t layers = call.layers();
        OutputArray absorbed(npy_double, call, {layers});
        double* const out = absorbed.data<double>();
        const OwnedBuffer<std::size_t> boundaries =
            call.has_coherent ? incoherent_media(call.coherent.data(), call.media())
                              : OwnedBuffer<std::size_t>{};
        const std::span<const std::size_t> media(boundaries.data(), boundaries.size());
        const StackArrays stack = call.stack();
        const std::size_t width = call.wavelengths();
        run_request(call.grid(), [&](std::size_t a, std::size_t begin, std::size_t end) {
            double* const plane = out + a * layers * width;
            const double theta = call.theta.values[a];
            if (media.size() > 2) {
                incoherent_absorption_values(stack, media, theta, call.phi, begin, end, plane,
                                             width);
            } else {
                absorption_range({stack.d, stack.n, stack.wl, theta, call.phi}, begin, end, plane,
                                 width);
            }
            for (std::size_t k = 0; k < layers; ++k) {
                for (std::size_t w = begin; w < end; ++w) {
                    plane[k * width + w] = canonical_nan(plane[k * width + w]);
                }
            }
        });
        return absorbed.object().release();
    });
}

}  // namespace lamiro::design
