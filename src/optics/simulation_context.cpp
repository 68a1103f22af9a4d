// SPDX-License-Identifier: MIT
#include "optics/simulation_context.hpp"

#include <atomic>
#include <string>
#include <utility>

#include "common/internal_fault.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "pool/worker_pool.hpp"

namespace lamiro {

SimulationContext::SimulationContext(RealVector d, ComplexMatrix n, RealVector wl, double theta,
                                     double phi)
    : d_(std::move(d)), n_(std::move(n)), wl_(std::move(wl)), theta_(theta), phi_(phi) {}

std::span<const MatrixPair> SimulationContext::matrix_pairs() {
    if (!cache_) {
        OwnedBuffer<MatrixPair> pairs = evaluate_matrix_pairs();
        if (cache_) {
            throw InternalFault("reentrant init");
        }
        cache_.emplace(std::move(pairs));
    }
    return {cache_->data(), cache_->size()};
}

OwnedBuffer<double> SimulationContext::reflectance() {
    return reflectance_spectrum(matrix_pairs(), phi_);
}

OwnedBuffer<double> SimulationContext::transmittance() {
    return transmittance_spectrum(matrix_pairs(), n_, theta_, phi_);
}

OwnedBuffer<MatrixPair> SimulationContext::evaluate_matrix_pairs() const {
    // Both polarisations of a wavelength come out of one pass of the kernel,
    // straight into the pair list, each matrix with the bits of its own
    // single-polarisation evaluation.
    const std::size_t count = wl_.size();
    OwnedBuffer<MatrixPair> pairs = OwnedBuffer<MatrixPair>::allocate(count);
    MatrixPair* slots = pairs.data();
    if (count <= parallel_threshold) {
        stack_matrix_pairs(d_, n_, wl_, theta_, 0, count, slots);
        return pairs;
    }

    // One request for the whole spectrum. Every run fills the slots of its
    // own contiguous indices, in packs, and counts them; the total must come
    // out as exactly one write per slot.
    std::atomic<std::size_t> written{0};
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        if (end > count) {
            throw InternalFault("too many values pushed to consumer");
        }
        stack_matrix_pairs(d_, n_, wl_, theta_, begin, end, slots + begin);
        written.fetch_add(end - begin, std::memory_order_relaxed);
    });
    if (written.load(std::memory_order_relaxed) != count) {
        throw InternalFault("expected " + std::to_string(count) + " total writes, but got " +
                            std::to_string(written.load(std::memory_order_relaxed)));
    }
    return pairs;
}

}  // namespace lamiro
