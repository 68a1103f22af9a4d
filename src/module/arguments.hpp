// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace lamiro {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

// The parameters of one callable, as the binder needs them.
struct CallDescription {
    std::string_view function_name;
    std::span<const std::string_view> positional_parameter_names;
    std::span<const KeywordOnlyParameter> keyword_only_parameters;
    std::string_view owner_class_name;  // empty: a plain function
    std::size_t positional_only_count;
    std::size_t required_positional_count;
};

// Places the positional arguments `args` (a tuple) and the keyword arguments
// `kwargs` (a dict, or null) into `slots`: one per positional parameter, then
// one per keyword-only parameter. A slot is null or borrows from the call's
// arguments. Throws PyError (TypeError) when the call does not fit.
void bind_arguments(const CallDescription& description, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// The value of a float argument; anything the interpreter converts to float
// (int, float subclasses, __float__, __index__) is accepted. Throws PyError.
double extract_float(PyObject* object);

}  // namespace lamiro
