// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

// Shared-hold counter of an instance: 0 idle, k open shared holds, all bits
// set held exclusively (a state no operation of this module enters).
using AccessCount = std::atomic<std::size_t>;
inline constexpr std::size_t exclusive_hold = std::numeric_limits<std::size_t>::max();

// The record of an instance: the object header, the class's fields in their
// order, then the shared-hold counter. The fields are one member, so they
// are built and destroyed as a whole.
template <class Fields>
struct InstanceRecord {
    PyObject_HEAD
    Fields fields;
    AccessCount access_count;
};

// A new instance of `type` (allocated by the type's allocator) holding
// `fields`. On failure the fields are released and the allocator's
// MemoryError is thrown as PyError.
template <class Fields>
PyRef create_instance(PyTypeObject* type, Fields fields) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (object == nullptr) {
        throw fetch_error();
    }
    auto* record = reinterpret_cast<InstanceRecord<Fields>*>(object);
    new (&record->fields) Fields(std::move(fields));
    new (&record->access_count) AccessCount(0);
    return PyRef::steal(object);
}

// The deallocation of an instance: its fields, then its memory, then the
// reference to its type that the allocator took.
template <class Fields>
void destroy_instance(PyObject* self) noexcept {
    auto* record = reinterpret_cast<InstanceRecord<Fields>*>(self);
    std::destroy_at(&record->fields);
    std::destroy_at(&record->access_count);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace lamiro
