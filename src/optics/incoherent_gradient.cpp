// SPDX-License-Identifier: MIT
#include "optics/incoherent_gradient.hpp"

#include <algorithm>
#include <array>

#include "optics/incoherent_stack.hpp"
#include "optics/layer_sweep.hpp"
#include "optics/power_coefficients.hpp"
#include "optics/spectrum_derivatives.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

namespace {

using power::PowerCoefficients;

// Partial derivatives of power::add(a, p, b) by each of its nine inputs:
// a[i][j] = ∂out_i/∂a_j, b[i][j] = ∂out_i/∂b_j, p[i] = ∂out_i/∂p, with the
// components in the order r, t, r_back, t_back. With D = 1 − a.r′·b.r·p²:
//     R  = a.r + a.t·a.t′·b.r·p²/D     T  = a.t·b.t·p/D
//     R′ = b.r′ + b.t′·b.t·a.r′·p²/D   T′ = b.t′·a.t′·p/D
struct AddPartials {
    double a[4][4] = {};
    double b[4][4] = {};
    double p[4] = {};
};

AddPartials add_partials(const PowerCoefficients& a, double p, const PowerCoefficients& b) {
    const double p2 = p * p;
    const double q = 1.0 / (1.0 - a.r_back * b.r * p2);  // 1/D
    const double q2 = q * q;
    const double u = a.r_back * b.r * p2;
    const double t = a.t * b.t * p * q;
    const double t_back = b.t_back * a.t_back * p * q;
    AddPartials d;
    // R
    d.a[0][0] = 1.0;
    d.a[0][1] = a.t_back * b.r * p2 * q;
    d.a[0][2] = a.t * a.t_back * b.r * b.r * p2 * p2 * q2;
    d.a[0][3] = a.t * b.r * p2 * q;
    d.b[0][0] = a.t * a.t_back * p2 * q2;
    d.p[0] = 2.0 * a.t * a.t_back * b.r * p * q2;
    // T
    d.a[1][1] = b.t * p * q;
    d.a[1][2] = t * b.r * p2 * q;
    d.b[1][0] = t * a.r_back * p2 * q;
    d.b[1][1] = a.t * p * q;
    d.p[1] = a.t * b.t * (1.0 + u) * q2;
    // R′
    d.a[2][2] = b.t_back * b.t * p2 * q2;
    d.b[2][0] = b.t_back * b.t * a.r_back * a.r_back * p2 * p2 * q2;
    d.b[2][1] = b.t_back * a.r_back * p2 * q;
    d.b[2][2] = 1.0;
    d.b[2][3] = b.t * a.r_back * p2 * q;
    d.p[2] = 2.0 * b.t_back * b.t * a.r_back * p * q2;
    // T′
    d.a[3][2] = t_back * b.r * p2 * q;
    d.a[3][3] = b.t_back * p * q;
    d.b[3][0] = t_back * a.r_back * p2 * q;
    d.b[3][3] = a.t_back * p * q;
    d.p[3] = b.t_back * a.t_back * (1.0 + u) * q2;
    return d;
}

// Rows R and T of the derivative of the total by one block's coefficients.
using BlockJacobian = std::array<std::array<double, 4>, 2>;

// ∂m00/m00 and ∂m01/m00 per unit of the thickness of layer j of a swept
// stack, for one lane (thickness_gradient.cpp derives them).
void row_derivative(const LayerSweep& sweep, const SweepPolarisation& state, std::size_t j, int i,
                    Complex& a0, Complex& a1) {
    const Complex v = state.scaled_field.x0.lane(i);
    const Complex w = state.scaled_field.x1.lane(i);
    const Complex i_kappa = mul_i(sweep.medium(j).kappa.lane(i));
    a0 = mul(i_kappa, sub(mul(w, state.prefix.m10.lane(i)), mul(v, state.prefix.m00.lane(i))));
    a1 = mul(i_kappa, sub(mul(w, state.prefix.m11.lane(i)), mul(v, state.prefix.m01.lane(i))));
}

// ∂|r|² and ∂|t|² from a0, a1 (spectrum_derivatives.hpp).
double reflected_change(Complex r, Complex a0, Complex a1) {
    const Complex dr = sub(a1, mul(r, a0));
    return 2.0 * (r.re * dr.re + r.im * dr.im);
}

double transmitted_change(Complex t, Complex a0) {
    return -2.0 * power::squared_modulus(t) * a0.re;
}

struct Sweeps {
    std::vector<std::unique_ptr<LayerSweep>> forward;
    std::vector<std::unique_ptr<LayerSweep>> backward;
};

// One polarisation of one wavelength: the derivatives of R and T with
// respect to every layer, added to dr[k] and dt[k] with the weight `mix`.
class PolarisationGradient {
public:
    PolarisationGradient(const IncoherentBlocks& blocks, const Sweeps& sweeps, bool p_polarised)
        : blocks_(blocks), sweeps_(sweeps), p_(p_polarised) {
        const std::size_t count = blocks.blocks().size();
        coefficients_.resize(count);
        from_front_.resize(count);
        from_back_.resize(count);
        pass_.resize(count);
        rate_.resize(count);
        changes_.resize(blocks.n().rows - 2);
    }

    void run(int lane, std::size_t w, double mix, double* dr, double* dt) {
        const auto& list = blocks_.blocks();
        const std::size_t count = list.size();
        const Complex b = sweeps_.forward[0]->pack().b.lane(lane);
        const double lambda = blocks_.wl()[w];
        for (std::size_t k = 0; k < count; ++k) block(k, lane, w, b);
        for (std::size_t k = 1; k < count; ++k) {
            const std::size_t layer = list[k].first;
            const power::MediumTerms m = power::medium_terms(blocks_.n()(layer, w), b);
            pass_[k] = power::single_pass(m, blocks_.d()[layer - 1], lambda);
            rate_[k] = power::single_pass_rate(m, lambda);
        }
        from_front_[0] = coefficients_[0];
        for (std::size_t k = 1; k < count; ++k) {
            from_front_[k] = power::add(from_front_[k - 1], pass_[k], coefficients_[k]);
        }
        from_back_[count - 1] = coefficients_[count - 1];
        for (std::size_t k = count - 1; k-- > 0;) {
            from_back_[k] = power::add(coefficients_[k], pass_[k + 1], from_back_[k + 1]);
        }

        for (std::size_t k = 0; k < count; ++k) {
            const BlockJacobian jacobian = block_jacobian(k);
            for (std::size_t layer = list[k].first; layer + 1 < list[k].last; ++layer) {
                const std::array<double, 4>& change = changes_[layer];
                for (int row = 0; row < 2; ++row) {
                    double sum = 0.0;
                    for (int c = 0; c < 4; ++c) sum += jacobian[row][c] * change[c];
                    (row == 0 ? dr : dt)[layer] += mix * sum;
                }
            }
            if (k == 0) continue;
            // The incoherent layer in front of block k, through its P.
            const AddPartials at = add_partials(from_front_[k - 1], pass_[k], from_back_[k]);
            const double pass_change = rate_[k] * pass_[k];
            const std::size_t layer = list[k].first - 1;
            dr[layer] += mix * (at.p[0] * pass_change);
            dt[layer] += mix * (at.p[1] * pass_change);
        }
    }

private:
    const SweepPolarisation& state(const LayerSweep& sweep, std::size_t j) const {
        return p_ ? sweep.layer(j).p : sweep.layer(j).s;
    }

    // The coefficients of block k and, for each of its layers, their
    // derivatives (changes_ at the layer's index in d).
    void block(std::size_t k, int lane, std::size_t w, Complex b) {
        const IncoherentBlocks::Block& block = blocks_.blocks()[k];
        const LayerSweep& forward = *sweeps_.forward[k];
        const LayerSweep& backward = *sweeps_.backward[k];
        const power::MediumTerms in = power::medium_terms(blocks_.n()(block.first, w), b);
        const power::MediumTerms out = power::medium_terms(blocks_.n()(block.last, w), b);
        const double flux_in = p_ ? power::flux_p(in) : power::flux_s(in);
        const double flux_out = p_ ? power::flux_p(out) : power::flux_s(out);
        const SweepPack& ahead = forward.pack();
        const SweepPack& back = backward.pack();
        const Complex r = (p_ ? ahead.r_p : ahead.r_s).lane(lane);
        const Complex t = (p_ ? ahead.t_p : ahead.t_s).lane(lane);
        const Complex r_back = (p_ ? back.r_p : back.r_s).lane(lane);
        const Complex t_back = (p_ ? back.t_p : back.t_s).lane(lane);
        coefficients_[k] = {
            power::squared_modulus(r), power::squared_modulus(t) * flux_out / flux_in,
            power::squared_modulus(r_back), power::squared_modulus(t_back) * flux_in / flux_out};
        const std::size_t media = block.last - block.first + 1;
        for (std::size_t j = 1; j + 1 < media; ++j) {
            Complex a0;
            Complex a1;
            row_derivative(forward, state(forward, j), j, lane, a0, a1);
            Complex b0;
            Complex b1;
            row_derivative(backward, state(backward, media - 1 - j), media - 1 - j, lane, b0, b1);
            changes_[block.first + j - 1] = {
                reflected_change(r, a0, a1),
                transmitted_change(t, a0) * flux_out / flux_in,
                reflected_change(r_back, b0, b1),
                transmitted_change(t_back, b0) * flux_in / flux_out,
            };
        }
    }

    // ∂(R, T of the whole stack)/∂(coefficients of block k): the sum of
    // everything in front, block k, and everything behind.
    BlockJacobian block_jacobian(std::size_t k) const {
        const std::size_t count = coefficients_.size();
        BlockJacobian jacobian{};
        if (count == 1) {
            jacobian[0][0] = 1.0;
            jacobian[1][1] = 1.0;
            return jacobian;
        }
        if (k + 1 == count) {
            const AddPartials outer = add_partials(from_front_[k - 1], pass_[k], coefficients_[k]);
            for (int row = 0; row < 2; ++row) {
                for (int c = 0; c < 4; ++c) jacobian[row][c] = outer.b[row][c];
            }
            return jacobian;
        }
        const AddPartials inner = add_partials(coefficients_[k], pass_[k + 1], from_back_[k + 1]);
        if (k == 0) {
            for (int row = 0; row < 2; ++row) {
                for (int c = 0; c < 4; ++c) jacobian[row][c] = inner.a[row][c];
            }
            return jacobian;
        }
        const AddPartials outer = add_partials(from_front_[k - 1], pass_[k], from_back_[k]);
        for (int row = 0; row < 2; ++row) {
            for (int c = 0; c < 4; ++c) {
                double sum = 0.0;
                for (int m = 0; m < 4; ++m) sum += outer.b[row][m] * inner.a[m][c];
                jacobian[row][c] = sum;
            }
        }
        return jacobian;
    }

    const IncoherentBlocks& blocks_;
    const Sweeps& sweeps_;
    bool p_;
    std::vector<PowerCoefficients> coefficients_;
    std::vector<PowerCoefficients> from_front_;  // blocks 0 … k added up
    std::vector<PowerCoefficients> from_back_;   // blocks k … last added up
    std::vector<double> pass_;                   // P of the layer in front of block k
    std::vector<double> rate_;                   // dP/dh / P of that layer
    std::vector<std::array<double, 4>> changes_;
};

// The rows first … last of n (the first W columns), in that order or
// reversed, as a matrix of their own.
ComplexMatrix block_rows(const ComplexMatrix& n, std::size_t first, std::size_t last,
                         std::size_t width, bool reversed) {
    const std::size_t rows = last - first + 1;
    OwnedBuffer<Complex> values = OwnedBuffer<Complex>::allocate(rows * width);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t source = reversed ? last - r : first + r;
        for (std::size_t c = 0; c < width; ++c) values[r * width + c] = n(source, c);
    }
    return ComplexMatrix{std::move(values), rows, width, static_cast<std::ptrdiff_t>(width), 1, 0};
}

RealVector block_thicknesses(const RealVector& d, std::size_t first, std::size_t last,
                             bool reversed) {
    const std::size_t layers = last - first - 1;
    OwnedBuffer<double> values = OwnedBuffer<double>::allocate(layers);
    for (std::size_t k = 0; k < layers; ++k) values[k] = d[reversed ? last - 2 - k : first + k];
    return RealVector::from_buffer(std::move(values));
}

}  // namespace

IncoherentBlocks::IncoherentBlocks(const RealVector& d, const ComplexMatrix& n,
                                   const RealVector& wl, std::span<const std::size_t> boundaries)
    : d_(d), n_(n), wl_(wl), boundaries_(OwnedBuffer<std::size_t>::allocate(boundaries.size())) {
    for (std::size_t i = 0; i < boundaries.size(); ++i) boundaries_[i] = boundaries[i];
    const std::size_t width = wl.size();
    for (std::size_t b = 0; b + 1 < boundaries.size(); ++b) {
        const std::size_t first = boundaries[b];
        const std::size_t last = boundaries[b + 1];
        blocks_.push_back({first, last, block_thicknesses(d, first, last, false),
                           block_thicknesses(d, first, last, true),
                           block_rows(n, first, last, width, false),
                           block_rows(n, first, last, width, true)});
    }
}

void IncoherentBlocks::invariant(double theta, Complex* out) const noexcept {
    const StackInvariant source = incidence_invariant(n_.view(), theta);
    for (std::size_t w = 0; w < wl_.size(); ++w) {
        const Complex beta = scale(source.source[w], source.sin_theta);
        out[w] = mul(beta, beta);
    }
}

void incoherent_gradient_range(const IncoherentBlocks& blocks, const Complex* invariant,
                               double theta, double phi, std::size_t begin, std::size_t end,
                               const GradientOutputs& out, KernelVariant variant) {
    if (begin >= end) return;
    const StackArrays stack{blocks.d().view(), blocks.n().view(), blocks.wl().view()};
    if (out.r != nullptr && out.t != nullptr) {
        incoherent_values(stack, blocks.boundaries(), theta, phi, begin, end, out.r + begin,
                          out.t + begin);
    }
    if (out.dr == nullptr && out.dt == nullptr) return;

    Sweeps sweeps;
    for (const IncoherentBlocks::Block& block : blocks.blocks()) {
        sweeps.forward.push_back(std::make_unique<LayerSweep>(
            SweepStack{block.d, block.n, blocks.wl(), theta, phi, invariant}, begin, end, variant));
        sweeps.backward.push_back(std::make_unique<LayerSweep>(
            SweepStack{block.d_reversed, block.n_reversed, blocks.wl(), theta, phi, invariant},
            begin, end, variant));
    }

    const std::size_t layers = blocks.n().rows - 2;
    const PolarisationMix mix = PolarisationMix::of(phi);
    PolarisationGradient s_gradient(blocks, sweeps, false);
    PolarisationGradient p_gradient(blocks, sweeps, true);
    std::vector<double> dr(layers);
    std::vector<double> dt(layers);
    sweeps.forward[0]->for_each_pack([&](const SweepPack& pack) {
        for (std::size_t b = 0; b < sweeps.forward.size(); ++b) {
            if (b != 0) sweeps.forward[b]->evaluate(pack.first, pack.lanes);
            sweeps.backward[b]->evaluate(pack.first, pack.lanes);
        }
        for (int lane = 0; lane < pack.lanes; ++lane) {
            const std::size_t w = pack.first + static_cast<std::size_t>(lane);
            std::fill(dr.begin(), dr.end(), 0.0);
            std::fill(dt.begin(), dt.end(), 0.0);
            // The p part first, as the spectra mix them.
            p_gradient.run(lane, w, mix.p, dr.data(), dt.data());
            s_gradient.run(lane, w, mix.s, dr.data(), dt.data());
            for (std::size_t k = 0; k < layers; ++k) {
                if (out.dr != nullptr) out.dr[k * out.stride + w] = dr[k];
                if (out.dt != nullptr) out.dt[k * out.stride + w] = dt[k];
            }
        }
    });
}

}  // namespace lamiro
