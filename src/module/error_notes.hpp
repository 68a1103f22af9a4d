// SPDX-License-Identifier: MIT
// The notes (PEP 678) that errors about the arrays carry besides their fixed
// message: what an argument must be and what was given, and which array is
// too short for the stack. A traceback shows them below the message.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "module/array_api.hpp"

namespace lamiro {

// An array argument as its notes describe it.
struct ArrayArgument {
    std::string_view name;
    // What the argument must be, as in "{name} must be {requirement}".
    std::string_view requirement;
    // The element type number (npy_double or npy_cdouble).
    int type_number;
    // The number of dimensions it must have.
    int nd;
};

// "{name} must be {requirement}; got {what was given}", for example "n must
// be a complex128 array with one row per medium and one column per
// wavelength; got a float64 array of shape (3, 5)", followed by the call
// that converts an ndarray whose only fault is its element type. May throw
// (memory, a failed Python call, nothing left pending).
std::string refused_array_note(const ArrayArgument& argument, PyObject* given);

// The note of an accepted complex array that is not two-dimensional.
std::string not_two_dimensional_note(const ArrayArgument& argument,
                                     std::span<const npy_intp> shape);

// One note for each array that is too short for the stack: n with fewer than
// two rows (media) or fewer columns than wl has wavelengths, d with fewer
// thicknesses than the stack has layers. Empty when the shapes fit.
std::vector<std::string> short_array_notes(std::size_t d_length, std::size_t n_rows,
                                           std::size_t n_cols, std::size_t wavelengths);

}  // namespace lamiro
