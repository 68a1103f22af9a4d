// SPDX-License-Identifier: MIT
#include "optics/simulation_context.hpp"

#include <atomic>
#include <string>
#include <utility>

#include "common/internal_fault.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix.hpp"
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
    // The P pass starts only once the S pass is complete, so a fault in the
    // S pass ends the evaluation before any P matrix is computed.
    OwnedBuffer<TransferMatrix> s = polarisation_matrices(Polarisation::S);
    OwnedBuffer<TransferMatrix> p = polarisation_matrices(Polarisation::P);
    std::size_t count = std::min(s.size(), p.size());
    OwnedBuffer<MatrixPair> pairs = OwnedBuffer<MatrixPair>::allocate(count);
    for (std::size_t i = 0; i < count; ++i) {
        pairs[i] = MatrixPair{s[i], p[i]};
    }
    return pairs;
}

OwnedBuffer<TransferMatrix> SimulationContext::polarisation_matrices(
    Polarisation polarisation) const {
    const std::size_t count = wl_.size();
    OwnedBuffer<TransferMatrix> matrices = OwnedBuffer<TransferMatrix>::allocate(count);
    auto matrix_at = [&](std::size_t w) {
        return stack_transfer_matrix(d_, n_, wl_, theta_, w, polarisation);
    };
    if (count <= parallel_threshold) {
        for (std::size_t w = 0; w < count; ++w) {
            matrices[w] = matrix_at(w);
        }
        return matrices;
    }

    // Every run writes the slots of its own indices and counts them; the
    // total must come out as exactly one write per slot.
    std::atomic<std::size_t> written{0};
    TransferMatrix* slots = matrices.data();
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        if (end > count) {
            throw InternalFault("too many values pushed to consumer");
        }
        for (std::size_t w = begin; w < end; ++w) {
            slots[w] = matrix_at(w);
        }
        written.fetch_add(end - begin, std::memory_order_relaxed);
    });
    if (written.load(std::memory_order_relaxed) != count) {
        throw InternalFault("expected " + std::to_string(count) + " total writes, but got " +
                            std::to_string(written.load(std::memory_order_relaxed)));
    }
    return matrices;
}

}  // namespace lamiro
