// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include "module/instance.hpp"
#include "optics/owned_array.hpp"

namespace lamiro {

// The instance record of DataPy: private copies of one optical problem.
struct DataPyObject {
    PyObject_HEAD
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
    double theta;
    double phi;
    AccessCount access_count;
};

// The DataPy type object.
ClassType& datapy_class();

}  // namespace lamiro
