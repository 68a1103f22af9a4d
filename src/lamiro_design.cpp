// SPDX-License-Identifier: MIT
// The companion module's entry point: initialisation, the one-interpreter
// guard, the function table and the result types.
#include <Python.h>

#include "design/functions.hpp"
#include "design/result_types.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace lamiro::design {

namespace {

// The functions take d, n, wl and theta like lamiro's DataPy. The
// casts are those every CPython method table needs for a function with
// keyword arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
PyMethodDef methods[] = {
    {"amplitudes", reinterpret_cast<PyCFunction>(amplitudes), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"ellipsometry", reinterpret_cast<PyCFunction>(ellipsometry), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"incoherent", reinterpret_cast<PyCFunction>(incoherent), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"absorption", reinterpret_cast<PyCFunction>(absorption), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"thickness_gradient", reinterpret_cast<PyCFunction>(thickness_gradient),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"needle", reinterpret_cast<PyCFunction>(needle), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#pragma GCC diagnostic pop

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lamiro_design",
    .m_doc =
        "Thin-film design quantities beyond R and T, computed by lamiro's core: complex "
        "amplitudes, ellipsometric angles, stacks with incoherent layers, the power absorbed "
        "in each layer, exact derivatives with respect to the layer thicknesses and the needle "
        "function, for one angle of incidence or an array of them in one call.",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module object of the first successful initialisation: its types and
// the worker pool are process-wide, so it belongs to the main interpreter
// and is handed out again on a later import.
PyObject* module_object = nullptr;

PyObject* initialise() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw PyError(PyExc_ImportError, "lamiro_design does not support sub-interpreters");
    }
    if (module_object != nullptr) {
        return Py_NewRef(module_object);
    }
    methods[0].ml_doc = amplitudes_doc;
    methods[1].ml_doc = ellipsometry_doc;
    methods[2].ml_doc = incoherent_doc;
    methods[3].ml_doc = absorption_doc;
    methods[4].ml_doc = thickness_gradient_doc;
    methods[5].ml_doc = needle_doc;
    PyRef module = check_new(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    create_result_types(module.get());
    PyRef all = check_new(Py_BuildValue("[sssssssssss]", "amplitudes", "ellipsometry", "incoherent",
                                        "absorption", "thickness_gradient", "needle", "Amplitudes",
                                        "Ellipsometry", "Incoherent", "Gradient", "Needle"));
    if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) != 0) throw fetch_error();
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace lamiro::design

PyMODINIT_FUNC PyInit_lamiro_design() {
    return lamiro::run_entry_point<PyObject*>(nullptr, lamiro::design::initialise);
}
