// SPDX-License-Identifier: MIT
// The needle function: the derivative of R and T with respect to the
// thickness δ of a thin layer of a candidate material m inserted at a depth
// inside the stack, at δ = 0.
//
// Inserting m at depth z' below the top of medium j (a layer, or the top of
// the exit medium) splits E_j(h) into E_j(h − z')·E_j(z') and puts the
// interfaces j→m and m→j with the phase matrix of m between them:
//     M(δ) = Q_j·E_j(h − z')·I_{m→j}·E_m(δ)·I_{j→m}·E_j(z')·F_{j−1},
// where Q_j is the product below the layer and F_{j−1} its prefix.
// I_{m→j}·I_{j→m} is the identity (τ_jm·τ_mj = 1 − ρ² and ρ_mj = −ρ_jm), so
// M(0) = M, and with ∂E_m/∂δ = iκ_m·diag(−1, 1) at δ = 0,
//     ∂M/∂δ = Q_j·E_j(h − z')·G·E_j(z')·F_{j−1},
//     G = iκ_m·I_{m→j}·diag(−1, 1)·I_{j→m}
//       = iκ_m/(1 − ρ²)·[[−(1 + ρ²), −2ρ], [2ρ, 1 + ρ²]],  ρ = ρ_jm.
// Both polarisations have ρ = (a − b)/(a + b): for s, a = K_j, b = K_m; for
// p, a = n_m·C_j, b = n_j·C_m. With ab = K_j·K_m and κ_m = 2π·K_m/λ,
//     G = γ·[[−σ, −δ], [δ, σ]],  σ = a² + b²,  δ = a² − b²,  γ = iπ/(λ·K_j),
// where a² and b² need only ε = n² and K² = ε − B of the candidate (for p,
// a² = ε_m·C_j², b² = ε_j·K_m²/ε_m): no square root of the candidate and
// no library call per candidate.
//
// Row 0 of Q_j·E_j(h − z') is m00·(v_j·e₊(z'), w_j·e₋(z')) (the field of
// medium j carried down by z') and E_j(z')·F_{j−1} has columns
// (e₋(z')·F[0, c], e₊(z')·F[1, c]). Since e₊·e₋ = 1 and e±(z')² = e±(2z'),
//     a_c = ∂m0c/m00 = γ·(σ·P_c + δ·Q_c),
//     P_c = w_j·F[1, c] − v_j·F[0, c],
//     Q_c = w_j·F[0, c]·e₋(2z') − v_j·F[1, c]·e₊(2z'),
// which spectrum_derivatives.hpp turns into ∂R/∂δ and ∂T/∂δ. P_c is the
// thickness gradient's row change, and for m = j (σ = 2K_j², δ = 0) a_c
// reduces to the thickness derivative iκ_j·P_c, as it must. Per depth one
// pair of phase factors (none on an interface), per candidate a few
// products: hundreds of depths cost about as much as a few sweeps.
//
// Why derivatives per wavelength, and a merit reduction beside them: a
// design program's merit is some function of the R and T spectra (targets,
// weights, tolerances, colour, several angles), so the derivatives per
// wavelength let the caller chain any merit itself. Their memory is
// C·Z·W values, which for many depths and long spectra is large; the merit
// form takes the merit's derivatives with respect to R_w and T_w (any
// merit of the spectra has them) and returns one value per candidate and
// depth, the quantity the needle method scans.
#include "optics/needle_function.hpp"

#include <math.h>  // ::sincos

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/internal_fault.hpp"
#include "optics/layer_phase.hpp"
#include "optics/layer_sweep_pass.hpp"
#include "optics/scaled_phase.hpp"
#include "optics/spectrum_derivatives.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

using packed::Pack;
using packed::PackedComplex;

constexpr double pi = 3.141592653589793;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Where a depth falls: medium j (1 … N−1) and the offset below its top.
struct Host {
    std::size_t medium;
    double offset;
    bool valid;
};

// The first medium whose bottom lies below the depth (strictly), so a depth
// on an interface lands at offset 0 in the medium below it; the bottom of
// the stack lands at the top of the exit medium.
std::vector<Host> find_hosts(const SweepStack& stack, const RealView& depths) {
    const std::size_t layers = stack.n.rows - 2;
    std::vector<double> bottom(layers);
    double top = 0.0;
    bool ascending = true;
    for (std::size_t k = 0; k < layers; ++k) {
        ascending = ascending && stack.d[k] >= 0.0;
        top = top + stack.d[k];
        bottom[k] = top;
    }
    const double total = top;
    std::vector<Host> hosts(depths.size());
    for (std::size_t z = 0; z < depths.size(); ++z) {
        const double depth = depths[z];
        if (!(depth >= 0.0 && depth <= total)) {
            hosts[z] = {0, 0.0, false};
            continue;
        }
        std::size_t k = 0;
        if (ascending) {
            k = static_cast<std::size_t>(std::upper_bound(bottom.begin(), bottom.end(), depth) -
                                         bottom.begin());
        } else {
            while (k < layers && !(depth < bottom[k])) ++k;
        }
        const double layer_top = k == 0 ? 0.0 : bottom[k - 1];
        hosts[z] = {k + 1, depth - layer_top, true};
    }
    return hosts;
}

// ε, K² and C² of a candidate at the wavelengths of a pack.
struct CandidateLanes {
    LaneComplex epsilon, k2, c2;
};

// What a candidate contributes in one host medium, for one polarisation:
// a_c = g_c + gd·Q_c with g_c = γσ·P_c and gd = γδ, so that a depth costs
// two products per column.
struct CandidateInHost {
    LaneComplex gd, g0, g1;
};

struct NeedleRun {
    const NeedleInput& input;
    std::vector<Host> hosts;
    // Valid depths ordered by their host medium, and where each host's
    // depths begin in that order (groups[j] … groups[j + 1] for medium j).
    std::vector<std::size_t> order;
    std::vector<std::size_t> groups;
    std::vector<CandidateLanes> candidates;
    std::vector<CandidateInHost> in_host;  // 2 per candidate: S, P
    PolarisationMix mix;
    NeedleOutputs out;
    NeedleMerit merit;
    bool reduce;
};

void order_by_host(NeedleRun& run, std::size_t media) {
    run.groups.assign(media + 1, 0);
    for (const Host& host : run.hosts) {
        if (host.valid) ++run.groups[host.medium + 1];
    }
    for (std::size_t j = 1; j <= media; ++j) run.groups[j] += run.groups[j - 1];
    run.order.resize(run.groups[media]);
    std::vector<std::size_t> next(run.groups.begin(), run.groups.end() - 1);
    for (std::size_t z = 0; z < run.hosts.size(); ++z) {
        if (run.hosts[z].valid) run.order[next[run.hosts[z].medium]++] = z;
    }
}

// The terms of one polarisation at the top of medium j: P_c and the two
// products of Q_c before the phase factors.
template <int L>
struct RowTerms {
    PackedComplex<L> p0, p1;  // P_c
    PackedComplex<L> a0, a1;  // w·F[0, c]
    PackedComplex<L> b0, b1;  // v·F[1, c]
};

template <int L>
LAMIRO_PACKED_INLINE RowTerms<L> row_terms(const SweepPolarisation& state) {
    using packed::load;
    using packed::mul;
    const PackedComplex<L> v = load<L>(state.scaled_field.x0);
    const PackedComplex<L> w = load<L>(state.scaled_field.x1);
    const PackedComplex<L> f00 = load<L>(state.prefix.m00);
    const PackedComplex<L> f01 = load<L>(state.prefix.m01);
    const PackedComplex<L> f10 = load<L>(state.prefix.m10);
    const PackedComplex<L> f11 = load<L>(state.prefix.m11);
    RowTerms<L> terms;
    terms.a0 = mul(w, f00);
    terms.a1 = mul(w, f01);
    terms.b0 = mul(v, f10);
    terms.b1 = mul(v, f11);
    terms.p0 = packed::sub(mul(w, f10), mul(v, f00));
    terms.p1 = packed::sub(mul(w, f11), mul(v, f01));
    return terms;
}

// e₊ = exp((κ·i)·s) and e₋ = 1/e₊ of the host medium for s = 2z', with one
// exp and one sincos per lane (the needle function is not tied to the
// kernel's bits). wide[i] is set where the real part of the exponent is
// so large that e± or their products with the fields may leave binary64.
template <int L>
LAMIRO_PACKED_INLINE void depth_phase(const PackedComplex<L>& kappa, double s,
                                      PackedComplex<L>& e_plus, PackedComplex<L>& e_minus,
                                      bool (&wide)[L]) {
    const PackedComplex<L> exponent = packed::scale(packed::mul_i(kappa), s);
    double magnitude[L];
    double sine[L];
    double cosine[L];
    for (int i = 0; i < L; ++i) {
        ::sincos(exponent.im[i], &sine[i], &cosine[i]);
        magnitude[i] = exp_or_one(exponent.re[i]);
        wide[i] = !(std::fabs(exponent.re[i]) < 600.0);
    }
    const auto pack = [](const double(&values)[L]) LAMIRO_PACKED_LAMBDA {
        return packed::make_pack<L>([&](int i) LAMIRO_PACKED_LAMBDA { return values[i]; });
    };
    const Pack<L> e = pack(magnitude);
    const Pack<L> inverse = 1.0 / e;
    const Pack<L> c = pack(cosine);
    const Pack<L> sn = pack(sine);
    e_plus = {e * c, e * sn};
    e_minus = {inverse * c, -(inverse * sn)};
}

template <int L>
LAMIRO_PACKED_INLINE void emit(NeedleRun& run, const SweepPack& pack, bool any_rescued,
                               std::size_t slot, Pack<L> d_r, Pack<L> d_t) {
    // In a wavelength swept with scaling a value can still leave the range
    // of binary64 (a phase factor far beyond what the reduction covers, a
    // field that grows without bound in a gain medium); it is then unknown,
    // not infinite.
    if (any_rescued) {
        for (int i = 0; i < L; ++i) {
            if (pack.rescued[i] && !(std::isfinite(d_r[i]) && std::isfinite(d_t[i]))) {
                d_r[i] = nan;
                d_t[i] = nan;
            }
        }
    }
    if (run.reduce) {
        double& sum = run.merit.merit[slot];
        for (int i = 0; i < L; ++i) {
            const std::size_t w = pack.first + static_cast<std::size_t>(i);
            if (run.merit.weight_r != nullptr) sum += run.merit.weight_r[w] * d_r[i];
            if (run.merit.weight_t != nullptr) sum += run.merit.weight_t[w] * d_t[i];
        }
        return;
    }
    const std::size_t at = slot * run.out.stride + pack.first;
    if (run.out.dr != nullptr) packed::store<L>(d_r, run.out.dr + at);
    if (run.out.dt != nullptr) packed::store<L>(d_t, run.out.dt + at);
}

template <int L>
LAMIRO_PACKED_INLINE void needle_pack(const LayerSweep& sweep, NeedleRun& run) {
    using packed::add;
    using packed::load;
    using packed::mul;
    using packed::sub;
    const SweepPack& pack = sweep.pack();
    const std::size_t w0 = pack.first;
    const std::size_t depths = run.hosts.size();
    const std::size_t candidates = run.candidates.size();
    bool any_rescued = false;
    for (int i = 0; i < L; ++i) any_rescued = any_rescued || pack.rescued[i];

    for (std::size_t z = 0; z < depths; ++z) {
        if (run.hosts[z].valid) continue;
        const Pack<L> unknown = packed::splat<L>(nan);
        for (std::size_t c = 0; c < candidates; ++c) {
            emit<L>(run, pack, any_rescued, c * depths + z, unknown, unknown);
        }
    }
    if (run.order.empty()) return;

    const Pack<L> lambda = load<L>(pack.lambda);
    const PackedComplex<L> b = load<L>(pack.b);
    for (std::size_t c = 0; c < candidates; ++c) {
        const PackedComplex<L> n = packed::load_index<L>(run.input.materials, c, w0);
        const PackedComplex<L> epsilon = mul(n, n);
        const PackedComplex<L> k2 = sub(epsilon, b);
        packed::store<L>(epsilon, run.candidates[c].epsilon);
        packed::store<L>(k2, run.candidates[c].k2);
        packed::store<L>(packed::div(k2, epsilon), run.candidates[c].c2);
    }
    const PackedComplex<L> r_s = load<L>(pack.r_s);
    const PackedComplex<L> t_s = load<L>(pack.t_s);
    const PackedComplex<L> r_p = load<L>(pack.r_p);
    const PackedComplex<L> t_p = load<L>(pack.t_p);
    const Pack<L> exit_factor = load<L>(pack.exit_factor);

    for (std::size_t j = 1; j < sweep.media(); ++j) {
        const std::size_t first = run.groups[j];
        const std::size_t last = run.groups[j + 1];
        if (first == last) continue;
        const SweepMedium& medium = sweep.medium(j);
        const SweepLayer& layer = sweep.layer(j);
        const RowTerms<L> s = row_terms<L>(layer.s);
        const RowTerms<L> p = row_terms<L>(layer.p);

        // γ = iπ/(λ·K_j) and, per candidate and polarisation, γσ·P_c and γδ.
        const PackedComplex<L> k = load<L>(medium.k);
        const PackedComplex<L> n = load<L>(medium.n);
        const PackedComplex<L> c_host = load<L>(medium.c);
        const PackedComplex<L> k2 = mul(k, k);
        const PackedComplex<L> epsilon = mul(n, n);
        const PackedComplex<L> c2 = mul(c_host, c_host);
        const PackedComplex<L> gamma = packed::mul_i(packed::div_real(
            packed::scale(packed::reciprocal(k, packed::quotient_denominator(k)), pi), lambda));
        for (std::size_t c = 0; c < candidates; ++c) {
            const CandidateLanes& candidate = run.candidates[c];
            const auto prepare = [&](const PackedComplex<L>& a2, const PackedComplex<L>& b2,
                                     const RowTerms<L>& terms,
                                     CandidateInHost& out) LAMIRO_PACKED_LAMBDA {
                const PackedComplex<L> gamma_sigma = mul(gamma, add(a2, b2));
                packed::store<L>(mul(gamma, sub(a2, b2)), out.gd);
                packed::store<L>(mul(gamma_sigma, terms.p0), out.g0);
                packed::store<L>(mul(gamma_sigma, terms.p1), out.g1);
            };
            prepare(k2, load<L>(candidate.k2), s, run.in_host[2 * c]);
            prepare(mul(load<L>(candidate.epsilon), c2), mul(epsilon, load<L>(candidate.c2)), p,
                    run.in_host[2 * c + 1]);
        }

        for (std::size_t i = first; i < last; ++i) {
            const std::size_t z = run.order[i];
            const double offset = run.hosts[z].offset;
            PackedComplex<L> q_s0 = sub(s.a0, s.b0);
            PackedComplex<L> q_s1 = sub(s.a1, s.b1);
            PackedComplex<L> q_p0 = sub(p.a0, p.b0);
            PackedComplex<L> q_p1 = sub(p.a1, p.b1);
            if (offset != 0.0) {
                PackedComplex<L> e_plus;
                PackedComplex<L> e_minus;
                bool wide[L];
                depth_phase<L>(load<L>(medium.kappa), 2.0 * offset, e_plus, e_minus, wide);
                q_s0 = sub(mul(s.a0, e_minus), mul(s.b0, e_plus));
                q_s1 = sub(mul(s.a1, e_minus), mul(s.b1, e_plus));
                q_p0 = sub(mul(p.a0, e_minus), mul(p.b0, e_plus));
                q_p1 = sub(mul(p.a1, e_minus), mul(p.b1, e_plus));
                for (int lane = 0; lane < L; ++lane) {
                    if (!wide[lane]) continue;
                    // e±(2z') beyond what binary64 holds comfortably (a
                    // scaled wavelength's thick lossy layer): take them with
                    // their exponent apart, which the products with the
                    // compensated fields and prefixes bring back.
                    const ScaledPhase phase = scaled_phase(medium.kappa.lane(lane), 2.0 * offset);
                    const auto patch = [&](PackedComplex<L>& q, const PackedComplex<L>& a,
                                           const PackedComplex<L>& b) LAMIRO_PACKED_LAMBDA {
                        const Complex value = packed::lane(a, lane) * phase.e_minus -
                                              packed::lane(b, lane) * phase.e_plus;
                        q.re[lane] = std::scalbln(value.re, phase.exponent);
                        q.im[lane] = std::scalbln(value.im, phase.exponent);
                    };
                    patch(q_s0, s.a0, s.b0);
                    patch(q_s1, s.a1, s.b1);
                    patch(q_p0, p.a0, p.b0);
                    patch(q_p1, p.a1, p.b1);
                }
            }
            for (std::size_t c = 0; c < candidates; ++c) {
                const auto change = [&](const CandidateInHost& terms, const PackedComplex<L>& q0,
                                        const PackedComplex<L>& q1, const PackedComplex<L>& r,
                                        const PackedComplex<L>& t) LAMIRO_PACKED_LAMBDA {
                    const PackedComplex<L> gd = load<L>(terms.gd);
                    return packed::intensity_change(add(load<L>(terms.g0), mul(gd, q0)),
                                                    add(load<L>(terms.g1), mul(gd, q1)), r, t);
                };
                const auto s_change = change(run.in_host[2 * c], q_s0, q_s1, r_s, t_s);
                const auto p_change = change(run.in_host[2 * c + 1], q_p0, q_p1, r_p, t_p);
                Pack<L> d_r;
                Pack<L> d_t;
                packed::mix_changes(s_change, p_change, run.mix, exit_factor, d_r, d_t);
                emit<L>(run, pack, any_rescued, c * depths + z, d_r, d_t);
            }
        }
    }
}

struct NeedlePacks {
    NeedleRun& run;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(const LayerSweep& sweep) const {
        needle_pack<L>(sweep, run);
    }
};

void run_needles(const SweepStack& stack, const NeedleInput& needles, std::size_t begin,
                 std::size_t end, NeedleRun& run, KernelVariant variant) {
    LayerSweep sweep(stack, begin, end, variant);
    if (needles.materials.rows > 0 && end - 1 >= needles.materials.cols) {
        throw_index_out_of_bounds();
    }
    run.hosts = find_hosts(stack, needles.depths);
    order_by_host(run, sweep.media());
    run.candidates.resize(needles.materials.rows);
    run.in_host.resize(2 * needles.materials.rows);
    sweep_packs(sweep, NeedlePacks{run});
}

}  // namespace

void needle_range(const SweepStack& stack, const NeedleInput& needles, std::size_t begin,
                  std::size_t end, const NeedleOutputs& out, KernelVariant variant) {
    if (begin >= end) return;
    NeedleRun run{needles, {}, {}, {}, {}, {}, PolarisationMix::of(stack.phi), out, {}, false};
    run_needles(stack, needles, begin, end, run, variant);
}

void needle_merit_range(const SweepStack& stack, const NeedleInput& needles, std::size_t begin,
                        std::size_t end, const NeedleMerit& out, KernelVariant variant) {
    std::fill_n(out.merit, needles.materials.rows * needles.depths.size(), 0.0);
    if (begin >= end) return;
    NeedleRun run{needles, {}, {}, {}, {}, {}, PolarisationMix::of(stack.phi), {}, out, true};
    run_needles(stack, needles, begin, end, run, variant);
}

}  // namespace lamiro
