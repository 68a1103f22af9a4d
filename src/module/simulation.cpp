// SPDX-License-Identifier: MIT
#include "module/simulation.hpp"

#include <string>
#include <utility>

#include "module/arrays.hpp"
#include "module/error_text.hpp"
#include "module/errors.hpp"
#include "module/shared_hold.hpp"

namespace lamiro {

namespace {

SharedHold<SimulationFields> open_simulation(PyObject* self) {
    return SharedHold<SimulationFields>::open(self, simulation_class());
}

PyObject* get_t(PyObject* self, void*) {
    return run_entry_point<PyObject*>(
        nullptr, [self] { return vector_to_numpy(open_simulation(self)->t).release(); });
}

PyObject* get_r(PyObject* self, void*) {
    return run_entry_point<PyObject*>(
        nullptr, [self] { return vector_to_numpy(open_simulation(self)->r).release(); });
}

// Simulation objects come only from DataPy.simulate(); the arguments of a
// call from Python are not looked at.
PyObject* no_constructor(PyTypeObject* subtype, PyObject*, PyObject*) {
    return run_entry_point<PyObject*>(nullptr, [subtype]() -> PyObject* {
        throw PyError(PyExc_TypeError,
                      "No constructor defined for " +
                          type_name(subtype, TypeNameKind::name).value_or("<unknown>"));
    });
}

void dealloc(PyObject* self) {
    run_unraisable_entry_point([self] { destroy_instance<SimulationFields>(self); });
}

PyGetSetDef getset[] = {
    {"t", get_t, nullptr, "", nullptr},
    {"r", get_r, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_getset, getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.Simulation",
    .basicsize = static_cast<int>(sizeof(SimulationObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slots,
};

ClassType simulation_type("Simulation", &spec);

}  // namespace

ClassType& simulation_class() { return simulation_type; }

PyRef create_simulation(OwnedBuffer<double> transmittance, OwnedBuffer<double> reflectance) {
    PyTypeObject* type = simulation_type.lookup();
    return create_instance(type, SimulationFields{RealVector::from_buffer(std::move(transmittance)),
                                                  RealVector::from_buffer(std::move(reflectance))});
}

}  // namespace lamiro
