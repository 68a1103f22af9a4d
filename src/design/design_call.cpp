// SPDX-License-Identifier: MIT
#include "design/design_call.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "module/arguments.hpp"
#include "module/array_api.hpp"
#include "module/arrays.hpp"
#include "module/error_text.hpp"
#include "module/errors.hpp"

namespace lamiro::design {

namespace {

constexpr std::string_view parameter_names[] = {"d", "n", "wl", "theta", "phi", "coherent"};

bool is_ndarray(PyObject* object) {
    return PyObject_TypeCheck(object, array_api().array_type) != 0;
}

bool has_dtype(PyObject* array, int type_number) {
    const ArrayApi& api = array_api();
    PyRef wanted = require_new_object(api.descr_from_type(type_number));
    PyObject* descr = ndarray_fields(array)->descr;
    return descr == wanted.get() || api.equiv_types(descr, wanted.get()) != 0;
}

// str() of an attribute, for messages; a placeholder where it has none.
std::string attribute_text(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    std::optional<std::string> text;
    if (value) {
        PyRef str = PyRef::steal(PyObject_Str(value.get()));
        if (str) text = utf8_text(str.get());
    }
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return *text;
}

// What was given, for messages: "float64 with shape (3, 5)" for an array,
// the type's name ("list", "str") for anything else.
std::string given(PyObject* object) {
    if (is_ndarray(object)) {
        return attribute_text(object, "dtype") + " with shape " + attribute_text(object, "shape");
    }
    return type_name(Py_TYPE(object), TypeNameKind::qualified_name).value_or("?");
}

[[noreturn]] void type_error(std::string_view expected, PyObject* object) {
    throw PyError(PyExc_TypeError, std::string(expected) + ", got " + given(object));
}

[[noreturn]] void value_error(std::string message) {
    throw PyError(PyExc_ValueError, std::move(message));
}

bool is_vector_f64(PyObject* object) {
    return is_ndarray(object) && ndarray_fields(object)->nd == 1 && has_dtype(object, npy_double);
}

RealVector accept_vector(PyObject* object, std::string_view expected) {
    if (!is_vector_f64(object)) type_error(expected, object);
    return copy_vector_f64(extract_vector_f64(object));
}

ComplexMatrix accept_matrix(PyObject* object, std::string_view expected) {
    if (!is_ndarray(object) || ndarray_fields(object)->nd != 2 || !has_dtype(object, npy_cdouble)) {
        type_error(expected, object);
    }
    return copy_matrix_c128(extract_array_c128(object));
}

// A real number: anything float() takes (int, float, NumPy scalars, 0-d
// arrays). A TypeError of the conversion becomes the message `expected`;
// any other error of a user's __float__ passes unchanged.
double accept_real(PyObject* object, std::string_view expected) {
    try {
        return extract_float(object);
    } catch (PyError& error) {
        if (!error.matches(PyExc_TypeError)) throw;
    }
    type_error(expected, object);
}

Angles accept_angles(PyObject* object) {
    constexpr std::string_view expected =
        "theta must be a real number or a 1-D float64 array of angles in radians";
    if (is_ndarray(object) && ndarray_fields(object)->nd != 0) {
        if (!is_vector_f64(object)) type_error(expected, object);
        RealVector angles = copy_vector_f64(extract_vector_f64(object));
        OwnedBuffer<double> values = OwnedBuffer<double>::allocate(angles.size());
        for (std::size_t a = 0; a < angles.size(); ++a) values[a] = angles[a];
        return {std::move(values), true};
    }
    OwnedBuffer<double> value = OwnedBuffer<double>::allocate(1);
    value[0] = accept_real(object, expected);
    return {std::move(value), false};
}

// Python's bool and NumPy's bool scalars.
bool is_boolean(PyObject* object) {
    if (PyBool_Check(object)) return true;
    const char* name = Py_TYPE(object)->tp_name;
    return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

OwnedBuffer<unsigned char> accept_flags(PyObject* object) {
    constexpr std::string_view expected = "coherent must be a sequence of booleans, one per layer";
    if (PyUnicode_Check(object) || PyBytes_Check(object) || !PySequence_Check(object)) {
        type_error(expected, object);
    }
    PyRef items = check_new(PySequence_Fast(object, "coherent must be a sequence"));
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    OwnedBuffer<unsigned char> flags = OwnedBuffer<unsigned char>::allocate(count);
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    for (std::size_t k = 0; k < count; ++k) {
        if (!is_boolean(item[k])) {
            throw PyError(PyExc_TypeError, std::string(expected) + ", got " + given(item[k]) +
                                               " at index " + std::to_string(k));
        }
        flags[k] = item[k] == Py_True || (item[k] != Py_False && PyObject_IsTrue(item[k]) == 1);
    }
    return flags;
}

void check_shapes(const DesignCall& call) {
    const std::size_t media = call.n.rows;
    if (media < 2) {
        value_error("n must have at least 2 rows (the incidence and the exit medium), got " +
                    std::to_string(media));
    }
    if (call.n.cols < call.wavelengths()) {
        value_error("n must have a column for each of the " + std::to_string(call.wavelengths()) +
                    " wavelengths, got " + std::to_string(call.n.cols) + " columns");
    }
    if (call.d.size() < media - 2) {
        value_error("d must hold a thickness for each of the " + std::to_string(media - 2) +
                    " layers (rows of n between the first and the last), got " +
                    std::to_string(call.d.size()));
    }
    if (call.has_coherent && call.coherent.size() != media - 2) {
        value_error("coherent must hold one boolean for each of the " + std::to_string(media - 2) +
                    " layers, got " + std::to_string(call.coherent.size()));
    }
}

}  // namespace

DesignCall accept_call(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const CallDescription description{
        .function_name = signature.function_name,
        .positional_parameter_names = std::span(parameter_names, signature.count),
        .keyword_only_parameters = {},
        .owner_class_name = {},
        .positional_only_count = 0,
        .required_positional_count = signature.required,
    };
    PyObject* slots[std::size(parameter_names)] = {};
    bind_arguments(description, args, kwargs, std::span(slots, signature.count));

    DesignCall call;
    call.d = accept_vector(slots[0], "d must be a 1-D float64 array of layer thicknesses");
    call.n = accept_matrix(slots[1], "n must be a 2-D complex128 array (media × wavelengths)");
    call.wl = accept_vector(slots[2], "wl must be a 1-D float64 array of vacuum wavelengths");
    call.theta = accept_angles(slots[3]);
    if (signature.count > 4) {
        call.phi = accept_real(slots[4], "phi must be a real number (radians)");
    }
    // `coherent` may be None (every layer coherent) only where it is optional.
    const bool coherent_optional = signature.required <= 5;
    if (signature.count > 5 && slots[5] != nullptr && !(slots[5] == Py_None && coherent_optional)) {
        call.coherent = accept_flags(slots[5]);
        call.has_coherent = true;
    }
    check_shapes(call);
    return call;
}

}  // namespace lamiro::design
