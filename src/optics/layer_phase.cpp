// SPDX-License-Identifier: MIT
#include "optics/layer_phase.hpp"

namespace lamiro {

void phase_factors(Complex plus, Complex minus, Complex& e_plus, Complex& e_minus) noexcept {
    if (exp_is_corner_case(plus) || exp_is_corner_case(minus)) {
        e_plus = complex_exp(plus);
        e_minus = complex_exp(minus);
        return;
    }
    double sin_plus;
    double cos_plus;
    double sin_minus;
    double cos_minus;
    exponent_sincos(plus.im, minus.im, sin_plus, cos_plus, sin_minus, cos_minus);
    const double exp_plus = exp_or_one(plus.re);
    const double exp_minus = exp_or_one(minus.re);
    e_plus = {exp_plus * cos_plus, exp_plus * sin_plus};
    e_minus = {exp_minus * cos_minus, exp_minus * sin_minus};
}

}  // namespace lamiro
