// SPDX-License-Identifier: MIT
#include "optics/simulation_context.hpp"

#include <atomic>
#include <string>
#include <utility>

#include "common/internal_fault.hpp"
#include "optics/overflow_fallback.hpp"
#include "optics/spectra.hpp"
#include "optics/stack_matrix_pair.hpp"
#include "pool/worker_pool.hpp"

namespace lamiro {

SimulationContext::SimulationContext(const RealVector& d, const ComplexMatrix& n,
                                     const RealVector& wl, double theta, double phi)
    : d_(d), n_(n), wl_(wl), theta_(theta), phi_(phi) {}

std::span<const MatrixPair> SimulationContext::matrix_pairs() {
    if (!cache_) {
        evaluate();
    }
    return {cache_->data(), cache_->size()};
}

namespace {

// A spectrum computed alongside the cache is handed out once; a later
// request computes it anew from the cache.
template <class Compute>
OwnedBuffer<double> take_or_compute(std::optional<OwnedBuffer<double>>& stored, Compute compute) {
    if (!stored) {
        return compute();
    }
    OwnedBuffer<double> spectrum = std::move(*stored);
    stored.reset();
    return spectrum;
}

}  // namespace

OwnedBuffer<double> SimulationContext::reflectance() {
    std::span<const MatrixPair> pairs = matrix_pairs();
    return take_or_compute(reflectance_, [&] {
        OwnedBuffer<double> r = reflectance_spectrum(pairs, phi_);
        replace_overflowed_values(d_, n_, wl_, theta_, phi_, 0, r.size(), r.data(), nullptr);
        return r;
    });
}

OwnedBuffer<double> SimulationContext::transmittance() {
    std::span<const MatrixPair> pairs = matrix_pairs();
    return take_or_compute(transmittance_, [&] {
        OwnedBuffer<double> t = transmittance_spectrum(pairs, n_, theta_, phi_);
        replace_overflowed_values(d_, n_, wl_, theta_, phi_, 0, t.size(), nullptr, t.data());
        return t;
    });
}

void SimulationContext::evaluate() {
    // Both polarisations of a wavelength come out of one pass of the kernel,
    // straight into the pair list, each matrix with the bits of its own
    // single-polarisation evaluation; the two spectra of the same
    // wavelengths follow at once, while the pairs are still in cache.
    const std::size_t count = wl_.size();
    OwnedBuffer<MatrixPair> pairs = OwnedBuffer<MatrixPair>::allocate(count);
    OwnedBuffer<double> r = OwnedBuffer<double>::allocate(count);
    OwnedBuffer<double> t = OwnedBuffer<double>::allocate(count);
    auto fill = [&, slots = pairs.data(), r_out = r.data(), t_out = t.data()](std::size_t begin,
                                                                              std::size_t end) {
        stack_matrix_pairs(d_, n_, wl_, theta_, begin, end, slots + begin);
        const std::span<const MatrixPair> run(slots + begin, end - begin);
        reflectance_values(run, phi_, r_out + begin);
        transmittance_values(run, begin, n_, theta_, phi_, t_out + begin);
        replace_overflowed_values(d_, n_, wl_, theta_, phi_, begin, end - begin, r_out + begin,
                                  t_out + begin);
    };

    if (count <= parallel_threshold) {
        fill(0, count);
    } else {
        // One request for the whole spectrum. Every run fills the slots of
        // its own contiguous indices, in packs, and counts them; the total
        // must come out as exactly one write per slot.
        std::atomic<std::size_t> written{0};
        parallel_for(count, [&](std::size_t begin, std::size_t end) {
            if (end > count) {
                throw InternalFault("too many values pushed to consumer");
            }
            fill(begin, end);
            written.fetch_add(end - begin, std::memory_order_relaxed);
        });
        if (written.load(std::memory_order_relaxed) != count) {
            throw InternalFault("expected " + std::to_string(count) + " total writes, but got " +
                                std::to_string(written.load(std::memory_order_relaxed)));
        }
    }

    if (cache_) {
        throw InternalFault("reentrant init");
    }
    cache_.emplace(std::move(pairs));
    reflectance_.emplace(std::move(r));
    transmittance_.emplace(std::move(t));
}

}  // namespace lamiro
