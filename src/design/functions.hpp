// SPDX-License-Identifier: MIT
#pragma once

// The functions of the companion module, one file each. A function accepts
// its call (design_call.hpp), creates its output arrays (result_types.hpp),
// runs one request over the angles × wavelengths grid (design_entry.hpp)
// whose body evaluates a run of wavelengths of one angle with the core,
// and returns a named tuple or an array.

#include <Python.h>

namespace lamiro::design {

PyObject* amplitudes(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* ellipsometry(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* incoherent(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* absorption(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* thickness_gradient(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* needle(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char* const amplitudes_doc;
extern const char* const ellipsometry_doc;
extern const char* const incoherent_doc;
extern const char* const absorption_doc;
extern const char* const thickness_gradient_doc;
extern const char* const needle_doc;

}  // namespace lamiro::design
