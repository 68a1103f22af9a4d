// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "common/owned_buffer.hpp"
#include "optics/owned_array.hpp"
#include "optics/transfer_matrix.hpp"

namespace lamiro {

// Spectra of up to this many wavelengths are evaluated on the calling
// thread; longer ones on the worker pool.
inline constexpr std::size_t parallel_threshold = 100;

// The evaluation of one problem for the length of one simulate() call: the
// inputs and the matrix cache that both spectra share.
//
// The inputs are read in place: the caller keeps them alive and unchanged
// for the context's lifetime (a DataPy never changes after construction
// and is held for the whole call), so copying them would only cost time and
// memory.
//
// The first request evaluates the cache and, in the same pass over the
// wavelengths (on the pool for long spectra), both spectra from it: each
// value depends only on its own wavelength's pair, so this gives the bits of
// computing the spectra from the finished cache afterwards, with the whole
// evaluation shared out among the workers.
//
// The cache holds the matrices as the kernel gives them. In the spectra, a
// value that overflowed although its wavelength's inputs are sound (a thick
// absorbing layer) is replaced by the finite value of the scaled evaluation
// (overflow_fallback.hpp); every finite value is the one computed from the
// cache.
class SimulationContext {
public:
    SimulationContext(const RealVector& d, const ComplexMatrix& n, const RealVector& wl,
                      double theta, double phi);

    // The S and P matrices of every wavelength, evaluated on first use.
    std::span<const MatrixPair> matrix_pairs();

    // Each call returns a new spectrum, one value per wavelength.
    OwnedBuffer<double> reflectance();
    OwnedBuffer<double> transmittance();

private:
    void evaluate();

    const RealVector& d_;
    const ComplexMatrix& n_;
    const RealVector& wl_;
    double theta_;
    double phi_;
    std::optional<OwnedBuffer<MatrixPair>> cache_;
    // Spectra computed with the cache, until they are handed out.
    std::optional<OwnedBuffer<double>> reflectance_;
    std::optional<OwnedBuffer<double>> transmittance_;
};

}  // namespace lamiro
