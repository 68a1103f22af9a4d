// SPDX-License-Identifier: MIT
#include "optics/layer_sweep.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>

#include "common/internal_fault.hpp"
#include "optics/layer_sweep_pass.hpp"
#include "optics/stack_plan.hpp"

// Packs of four only cross always_inline calls inside AVX2 code (see
// packed_complex.hpp).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace lamiro {

namespace {

// The invariant the sweep starts from: the caller's, or that of incidence
// from row 0 at θ.
StackInvariant invariant_of(const SweepStack& stack) noexcept {
    if (stack.invariant.beta.source.first != nullptr) return stack.invariant.beta;
    return incidence_invariant(stack.n, stack.theta);
}

// Only the sweep of each pack.
struct SweepOnly {
    template <int L>
    LAMIRO_PACKED_INLINE void pack(const LayerSweep&) const {}
};

// Calls a function after each pack, outside the packed code.
struct CallAfterEachPack {
    const std::function<void(const SweepPack&)>& f;

    template <int L>
    LAMIRO_PACKED_INLINE void pack(const LayerSweep& sweep) const {
        f(sweep.pack());
    }
};

}  // namespace

LayerSweep::LayerSweep(const SweepStack& stack, std::size_t begin, std::size_t end,
                       KernelVariant variant)
    : stack_(stack),
      media_(stack.n.rows),
      begin_(begin),
      end_(end),
      variant_(std::min(variant, best_kernel_variant())),
      sin_theta_(std::sin(stack.theta)),
      cos_theta_(std::cos(stack.theta)),
      invariant_(invariant_of(stack)) {
    if (begin >= end) return;
    check_stack_reads({stack.d, stack.n, stack.wl}, invariant_, end);
    plan(begin, end);
    layers_.resize(media_);
}

void LayerSweep::evaluate(std::size_t w0, int lanes) {
    KernelVariant width;
    switch (lanes) {
        case 4:
            width = KernelVariant::avx2;
            break;
        case 2:
            width = KernelVariant::sse2;
            break;
        case 1:
            width = KernelVariant::scalar;
            break;
        default:
            throw InternalFault("layer sweep: unsupported pack width");
    }
    if (width > variant_ || w0 < begin_ || w0 > end_ ||
        end_ - w0 < static_cast<std::size_t>(lanes)) {
        throw InternalFault("layer sweep: pack outside the range or wider than the variant");
    }
    // Exactly one pack of that width, since the run holds `lanes` wavelengths.
    run_packs<KernelVariant::avx2>(width, SweepPacks<SweepOnly>{*this, SweepOnly{}}, w0,
                                   w0 + static_cast<std::size_t>(lanes));
}

void LayerSweep::for_each_pack(const std::function<void(const SweepPack&)>& f) {
    sweep_packs(*this, CallAfterEachPack{f});
}

// Media whose rows hold the same bits over the range share their terms,
// interfaces between the same two media share their entries, and layers of
// the same medium and thickness bits share their phase factors: every value
// is a pure function of operands with those bits, so sharing is exact.
void LayerSweep::plan(std::size_t begin, std::size_t end) {
    StackPlan plan;
    medium_of_.resize(media_);
    if (plan.build(stack_.d, stack_.n, begin, end, Planning::always)) {
        for (std::size_t m = 0; m < plan.media_count(); ++m) {
            representative_.push_back(plan.representative_row(m));
        }
        for (std::size_t j = 0; j < media_; ++j) medium_of_[j] = plan.row(j).medium;
    } else {
        for (std::size_t j = 0; j < media_; ++j) {
            representative_.push_back(j);
            medium_of_[j] = j;
        }
    }
    const std::size_t distinct = representative_.size();

    // Interfaces a (a to a+1) and layers k sorted by what they depend on,
    // so that equal ones fall next to each other and share one slot.
    std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> interfaces;
    for (std::size_t a = 0; a + 1 < media_; ++a) {
        interfaces.emplace_back(medium_of_[a], medium_of_[a + 1], a);
    }
    std::sort(interfaces.begin(), interfaces.end());
    interface_of_.resize(media_ - 1);
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const auto [from, to, a] = interfaces[i];
        if (i == 0 || std::get<0>(interfaces[i - 1]) != from ||
            std::get<1>(interfaces[i - 1]) != to) {
            interface_media_.push_back({from, to});
        }
        interface_of_[a] = interface_media_.size() - 1;
    }

    // Thicknesses compare by their bits: 0.0 and −0.0 are different
    // thicknesses, the sign of the zero reaches the exponent.
    std::vector<std::tuple<std::size_t, std::uint64_t, std::size_t>> layers;
    for (std::size_t k = 1; k + 1 < media_; ++k) {
        layers.emplace_back(medium_of_[k], std::bit_cast<std::uint64_t>(stack_.d[k - 1]), k);
    }
    std::sort(layers.begin(), layers.end());
    phase_of_.assign(media_ > 2 ? media_ - 1 : 1, 0);  // index 0 unused
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const auto [medium, bits, k] = layers[i];
        if (i == 0 || std::get<0>(layers[i - 1]) != medium || std::get<1>(layers[i - 1]) != bits) {
            phase_source_.push_back({medium, stack_.d[k - 1]});
        }
        phase_of_[k] = phase_source_.size() - 1;
    }

    media_terms_.resize(distinct);
    interfaces_.resize(interface_media_.size());
    phases_.resize(phase_source_.size());
}

}  // namespace lamiro
