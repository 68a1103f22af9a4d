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

// The private snapshot of one problem for the length of one simulate() call:
// copies of the inputs and the matrix cache that both spectra share.
class SimulationContext {
public:
    SimulationContext(RealVector d, ComplexMatrix n, RealVector wl, double theta, double phi);

    // The S and P matrices of every wavelength, evaluated on first use.
    std::span<const MatrixPair> matrix_pairs();

    OwnedBuffer<double> reflectance();
    OwnedBuffer<double> transmittance();

private:
    OwnedBuffer<MatrixPair> evaluate_matrix_pairs() const;

    RealVector d_;
    ComplexMatrix n_;
    RealVector wl_;
    double theta_;
    double phi_;
    std::optional<OwnedBuffer<MatrixPair>> cache_;
};

}  // namespace lamiro
