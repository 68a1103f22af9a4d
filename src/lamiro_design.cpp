// SPDX-License-Identifier: MIT
// The companion module's entry point.
#include <Python.h>

#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

namespace {

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lamiro_design",
    .m_doc = "Thin-film design quantities beyond R and T, on lamiro's core.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* initialise() {
    return check_new(PyModule_Create2(&module_definition, PYTHON_API_VERSION)).release();
}

}  // namespace

}  // namespace lamiro

PyMODINIT_FUNC PyInit_lamiro_design() {
    return lamiro::run_entry_point<PyObject*>(nullptr, lamiro::initialise);
}
