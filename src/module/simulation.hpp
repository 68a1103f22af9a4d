// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include "common/owned_buffer.hpp"
#include "module/class_type.hpp"
#include "module/instance_record.hpp"
#include "module/py_ref.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// The fields of a Simulation: the two spectra of one evaluation.
struct SimulationFields {
    RealVector t;
    RealVector r;
};

// The instance record of Simulation.
using SimulationObject = InstanceRecord<SimulationFields>;

// The Simulation type object.
ClassType& simulation_class();

// A new Simulation that takes over the two spectra without copying them.
PyRef create_simulation(OwnedBuffer<double> transmittance, OwnedBuffer<double> reflectance);

}  // namespace lamiro
