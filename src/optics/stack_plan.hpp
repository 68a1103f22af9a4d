// SPDX-License-Identifier: MIT
#pragma once

// What repeats in a stack over one run of wavelengths, found before the
// pair kernel evaluates the run, so that each repeated piece of work is done
// once per pack instead of once per layer.
//
// Designs reuse a few materials for many layers, and mirrors repeat
// identical pairs of layers. Every real function the kernel calls is a pure
// function, so operands with equal bits give results with equal bits: the
// terms of a medium (K, C, n·C, κ) depend only on its row of `n`, the entries
// of an interface only on the two media it joins, and the phase factors of a
// layer only on its medium and the bits of its thickness. Reusing them is
// exact by construction. Equal means equal bits, never equal values: −0.0
// and +0.0, or two NaN payloads, are different media, because the
// arithmetic can tell them apart (the sign of a zero imaginary part picks the
// side of the square root's branch cut).
//
// The plan only names the pieces; the pair kernel computes them per pack and
// still runs the product chain M = I_k·(E_k·M) layer by layer in order.
// It lives on the caller's stack and allocates nothing.

#include <cstddef>
#include <cstdint>

#include "optics/owned_array.hpp"

namespace lamiro {

// When a run is planned.
enum class Planning : unsigned char {
    off,        // never: every layer is computed in full (the unplanned kernel)
    automatic,  // when some medium repeats and the plan can hold the stack
    always,     // whenever the plan can hold the stack, even with nothing repeated
};

class StackPlan {
public:
    // Capacities of a plan. A stack with more distinct media, or more media
    // in all, runs unplanned; interfaces and shared phases beyond their
    // capacity are computed where they are used.
    static constexpr std::size_t max_media = 16;
    static constexpr std::size_t max_rows = 1024;
    static constexpr std::size_t max_interfaces = 32;
    static constexpr std::size_t max_shared_phases = 32;

    // A slot that is not kept: the value is computed where it is used.
    static constexpr std::uint8_t not_kept = 0xFF;

    // What row j of `n` (medium j of the stack) uses.
    struct Row {
        std::uint8_t medium;     // its distinct medium, 0 … media_count() − 1
        std::uint8_t interface;  // slot of the interface from medium j to j+1, or not_kept
        std::uint8_t phase;      // slot of the phase factors of layer j, or not_kept
    };

    // An interface kept per pack: from one distinct medium to another.
    struct Interface {
        std::uint8_t from;
        std::uint8_t to;
    };

    // Phase factors kept per pack: those of a distinct medium with a given
    // thickness, which two or more layers share.
    struct SharedPhase {
        std::uint8_t medium;
        double thickness;
    };

    // Plans the stack for the wavelengths [begin, end), which the caller
    // has checked to be readable in `n` (and `d` to hold N − 2 entries).
    // Returns false, and leaves the plan unusable, when the run should go
    // unplanned: planning off, more media than the plan holds, or (with
    // Planning::automatic) no medium used twice.
    bool build(const RealView& d, const ComplexView& n, std::size_t begin, std::size_t end,
               Planning planning) noexcept;
    bool build(const RealVector& d, const ComplexMatrix& n, std::size_t begin, std::size_t end,
               Planning planning) noexcept {
        return build(d.view(), n.view(), begin, end, planning);
    }

    std::size_t rows() const noexcept { return rows_; }
    const Row& row(std::size_t j) const noexcept { return row_[j]; }

    std::size_t media_count() const noexcept { return media_; }
    // The first row of `n` holding distinct medium m.
    std::size_t representative_row(std::size_t m) const noexcept { return representative_[m]; }
    // True when some layer (not only the incidence or exit medium) is of
    // medium m, so that its phase terms are needed.
    bool is_layer(std::size_t m) const noexcept { return is_layer_[m]; }

    std::size_t interface_count() const noexcept { return interfaces_; }
    const Interface& interface(std::size_t slot) const noexcept { return interface_[slot]; }

    std::size_t shared_phase_count() const noexcept { return shared_phases_; }
    const SharedPhase& shared_phase(std::size_t slot) const noexcept { return shared_phase_[slot]; }

private:
    bool find_media(const ComplexView& n, std::size_t begin, std::size_t end) noexcept;
    void find_interfaces() noexcept;
    void find_shared_phases(const RealView& d) noexcept;

    std::size_t rows_ = 0;
    std::size_t media_ = 0;
    std::size_t interfaces_ = 0;
    std::size_t shared_phases_ = 0;
    Row row_[max_rows];
    std::size_t representative_[max_media];
    bool is_layer_[max_media];
    Interface interface_[max_interfaces];
    SharedPhase shared_phase_[max_shared_phases];
};

}  // namespace lamiro
