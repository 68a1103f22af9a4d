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

constexpr Signature signature{"amplitudes", 4, 4};

}  // namespace

const char* const amplitudes_doc =
    "amplitudes(d, n, wl, theta)\n--\n\n"
    "Complex amplitude reflection and transmission coefficients of a coherent stack.\n\n"
    "d: layer thicknesses (float64, N - 2 values, the unit of wl); n: complex\n"
    "refractive indices, media x wavelengths (complex128, N rows, row 0 the\n"
    "incidence medium); wl: vacuum wavelengths (float64); theta: angle of\n"
    "incidence in radians, a number or a 1-D float64 array of A angles.\n\n"
    "Returns Amplitudes(rs, rp, ts, tp), complex128 arrays of shape (W,), or\n"
    "(A, W) for an array of angles: r = m01/m00 and t = 1/m00 of the transfer\n"
    "matrices lamiro computes, bit for bit (tmm's coh_tmm convention: at normal\n"
    "incidence rp = -rs). |rs|**2 and |rp|**2 are lamiro's reflectances.";

PyObject* amplitudes(PyObject*, PyObject* args, PyObject* kwargs) {
    return design_entry_point([&] {
        const DesignCall call = accept_call(signature, args, kwargs);
        OutputArray rs(npy_cdouble, call), rp(npy_cdouble, call), ts(npy_cdouble, call),
            tp(npy_cdouble, call);
        Complex* const out[] = {rs.data<Complex>(), rp.data<Complex>(), ts.data<Complex>(),
                                tp.data<Complex>()};
        const StackArrays stack = call.stack();
        const std::size_t width = call.wavelengths();
        run_request(call.grid(), [&](std::size_t a, std::size_t begin, std::size_t end) {
            const double theta = call.theta.values[a];
            const StackInvariant invariant = incidence_invariant(stack.n, theta);
            const std::size_t row = a * width;
            for_pair_chunks(stack, invariant, begin, end,
                            [&](std::size_t w0, std::span<const MatrixPair> pairs) {
                                for (std::size_t i = 0; i < pairs.size(); ++i) {
                                    const std::size_t at = row + w0 + i;
                                    AmplitudeCoefficients c = amplitude_coefficients(pairs[i]);
                                    replace_overflowed_amplitudes(call.d, call.n, call.wl, theta,
                                                                  w0 + i, c);
                                    out[0][at] = canonical_nan(c.rs);
                                    out[1][at] = canonical_nan(c.rp);
                                    out[2][at] = canonical_nan(c.ts);
                                    out[3][at] = canonical_nan(c.tp);
                                }
                            });
        });
        return amplitudes_result()
            .make({&rs.object(), &rp.object(), &ts.object(), &tp.object()})
            .release();
    });
}

}  // namespace lamiro::design
