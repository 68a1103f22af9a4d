// SPDX-License-Identifier: MIT
// The module's entry point: initialisation, the one-interpreter guard and
// the registration of the two classes.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "module/class_type.hpp"
#include "module/datapy.hpp"
#include "module/errors.hpp"
#include "module/panic_exception.hpp"
#include "module/py_ref.hpp"
#include "module/simulation.hpp"

namespace lamiro {

namespace {

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lamiro",
    .m_doc = "A Python module implemented in native code.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The interpreter that first initialised the module (-1: none yet), and the
// module object of the first successful initialisation.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_object = nullptr;

// Adds the class to the module under its name and to the module's __all__.
void register_class(PyObject* module, ClassType& class_type) {
    PyTypeObject* type = class_type.lookup_for_registration();
    const char* name = class_type.class_name();
    PyRef name_object =
        check_new(PyUnicode_FromStringAndSize(name, static_cast<Py_ssize_t>(std::strlen(name))));

    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw fetch_error();
        }
        PyErr_Clear();
        all = check_new(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
            throw fetch_error();
        }
    }
    if (PyList_Append(all.get(), name_object.get()) != 0) {
        fail_must_succeed_step("could not append __name__ to __all__", fetch_error());
    }
    if (PyObject_SetAttr(module, name_object.get(), reinterpret_cast<PyObject*>(type)) != 0) {
        throw fetch_error();
    }
}

PyError sub_interpreter_error() {
    return PyError(PyExc_ImportError,
                   "lamiro does not support sub-interpreters yet; please report your use "
                   "case on the lamiro issue tracker");
}

PyObject* initialise() {
    PyInterpreterState* state = PyInterpreterState_Get();
    const std::int64_t interpreter = PyInterpreterState_GetID(state);
    if (interpreter == -1) {
        throw fetch_error();
    }
    // A sub-interpreter is refused without becoming the module's owner.
    // Python 3.12 runs this initialisation inside an isolated sub-interpreter
    // before it rejects the module there itself; had that attempt claimed
    // the module, the main interpreter could never import it afterwards.
    if (state != PyInterpreterState_Main()) {
        throw sub_interpreter_error();
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        throw sub_interpreter_error();
    }
    if (module_object != nullptr) {
        return Py_NewRef(module_object);
    }
    // The type that faults are reported as exists from here on, so that no
    // later report depends on memory for it; if even this fails, the import
    // fails with the interpreter's error.
    if (panic_exception_type() == nullptr) {
        throw fetch_error();
    }
    PyRef module = check_new(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    register_class(module.get(), datapy_class());
    register_class(module.get(), simulation_class());
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace lamiro

PyMODINIT_FUNC PyInit_lamiro() {
    return lamiro::run_entry_point<PyObject*>(nullptr, lamiro::initialise);
}
