// SPDX-License-Identifier: MIT
#include "optics/stack_plan.hpp"

#include <bit>
#include <cstring>

namespace lamiro {

namespace {

// True when rows a and b of `n` hold the same 16-byte patterns at every
// column of [begin, end). Contiguous rows are compared as one block; a
// difference usually shows in the first column, where the comparison stops.
bool same_row_bits(const ComplexView& n, std::size_t a, std::size_t b, std::size_t begin,
                   std::size_t end) noexcept {
    const auto position = [&](std::size_t row) {
        return static_cast<std::ptrdiff_t>(row) * n.row_stride +
               static_cast<std::ptrdiff_t>(begin) * n.col_stride;
    };
    const Complex* row_a = n.first + position(a);
    const Complex* row_b = n.first + position(b);
    if (row_a == row_b) return true;
    const std::size_t count = end - begin;
    if (n.col_stride == 1) return std::memcmp(row_a, row_b, count * sizeof(Complex)) == 0;
    for (std::size_t c = 0; c < count; ++c) {
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(c) * n.col_stride;
        if (std::memcmp(row_a + offset, row_b + offset, sizeof(Complex)) != 0) return false;
    }
    return true;
}

}  // namespace

bool StackPlan::build(const RealView& d, const ComplexView& n, std::size_t begin, std::size_t end,
                      Planning planning) noexcept {
    media_ = 0;
    interfaces_ = 0;
    shared_phases_ = 0;
    rows_ = n.rows;
    if (planning == Planning::off || rows_ > max_rows || begin >= end) return false;
    if (!find_media(n, begin, end)) return false;
    // Every medium distinct: nothing to share, and the unplanned kernel,
    // which keeps everything in registers, is the faster one.
    if (planning == Planning::automatic && media_ == rows_) return false;
    find_interfaces();
    find_shared_phases(d);
    return true;
}

bool StackPlan::find_media(const ComplexView& n, std::size_t begin, std::size_t end) noexcept {
    for (std::size_t j = 0; j < rows_; ++j) {
        std::size_t m = 0;
        while (m < media_ && !same_row_bits(n, j, representative_[m], begin, end)) ++m;
        if (m == media_) {
            if (media_ == max_media) return false;
            representative_[media_] = j;
            is_layer_[media_] = false;
            ++media_;
        }
        row_[j] = {static_cast<std::uint8_t>(m), not_kept, not_kept};
    }
    for (std::size_t k = 1; k + 1 < rows_; ++k) is_layer_[row_[k].medium] = true;
    return true;
}

// Every distinct interface gets a slot while slots last.
void StackPlan::find_interfaces() noexcept {
    std::uint8_t slot_of[max_media][max_media];
    std::memset(slot_of, not_kept, sizeof slot_of);
    for (std::size_t a = 0; a + 1 < rows_; ++a) {
        const std::uint8_t from = row_[a].medium;
        const std::uint8_t to = row_[a + 1].medium;
        std::uint8_t& slot = slot_of[from][to];
        if (slot == not_kept && interfaces_ < max_interfaces) {
            slot = static_cast<std::uint8_t>(interfaces_);
            interface_[interfaces_++] = {from, to};
        }
        row_[a].interface = slot;
    }
}

// Layers with the same medium and the same thickness bits share their phase
// factors (0.0 and −0.0 are different thicknesses: the sign of the zero
// reaches the exponent). The first candidates_capacity distinct pairs are
// counted; those used by two layers or more get a slot while slots last.
void StackPlan::find_shared_phases(const RealView& d) noexcept {
    constexpr std::size_t candidates_capacity = 2 * max_shared_phases;
    struct Candidate {
        std::uint8_t medium;
        std::uint64_t thickness_bits;
        std::size_t uses;
    };
    Candidate candidate[candidates_capacity];
    std::size_t candidates = 0;
    for (std::size_t k = 1; k + 1 < rows_; ++k) {
        const std::uint8_t medium = row_[k].medium;
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(d[k - 1]);
        std::size_t c = 0;
        while (c < candidates &&
               (candidate[c].medium != medium || candidate[c].thickness_bits != bits)) {
            ++c;
        }
        if (c == candidates) {
            if (candidates == candidates_capacity) continue;  // stays not_kept
            candidate[candidates++] = {medium, bits, 0};
        }
        ++candidate[c].uses;
        row_[k].phase = static_cast<std::uint8_t>(c);  // the candidate, until renumbered below
    }
    std::uint8_t slot_of[candidates_capacity];
    for (std::size_t c = 0; c < candidates; ++c) {
        slot_of[c] = not_kept;
        if (candidate[c].uses >= 2 && shared_phases_ < max_shared_phases) {
            slot_of[c] = static_cast<std::uint8_t>(shared_phases_);
            shared_phase_[shared_phases_++] = {candidate[c].medium,
                                               std::bit_cast<double>(candidate[c].thickness_bits)};
        }
    }
    for (std::size_t k = 1; k + 1 < rows_; ++k) {
        if (row_[k].phase != not_kept) row_[k].phase = slot_of[row_[k].phase];
    }
}

}  // namespace lamiro
