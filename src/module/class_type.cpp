// SPDX-License-Identifier: MIT
#include "module/class_type.hpp"

#include <string>
#include <utility>

#include "module/errors.hpp"

namespace lamiro {

PyTypeObject* ClassType::lookup_for_registration() {
    if (type_ == nullptr) {
        PyObject* created = PyType_FromSpec(spec_);
        if (created == nullptr) {
            PyError cause = fetch_error();
            PyError error(PyExc_RuntimeError,
                          std::string("An error occurred while initializing class ") + class_name_);
            error.set_cause(std::move(cause).into_exception());
            throw error;
        }
        type_ = reinterpret_cast<PyTypeObject*>(created);
    }
    return type_;
}

PyTypeObject* ClassType::lookup() {
    try {
        return lookup_for_registration();
    } catch (PyError& error) {
        std::move(error).print();
        throw InternalFault(std::string("failed to create type object for ") + class_name_);
    }
}

}  // namespace lamiro
