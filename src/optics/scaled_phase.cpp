// SPDX-License-Identifier: MIT
#include "optics/scaled_phase.hpp"

#include <cmath>

namespace lamiro {

ScaledPhase scaled_phase(Complex kappa, double h) noexcept {
    const Complex minus = scale(mul_neg_i(kappa), h);
    const Complex plus = scale(mul_i(kappa), h);
    const double larger = std::fmax(minus.re, plus.re);
    // Beyond 2^20·ln 2 the reduction below is no longer exact; a layer that
    // thick passes nothing whatever its exponent, so the plain factors
    // (infinite or zero) say as much.
    if (!std::isfinite(larger) || std::fabs(larger) > 7.0e5) {
        return {complex_exp(minus), complex_exp(plus), 0};
    }
    // ln 2 in two parts, the first with its low 32 bits zero, so that
    // j·ln2_high is exact for |j| < 2^21.
    constexpr double ln2_high = 6.93147180369123816490e-01;
    constexpr double ln2_low = 1.90821492927058770002e-10;
    const long j = std::lround(larger / 0.6931471805599453);
    const double shift = static_cast<double>(j);
    const auto reduced = [&](Complex z) {
        const double e = std::exp((z.re - shift * ln2_high) - shift * ln2_low);
        return Complex{e * std::cos(z.im), e * std::sin(z.im)};
    };
    return {reduced(minus), reduced(plus), j};
}

}  // namespace lamiro
