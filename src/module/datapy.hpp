// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include "module/class_type.hpp"
#include "module/instance_record.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// The fields of a DataPy: private copies of one optical problem.
struct DataPyFields {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
    double theta;
    double phi;
};

// The instance record of DataPy.
using DataPyObject = InstanceRecord<DataPyFields>;

// The DataPy type object.
ClassType& datapy_class();

}  // namespace lamiro
