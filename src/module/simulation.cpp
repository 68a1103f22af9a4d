// SPDX-License-Identifier: MIT
#include "module/simulation.hpp"

#include <memory>
#include <new>
#include <string>

#include "module/arrays.hpp"
#include "module/errors.hpp"

namespace lamiro {

namespace {

SharedHold<SimulationObject> open_simulation(PyObject* self) {
    ClassType& type = simulation_class();
    return SharedHold<SimulationObject>::open(self, type.lookup(), type.class_name());
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
        std::string name = "<unknown>";
        PyRef type_name = PyRef::steal(PyType_GetName(subtype));
        Py_ssize_t size = 0;
        const char* text = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &size) : nullptr;
        if (text != nullptr) {
            name.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
        throw PyError(PyExc_TypeError, "No constructor defined for " + name);
    });
}

void dealloc(PyObject* self) {
    run_unraisable_entry_point([self] {
        auto* record = reinterpret_cast<SimulationObject*>(self);
        std::destroy_at(&record->t);
        std::destroy_at(&record->r);
        std::destroy_at(&record->access_count);
        free_record(self);
    });
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
    RealVector t = RealVector::from_buffer(std::move(transmittance));
    RealVector r = RealVector::from_buffer(std::move(reflectance));
    PyObject* object = allocate_record(type);
    auto* record = reinterpret_cast<SimulationObject*>(object);
    new (&record->t) RealVector(std::move(t));
    new (&record->r) RealVector(std::move(r));
    new (&record->access_count) AccessCount(0);
    return PyRef::steal(object);
}

}  // namespace lamiro
