// SPDX-License-Identifier: MIT
#pragma once

// The matrix pairs of a run of wavelengths, evaluated a chunk at a time
// into a buffer on the evaluating thread's stack and handed on at once, for
// the quantities that are computed from the pairs and stored instead of
// them (amplitudes, ellipsometric angles). Nothing is allocated, and each
// chunk is used while it is still in cache.

#include <cstddef>
#include <span>

#include "optics/stack_matrix_pair.hpp"

namespace lamiro {

// Pairs per chunk: 8 KiB, a multiple of every pack width.
inline constexpr std::size_t pair_chunk = 64;

// consume(w0, pairs) for consecutive chunks of [begin, end): pairs[i] is
// the pair of wavelength w0 + i. Throws the kernel's index fault before
// consuming anything that cannot be read.
template <class Consume>
void for_pair_chunks(const StackArrays& stack, const StackInvariant& invariant, std::size_t begin,
                     std::size_t end, Consume&& consume) {
    MatrixPair pairs[pair_chunk];
    const KernelChoice choice = default_kernel_choice();
    for (std::size_t w = begin; w < end;) {
        const std::size_t count = end - w < pair_chunk ? end - w : pair_chunk;
        stack_matrix_pairs(choice, stack, invariant, w, w + count, pairs);
        consume(w, std::span<const MatrixPair>(pairs, count));
        w += count;
    }
}

}  // namespace lamiro
