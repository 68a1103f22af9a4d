// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

namespace lamiro {

// The heap type object of one class, created from its spec on the first
// lookup and kept for the life of the process.
class ClassType {
public:
    ClassType(const char* class_name, PyType_Spec* spec) noexcept
        : class_name_(class_name), spec_(spec) {}

    // The lookup made by registration: a failed creation is the error
    // RuntimeError "An error occurred while initializing class {name}", caused
    // by the interpreter's exception (thrown as PyError).
    PyTypeObject* lookup_for_registration();

    // Any other lookup: a failed creation is printed and becomes the
    // internal fault "failed to create type object for {name}".
    PyTypeObject* lookup();

    const char* class_name() const noexcept { return class_name_; }

private:
    const char* class_name_;
    PyType_Spec* spec_;
    PyTypeObject* type_ = nullptr;
};

}  // namespace lamiro
