// SPDX-License-Identifier: MIT
#include "module/datapy.hpp"

#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "common/internal_fault.hpp"
#include "module/arguments.hpp"
#include "module/arrays.hpp"
#include "module/error_notes.hpp"
#include "module/errors.hpp"
#include "module/shared_hold.hpp"
#include "module/simulation.hpp"
#include "optics/simulation_context.hpp"

namespace lamiro {

namespace {

constexpr std::string_view parameter_names[] = {"d", "n", "wl", "theta", "phi"};

const CallDescription constructor_description{
    .function_name = "__new__",
    .positional_parameter_names = parameter_names,
    .keyword_only_parameters = {},
    .owner_class_name = "DataPy",
    .positional_only_count = 0,
    .required_positional_count = 5,
};

// The array arguments as the notes of their errors describe them.
constexpr ArrayArgument d_argument{
    .name = "d",
    .requirement = "a one-dimensional float64 array of layer thicknesses",
    .type_number = npy_double,
    .nd = 1,
};
constexpr ArrayArgument n_argument{
    .name = "n",
    .requirement =
        "a two-dimensional complex128 array with one row per medium and one column "
        "per wavelength",
    .type_number = npy_cdouble,
    .nd = 2,
};
constexpr ArrayArgument wl_argument{
    .name = "wl",
    .requirement = "a one-dimensional float64 array of wavelengths",
    .type_number = npy_double,
    .nd = 1,
};

// Converts one argument; a failure is reported under the argument's name.
template <class Convert>
auto convert_argument(std::string_view name, Convert&& convert) {
    try {
        return std::forward<Convert>(convert)();
    } catch (PyError& error) {
        throw argument_error(name, std::move(error));
    }
}

// Converts an array argument. A refused one's TypeError also carries a note
// that says what the argument must be and what was given.
ReadonlyArrayBorrow convert_array(const ArrayArgument& argument, PyObject* object,
                                  ReadonlyArrayBorrow (*extract)(PyObject*)) {
    try {
        return extract(object);
    } catch (PyError& error) {
        PyError reported = argument_error(argument.name, std::move(error));
        if (reported.has_exact_type(PyExc_TypeError)) {
            reported.add_notes([&] { return std::vector{refused_array_note(argument, object)}; });
        }
        throw reported;
    }
}

// The fault of an n that is not two-dimensional, with a note giving its
// shape.
void check_n_two_dimensional(const ReadonlyArrayBorrow& n) {
    try {
        check_two_dimensional(n);
    } catch (const InternalFault& fault) {
        PyError error = panic_error(fault);
        error.add_notes([&] {
            const std::vector<npy_intp> shape = n.shape();
            return std::vector{not_two_dimensional_note(n_argument, shape)};
        });
        throw error;
    }
}

// Argument conversion, then the owned arrays, moved out of the records
// that the conversions made.
DataPyFields prepare_fields(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 5> slots{};
    bind_arguments(constructor_description, args, kwargs, slots);
    ReadonlyArrayBorrow d = convert_array(d_argument, slots[0], extract_vector_f64);
    ReadonlyArrayBorrow n = convert_array(n_argument, slots[1], extract_array_c128);
    ReadonlyArrayBorrow wl = convert_array(wl_argument, slots[2], extract_vector_f64);
    double theta = convert_argument("theta", [&] { return extract_float(slots[3]); });
    double phi = convert_argument("phi", [&] { return extract_float(slots[4]); });

    check_n_two_dimensional(n);
    return DataPyFields{copy_vector_f64(std::move(d)), copy_matrix_c128(std::move(n)),
                        copy_vector_f64(std::move(wl)), theta, phi};
}

PyObject* construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return run_entry_point<PyObject*>(
        nullptr, [&] { return create_instance(subtype, prepare_fields(args, kwargs)).release(); });
}

SharedHold<DataPyFields> open_datapy(PyObject* self) {
    return SharedHold<DataPyFields>::open(self, datapy_class());
}

PyObject* get_d(PyObject* self, void*) {
    return run_entry_point<PyObject*>(
        nullptr, [self] { return vector_to_numpy(open_datapy(self)->d).release(); });
}

PyObject* get_n(PyObject* self, void*) {
    return run_entry_point<PyObject*>(
        nullptr, [self] { return matrix_to_numpy(open_datapy(self)->n).release(); });
}

PyObject* get_wl(PyObject* self, void*) {
    return run_entry_point<PyObject*>(
        nullptr, [self] { return vector_to_numpy(open_datapy(self)->wl).release(); });
}

PyObject* get_theta(PyObject* self, void*) {
    return run_entry_point<PyObject*>(nullptr, [self] {
        return require_new_object(PyFloat_FromDouble(open_datapy(self)->theta)).release();
    });
}

PyObject* get_phi(PyObject* self, void*) {
    return run_entry_point<PyObject*>(nullptr, [self] {
        return require_new_object(PyFloat_FromDouble(open_datapy(self)->phi)).release();
    });
}

// Evaluates both spectra of this problem and returns them as a new
// Simulation. The context reads the instance's arrays in place while the
// hold keeps the instance alive; it is discarded before the result is made.
// An index fault of the numerics gets a note for each array that is too
// short for the stack.
PyObject* simulate(PyObject* self, PyObject*) {
    return run_entry_point<PyObject*>(nullptr, [self] {
        SharedHold<DataPyFields> hold = open_datapy(self);
        OwnedBuffer<double> reflectance;
        OwnedBuffer<double> transmittance;
        try {
            SimulationContext context(hold->d, hold->n, hold->wl, hold->theta, hold->phi);
            reflectance = context.reflectance();
            transmittance = context.transmittance();
        } catch (const InternalFault& fault) {
            if (fault.message() != index_out_of_bounds_message) {
                throw;
            }
            PyError error = panic_error(fault);
            error.add_notes([&] {
                return short_array_notes(hold->d.size(), hold->n.rows, hold->n.cols,
                                         hold->wl.size());
            });
            throw error;
        }
        return create_simulation(std::move(transmittance), std::move(reflectance)).release();
    });
}

void dealloc(PyObject* self) {
    run_unraisable_entry_point([self] { destroy_instance<DataPyFields>(self); });
}

PyGetSetDef getset[] = {
    {"d", get_d, nullptr, "", nullptr},     {"n", get_n, nullptr, "", nullptr},
    {"wl", get_wl, nullptr, "", nullptr},   {"theta", get_theta, nullptr, "", nullptr},
    {"phi", get_phi, nullptr, "", nullptr}, {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"simulate", simulate, METH_NOARGS, "simulate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The text signature of the constructor; the class has no further doc text.
char class_doc[] = "DataPy(d, n, wl, theta, phi)\n--\n\n";

PyType_Slot slots[] = {
    {Py_tp_doc, class_doc},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.DataPy",
    .basicsize = static_cast<int>(sizeof(DataPyObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slots,
};

ClassType datapy_type("DataPy", &spec);

}  // namespace

ClassType& datapy_class() { return datapy_type; }

}  // namespace lamiro
