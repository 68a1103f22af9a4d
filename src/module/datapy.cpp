// SPDX-License-Identifier: MIT
#include "module/datapy.hpp"

#include <array>
#include <string_view>
#include <utility>

#include "module/arguments.hpp"
#include "module/arrays.hpp"
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

// Converts one argument; a failure is reported under the argument's name.
template <class Convert>
auto convert_argument(std::string_view name, Convert&& convert) {
    try {
        return std::forward<Convert>(convert)();
    } catch (PyError& error) {
        throw argument_error(name, std::move(error));
    }
}

// Argument conversion, then the owned arrays, moved out of the records
// that the conversions made.
DataPyFields prepare_fields(PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 5> slots{};
    bind_arguments(constructor_description, args, kwargs, slots);
    ReadonlyArrayBorrow d = convert_argument("d", [&] { return extract_vector_f64(slots[0]); });
    ReadonlyArrayBorrow n = convert_argument("n", [&] { return extract_array_c128(slots[1]); });
    ReadonlyArrayBorrow wl = convert_argument("wl", [&] { return extract_vector_f64(slots[2]); });
    double theta = convert_argument("theta", [&] { return extract_float(slots[3]); });
    double phi = convert_argument("phi", [&] { return extract_float(slots[4]); });

    check_two_dimensional(n);
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
PyObject* simulate(PyObject* self, PyObject*) {
    return run_entry_point<PyObject*>(nullptr, [self] {
        SharedHold<DataPyFields> hold = open_datapy(self);
        OwnedBuffer<double> reflectance;
        OwnedBuffer<double> transmittance;
        {
            SimulationContext context(hold->d, hold->n, hold->wl, hold->theta, hold->phi);
            reflectance = context.reflectance();
            transmittance = context.transmittance();
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
