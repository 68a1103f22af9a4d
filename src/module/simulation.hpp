// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include "common/owned_buffer.hpp"
#include "module/instance.hpp"
#include "module/py_ref.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// The instance record of Simulation: the two spectra of one evaluation.
struct SimulationObject {
    PyObject_HEAD
    RealVector t;
    RealVector r;
    AccessCount access_count;
};

// The Simulation type object.
ClassType& simulation_class();

// A new Simulation that takes over the two spectra without copying them.
PyRef create_simulation(OwnedBuffer<double> transmittance, OwnedBuffer<double> reflectance);

}  // namespace lamiro
