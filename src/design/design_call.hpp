// SPDX-License-Identifier: MIT
#pragma once

// The one argument-parsing path of the companion module. Every function
// takes a prefix of the parameters (d, n, wl, theta, phi, coherent), binds
// them like lamiro's functions, checks each against what it must be and
// copies it at once (so that user code running during a later conversion,
// a __float__ say, cannot change what is computed), then checks that the
// shapes fit together, before anything is computed. Wrong types are
// TypeErrors and wrong sizes ValueErrors, each naming the argument and
// what was expected.

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "common/owned_buffer.hpp"
#include "optics/grid_request.hpp"
#include "optics/owned_array.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro::design {

// The parameters in the order every function takes them.
enum class Parameter : unsigned char { d, n, wl, theta, phi, coherent };

// A function's parameters: the first `count` of Parameter, of which the
// first `required` must be given.
struct Signature {
    std::string_view function_name;
    std::size_t count;
    std::size_t required;
};

// The angles of incidence: one, or a 1-D array of them.
struct Angles {
    OwnedBuffer<double> values;
    bool is_array = false;  // results gain a leading axis of length values.size()
};

// The accepted arguments of one call.
struct DesignCall {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
    Angles theta;
    double phi = 0.0;
    // One flag per layer (nonzero: coherent); empty when not given.
    OwnedBuffer<unsigned char> coherent;
    bool has_coherent = false;

    std::size_t media() const noexcept { return n.rows; }
    std::size_t layers() const noexcept { return n.rows - 2; }
    std::size_t wavelengths() const noexcept { return wl.size(); }
    StackArrays stack() const noexcept { return {d.view(), n.view(), wl.view()}; }

    // The angles × wavelengths grid, with the work of a coherent stack per
    // point.
    GridShape grid() const noexcept { return {theta.values.size(), wavelengths(), media()}; }
};

// Binds and accepts the arguments of a call of `signature`. Throws PyError.
DesignCall accept_call(const Signature& signature, PyObject* args, PyObject* kwargs);

}  // namespace lamiro::design
