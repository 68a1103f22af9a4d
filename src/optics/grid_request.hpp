// SPDX-License-Identifier: MIT
#pragma once

// One request over a grid of angles × wavelengths: the companion module's
// way of evaluating a whole call, on the calling thread when the work is
// small and as one request on the worker pool otherwise. Every grid point
// depends only on its own angle and wavelength, so the values are the same
// whichever thread evaluates which points, and however many there are.

#include <cstddef>
#include <cstdint>

#include "common/internal_fault.hpp"
#include "pool/worker_pool.hpp"

namespace lamiro {

struct GridShape {
    std::size_t angles;
    std::size_t wavelengths;
    // Work per grid point in units of one interface and one layer of both
    // polarisations, about the number of media for a coherent stack.
    std::size_t work_per_point;
};

// Grids with at most this much work (points × work per point) run on the
// calling thread: about the cost of waking the pool's workers and waiting
// for the last of them. For comparison, lamiro's simulate() of 100
// wavelengths through a 20-layer stack is 2100 units, and runs serially.
inline constexpr std::size_t grid_parallel_work = 4096;

// Grid points of the shape; the fault "capacity overflow" when they cannot
// be counted.
inline std::size_t grid_points(const GridShape& shape) {
    if (shape.angles != 0 && shape.wavelengths > SIZE_MAX / shape.angles) {
        throw InternalFault("capacity overflow");
    }
    return shape.angles * shape.wavelengths;
}

// True when evaluate_grid hands the shape to the worker pool.
inline bool grid_runs_on_pool(const GridShape& shape) {
    const std::size_t points = grid_points(shape);
    const std::size_t work = shape.work_per_point == 0 ? 1 : shape.work_per_point;
    return points > grid_parallel_work / work;
}

// Calls body(a, begin, end) for runs of wavelengths [begin, end) of angle a
// that together cover the grid exactly once. Serially, each angle is one
// run, in order. On the pool, the grid is one request over its points in
// angle-major order, and a worker's run of points is cut where the angle
// changes. Exceptions from `body` reach the caller as from parallel_for.
template <class Body>
void evaluate_grid(const GridShape& shape, Body&& body) {
    const std::size_t points = grid_points(shape);
    if (points == 0) return;
    if (!grid_runs_on_pool(shape)) {
        for (std::size_t a = 0; a < shape.angles; ++a) body(a, std::size_t{0}, shape.wavelengths);
        return;
    }
    const std::size_t width = shape.wavelengths;
    parallel_for(points, [&](std::size_t begin, std::size_t end) {
        while (begin < end) {
            const std::size_t a = begin / width;
            const std::size_t w = begin - a * width;
            const std::size_t run = end - begin < width - w ? end - begin : width - w;
            body(a, w, w + run);
            begin += run;
        }
    });
}

}  // namespace lamiro
