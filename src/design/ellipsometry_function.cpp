// SPDX-License-Identifier: MIT
#include <span>

#include "design/design_call.hpp"
#include "design/design_entry.hpp"
#include "design/functions.hpp"
#include "design/result_types.hpp"
#include "module/array_api.hpp"
#include "optics/amplitudes.hpp"
#include "optics/overflow_fallback.hpp"
#include "optics/pair_chunks.hpp"

namespace lamiro::design {

namespace {

constexpr Signature signature{"ellipsometry", 4, 4};

}  // namespace

const char* const ellipsometry_doc =
    "ellipsometry(d, n, wl, theta)\n--\n\n"
    "Ellipsometric angles of a coherent stack, in radians.\n\n"
    "Arguments as for amplitudes(): d (float64, N - 2 thicknesses), n (complex128,\n"
    "media x wavelengths), wl (float64 vacuum wavelengths), theta (radians, a number\n"
    "or a 1-D float64 array of A angles).\n\n"
    "Returns Ellipsometry(psi, delta), float64 arrays of shape (W,) or (A, W):\n"
    "psi = arctan|rp/rs| in [0, pi/2] and delta = arg(-rp/rs) in [-pi, pi], the\n"
    "convention of tmm's ellips, in which delta is 0 at normal incidence.\n"
    "In the other common convention, rho = rp/rs = tan(psi) * exp(i*delta'),\n"
    "delta' = delta + pi (wrapped into (-pi, pi] if wanted); psi is the same.\n"
    "Degrees: numpy.degrees(psi), numpy.degrees(delta).";

PyObject* ellipsometry(PyObject*, PyObject* args, PyObject* kwargs) {
    return design_entry_point([&] {
        const DesignCall call = accept_call(signature, args, kwargs);
        OutputArray psi(npy_double, call), delta(npy_double, call);
        double* const psi_out = psi.data<double>();
        double* const delta_out = delta.data<double>();
        const StackArrays stack = call.stack();
        const std::size_t width = call.wavelengths();
        run_request(call.grid(), [&](std::size_t a, std::size_t begin, std::size_t end) {
            const double theta = call.theta.values[a];
            const StackInvariant invariant = incidence_invariant(stack.n, theta);
            const std::size_t row = a * width;
            for_pair_chunks(stack, invariant, begin, end,
                            [&](std::size_t w0, std::span<const MatrixPair> pairs) {
                                for (std::size_t i = 0; i < pairs.size(); ++i) {
                                    AmplitudeCoefficients c = amplitude_coefficients(pairs[i]);
                                    replace_overflowed_amplitudes(call.d, call.n, call.wl, theta,
                                                                  w0 + i, c);
                                    const EllipsometricAngles e = ellipsometric_angles(c);
                                    psi_out[row + w0 + i] = canonical_nan(e.psi);
                                    delta_out[row + w0 + i] = canonical_nan(e.delta);
                                }
                            });
        });
        return ellipsometry_result().make({&psi.object(), &delta.object()}).release();
    });
}

}  // namespace lamiro::design
