// SPDX-License-Identifier: MIT
#pragma once

// The one argument-parsing path of the companion module. Every function
// takes a prefix of one of two parameter lists, (d, n, wl, theta, phi,
// coherent) or the needle function's (d, n, wl, theta, phi, material,
// depths, weight_r, weight_t), binds them like lamiro's functions, checks
// each against what it must be and copies it at once (so that user code
// running during a later conversion, a __float__ say, cannot change what is
// computed), then checks that the shapes fit together, before anything is
// computed. Wrong types are TypeErrors and wrong sizes ValueErrors, each
// naming the argument and what was expected.

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "common/owned_buffer.hpp"
#include "optics/grid_request.hpp"
#include "optics/owned_array.hpp"
#include "optics/stack_matrix_pair.hpp"

namespace lamiro::design {

enum class Parameter : unsigned char {
    d,
    n,
    wl,
    theta,
    phi,
    coherent,
    material,
    depths,
    weight_r,
    weight_t,
};

// The two parameter lists, in the order the functions take them.
inline constexpr Parameter stack_parameters[] = {
    Parameter::d,     Parameter::n,   Parameter::wl,
    Parameter::theta, Parameter::phi, Parameter::coherent,
};
inline constexpr Parameter needle_parameters[] = {
    Parameter::d,      Parameter::n,        Parameter::wl,
    Parameter::theta,  Parameter::phi,      Parameter::material,
    Parameter::depths, Parameter::weight_r, Parameter::weight_t,
};

// A function's parameters: the first `count` of `parameters`, of which the
// first `required` must be given. An optional parameter may also be None,
// which counts as not given.
struct Signature {
    std::string_view function_name;
    std::size_t count;
    std::size_t required;
    std::span<const Parameter> parameters = stack_parameters;
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

    // The needle function's candidates, one row each (materials(c, w)), and
    // whether they came as a 2-D array: results then gain a candidate axis.
    ComplexMatrix materials;
    bool materials_is_matrix = false;
    // Depths below the top of the first layer, in the unit of d.
    RealVector depths;
    // ∂merit/∂R and ∂merit/∂T of every angle and wavelength, angle-major
    // (A × W values, a 1-D weight repeated for every angle); empty when
    // not given.
    OwnedBuffer<double> weight_r;
    OwnedBuffer<double> weight_t;
    bool has_weight_r = false;
    bool has_weight_t = false;

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
