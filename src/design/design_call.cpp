// SPDX-License-Identifier: MIT
#include "design/design_call.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "common/internal_fault.hpp"
#include "module/arguments.hpp"
#include "module/array_api.hpp"
#include "module/arrays.hpp"
#include "module/error_text.hpp"
#include "module/errors.hpp"

namespace lamiro::design {

namespace {

// Indexed by Parameter.
constexpr std::string_view parameter_names[] = {
    "d", "n", "wl", "theta", "phi", "coherent", "material", "depths", "weight_r", "weight_t"};
constexpr std::size_t most_parameters = std::size(needle_parameters);

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

// The elements of a float64 or complex128 ndarray of one or two dimensions,
// copied row-major through its strides (a 1-D array is one row).
template <class T>
OwnedBuffer<T> copy_elements(PyObject* array, std::size_t& rows, std::size_t& cols) {
    const NdarrayFields& fields = *ndarray_fields(array);
    const bool matrix = fields.nd == 2;
    rows = matrix ? static_cast<std::size_t>(fields.dimensions[0]) : 1;
    cols = static_cast<std::size_t>(fields.dimensions[matrix ? 1 : 0]);
    const npy_intp row_stride = matrix ? fields.strides[0] : 0;
    const npy_intp col_stride = fields.strides[matrix ? 1 : 0];
    if (cols != 0 && rows > PTRDIFF_MAX / sizeof(T) / cols)
        throw InternalFault("capacity overflow");
    OwnedBuffer<T> values = OwnedBuffer<T>::allocate(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        const char* row = fields.data + static_cast<npy_intp>(r) * row_stride;
        for (std::size_t c = 0; c < cols; ++c) {
            std::memcpy(&values[r * cols + c], row + static_cast<npy_intp>(c) * col_stride,
                        sizeof(T));
        }
    }
    return values;
}

bool is_array_of(PyObject* object, int type_number, int min_nd, int max_nd) {
    if (!is_ndarray(object)) return false;
    const int nd = ndarray_fields(object)->nd;
    return nd >= min_nd && nd <= max_nd && has_dtype(object, type_number);
}

// One candidate (a 1-D array) or several (2-D, one row each).
void accept_materials(PyObject* object, DesignCall& call) {
    if (!is_array_of(object, npy_cdouble, 1, 2)) {
        type_error(
            "material must be a 1-D complex128 array of refractive indices (one per wavelength) "
            "or a 2-D one (candidates × wavelengths)",
            object);
    }
    std::size_t rows = 0;
    std::size_t cols = 0;
    OwnedBuffer<Complex> values = copy_elements<Complex>(object, rows, cols);
    call.materials_is_matrix = ndarray_fields(object)->nd == 2;
    call.materials =
        ComplexMatrix{std::move(values), rows, cols, static_cast<std::ptrdiff_t>(cols), 1, 0};
}

// A weight of shape (W,) or (A, W) for A angles, held as A × W values.
OwnedBuffer<double> accept_weight(PyObject* object, std::string_view name, const DesignCall& call) {
    const std::string expected = std::string(name) +
                                 " must be a float64 array of shape (wavelengths,)" +
                                 (call.theta.is_array ? " or (angles, wavelengths)" : "");
    if (!is_array_of(object, npy_double, 1, call.theta.is_array ? 2 : 1)) {
        type_error(expected, object);
    }
    std::size_t rows = 0;
    std::size_t cols = 0;
    OwnedBuffer<double> values = copy_elements<double>(object, rows, cols);
    const std::size_t angles = call.theta.values.size();
    const std::size_t width = call.wavelengths();
    const bool per_angle = ndarray_fields(object)->nd == 2;
    if (cols != width || (per_angle && rows != angles)) {
        const std::string wanted =
            per_angle ? "(" + std::to_string(angles) + ", " + std::to_string(width) + ")"
                      : "(" + std::to_string(width) + ",)";
        value_error(std::string(name) + " must have shape " + wanted + ", got " + given(object));
    }
    if (per_angle || angles == 1) return values;
    OwnedBuffer<double> repeated = OwnedBuffer<double>::allocate(grid_points({angles, width, 1}));
    for (std::size_t a = 0; a < angles; ++a) {
        if (width != 0) std::memcpy(&repeated[a * width], values.data(), width * sizeof(double));
    }
    return repeated;
}

// "each of the 3 layers", or "the 1 layer".
std::string each_of(std::size_t count, std::string_view noun) {
    std::string text = count == 1 ? "the 1 " : "each of the " + std::to_string(count) + " ";
    text += noun;
    if (count != 1) text += "s";
    return text;
}

// "3 columns", "1 column".
std::string counted(std::size_t count, std::string_view noun) {
    std::string text = std::to_string(count) + " ";
    text += noun;
    if (count != 1) text += "s";
    return text;
}

void check_shapes(const DesignCall& call) {
    const std::size_t media = call.n.rows;
    if (media < 2) {
        value_error("n must have at least 2 rows (the incidence and the exit medium), got " +
                    std::to_string(media));
    }
    if (call.n.cols < call.wavelengths()) {
        value_error("n must have a column for " + each_of(call.wavelengths(), "wavelength") +
                    ", got " + counted(call.n.cols, "column"));
    }
    if (call.d.size() < media - 2) {
        value_error("d must hold a thickness for " + each_of(media - 2, "layer") +
                    " (rows of n between the first and the last), got " +
                    std::to_string(call.d.size()));
    }
    if (call.has_coherent && call.coherent.size() != media - 2) {
        value_error("coherent must hold one boolean for " + each_of(media - 2, "layer") + ", got " +
                    std::to_string(call.coherent.size()));
    }
    if (call.materials.rows != 0 && call.materials.cols < call.wavelengths()) {
        value_error("material must have a column for " + each_of(call.wavelengths(), "wavelength") +
                    ", got " + counted(call.materials.cols, "column"));
    }
}

}  // namespace

DesignCall accept_call(const Signature& signature, PyObject* args, PyObject* kwargs) {
    std::string_view names[most_parameters];
    for (std::size_t i = 0; i < signature.count; ++i) {
        names[i] = parameter_names[static_cast<std::size_t>(signature.parameters[i])];
    }
    const CallDescription description{
        .function_name = signature.function_name,
        .positional_parameter_names = std::span(names, signature.count),
        .keyword_only_parameters = {},
        .owner_class_name = {},
        .positional_only_count = 0,
        .required_positional_count = signature.required,
    };
    PyObject* slots[most_parameters] = {};
    bind_arguments(description, args, kwargs, std::span(slots, signature.count));

    // Each argument is accepted (and copied) in the order of the list, so a
    // later conversion's user code cannot change an earlier one.
    DesignCall call;
    for (std::size_t i = 0; i < signature.count; ++i) {
        PyObject* const slot = slots[i];
        if (slot == nullptr || (slot == Py_None && i >= signature.required)) continue;
        switch (signature.parameters[i]) {
            case Parameter::d:
                call.d = accept_vector(slot, "d must be a 1-D float64 array of layer thicknesses");
                break;
            case Parameter::n:
                call.n =
                    accept_matrix(slot, "n must be a 2-D complex128 array (media × wavelengths)");
                break;
            case Parameter::wl:
                call.wl =
                    accept_vector(slot, "wl must be a 1-D float64 array of vacuum wavelengths");
                break;
            case Parameter::theta:
                call.theta = accept_angles(slot);
                break;
            case Parameter::phi:
                call.phi = accept_real(slot, "phi must be a real number (radians)");
                break;
            case Parameter::coherent:
                call.coherent = accept_flags(slot);
                call.has_coherent = true;
                break;
            case Parameter::material:
                accept_materials(slot, call);
                break;
            case Parameter::depths:
                call.depths = accept_vector(
                    slot,
                    "depths must be a 1-D float64 array of depths below the top of the stack");
                break;
            case Parameter::weight_r:
                call.weight_r = accept_weight(slot, "weight_r", call);
                call.has_weight_r = true;
                break;
            case Parameter::weight_t:
                call.weight_t = accept_weight(slot, "weight_t", call);
                call.has_weight_t = true;
                break;
        }
    }
    check_shapes(call);
    return call;
}

}  // namespace lamiro::design
