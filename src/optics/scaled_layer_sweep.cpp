// SPDX-License-Identifier: MIT
// The layer sweep of one wavelength with a power-of-two exponent beside
// every partial product: the path for wavelengths whose plain sweep left
// values too large (or not finite) to form derivatives from, typically
// behind a layer whose loss over its thickness, Im κ·h, exceeds a few
// hundred. The products are the same as in the plain sweep; after every
// step the mantissa is brought back to a magnitude near 1 and the exponent
// carried separately, and the phase matrix of a layer is formed as
// 2^j · diag(e₋·2^−j, e₊·2^−j), so that neither e₋ nor the product
// overflows. Multiplying by a power of two is exact, so the mantissas lose
// nothing but what underflows below 2^−1022 relative to the largest entry.
#include <cmath>
#include <vector>

#include "optics/layer_sweep.hpp"
#include "optics/reference_stack_matrix.hpp"
#include "optics/scaled_phase.hpp"
#include "optics/scaled_stack_matrix.hpp"

namespace lamiro {

namespace {

// A value m·2^e.
template <class T>
struct Scaled {
    T mantissa;
    long exponent = 0;
};

double largest_component(std::initializer_list<Complex> values) noexcept {
    double largest = 0.0;
    for (Complex z : values)
        largest = std::fmax(largest, std::fmax(std::fabs(z.re), std::fabs(z.im)));
    return largest;
}

Complex scale_by_power_of_two(Complex z, long e) noexcept {
    return {std::scalbln(z.re, e), std::scalbln(z.im, e)};
}

// Brings the largest component of the values to [1, 2) and adds the shift
// to the exponent; zeros and non-finite values are left as they are.
void normalise(std::initializer_list<Complex*> values, long& exponent) noexcept {
    double largest = 0.0;
    for (const Complex* z : values) largest = std::fmax(largest, largest_component({*z}));
    if (largest == 0.0 || !std::isfinite(largest)) return;
    const long shift = std::ilogb(largest);
    for (Complex* z : values) *z = scale_by_power_of_two(*z, -shift);
    exponent += shift;
}

void normalise(Scaled<TransferMatrix>& m) noexcept {
    normalise({&m.mantissa.m00, &m.mantissa.m01, &m.mantissa.m10, &m.mantissa.m11}, m.exponent);
}

}  // namespace

void LayerSweep::rescue(int lane) {
    const std::size_t media = media_;
    // Scratch of the run, allocated by the first wavelength that needs it.
    std::vector<ScaledPhase>& phase = rescue_phases_;
    std::vector<long>& prefix_exponent = rescue_exponents_;
    phase.resize(media);
    prefix_exponent.resize(media);
    for (std::size_t k = 1; k + 1 < media; ++k) {
        phase[k] = scaled_phase(medium(k).kappa.lane(lane), stack_.d[k - 1]);
    }

    for (const bool s_polarisation : {true, false}) {
        const auto polarisation_of = [&](SweepLayer& layer) -> SweepPolarisation& {
            return s_polarisation ? layer.s : layer.p;
        };
        const auto interface_at = [&](std::size_t a) {
            const InterfaceLanes& e = interfaces_[interface_of_[a]];
            return s_polarisation
                       ? InterfaceEntries{e.s_inv_tau.lane(lane), e.s_rho_over_tau.lane(lane)}
                       : InterfaceEntries{e.p_inv_tau.lane(lane), e.p_rho_over_tau.lane(lane)};
        };
        const auto store_matrix = [&](LaneMatrix& out, const TransferMatrix& m) {
            out.m00.set_lane(lane, m.m00);
            out.m01.set_lane(lane, m.m01);
            out.m10.set_lane(lane, m.m10);
            out.m11.set_lane(lane, m.m11);
        };

        // Forward: prefixes as mantissa and exponent; the stored prefix of
        // medium j is the mantissa, so its compensation is 2^prefix_exponent.
        const InterfaceEntries first = interface_at(0);
        Scaled<TransferMatrix> f{
            {first.inv_tau, first.rho_over_tau, first.rho_over_tau, first.inv_tau}};
        normalise(f);
        store_matrix(polarisation_of(layers_[1]).prefix, f.mantissa);
        prefix_exponent[1] = f.exponent;
        for (std::size_t k = 1; k + 1 < media; ++k) {
            f.mantissa =
                scaled_product_step(f.mantissa, phase[k].e_minus, phase[k].e_plus, interface_at(k));
            f.exponent += phase[k].exponent;
            normalise(f);
            store_matrix(polarisation_of(layers_[k + 1]).prefix, f.mantissa);
            prefix_exponent[k + 1] = f.exponent;
        }

        // r and t of the whole stack: r from the mantissas alone, t with the
        // exponent (it underflows to zero where no light gets through).
        const Complex m00 = f.mantissa.m00;
        const Complex reciprocal_m00 = reciprocal(m00);
        const Complex r = div(f.mantissa.m01, m00);
        const Complex t = scale_by_power_of_two(reciprocal_m00, -f.exponent);
        (s_polarisation ? pack_.r_s : pack_.r_p).set_lane(lane, r);
        (s_polarisation ? pack_.t_s : pack_.t_p).set_lane(lane, t);

        // Backward: the fields as mantissa (v, w) and exponent, starting from
        // t = (1/m00)·2^−exponent in the exit medium.
        Complex forward = reciprocal_m00;
        Complex backward = {0.0, 0.0};
        long exponent = -f.exponent;
        const auto store_fields = [&](std::size_t j) {
            SweepPolarisation& out = polarisation_of(layers_[j]);
            out.field.x0.set_lane(lane, scale_by_power_of_two(forward, exponent));
            out.field.x1.set_lane(lane, scale_by_power_of_two(backward, exponent));
            const long compensated = exponent + prefix_exponent[j];
            out.scaled_field.x0.set_lane(lane, scale_by_power_of_two(forward, compensated));
            out.scaled_field.x1.set_lane(lane, scale_by_power_of_two(backward, compensated));
        };
        store_fields(media - 1);
        for (std::size_t k = media - 2; k >= 1; --k) {
            const InterfaceEntries i = interface_at(k);
            const Complex forward_next = forward * i.inv_tau + backward * i.rho_over_tau;
            const Complex backward_next = forward * i.rho_over_tau + backward * i.inv_tau;
            forward = forward_next * phase[k].e_minus;
            backward = backward_next * phase[k].e_plus;
            exponent += phase[k].exponent;
            normalise({&forward, &backward}, exponent);
            store_fields(k);
        }
    }
}

}  // namespace lamiro
