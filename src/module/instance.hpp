// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

// Shared-hold counter of an instance: 0 idle, k open shared holds, all bits
// set held exclusively (a state no operation of this module enters).
using AccessCount = std::atomic<std::size_t>;
inline constexpr std::size_t exclusive_hold = std::numeric_limits<std::size_t>::max();

// Allocates the record of a new instance of `type` through the type's
// allocator. Its fields are constructed by the caller right afterwards;
// throws PyError (the allocator's MemoryError) on failure.
inline PyObject* allocate_record(PyTypeObject* type) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* record = alloc(type, 0);
    if (record == nullptr) {
        throw fetch_error();
    }
    return record;
}

// Frees a record whose fields are already destroyed and drops the
// reference to its type that the allocator took.
inline void free_record(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The heap type object of one class, created from its spec on the first
// lookup and kept for the life of the process.
class ClassType {
public:
    ClassType(const char* class_name, PyType_Spec* spec) noexcept
        : class_name_(class_name), spec_(spec) {}

    // The lookup made by registration: a failed creation is the error
    // RuntimeError "An error occurred while initializing class {name}", caused
    // by the interpreter's exception.
    PyTypeObject* lookup_for_registration() {
        if (type_ == nullptr) {
            PyObject* created = PyType_FromSpec(spec_);
            if (created == nullptr) {
                PyError cause = fetch_error();
                PyError error(
                    PyExc_RuntimeError,
                    std::string("An error occurred while initializing class ") + class_name_);
                error.set_cause(std::move(cause).into_exception());
                throw error;
            }
            type_ = reinterpret_cast<PyTypeObject*>(created);
        }
        return type_;
    }

    // Any other lookup: a failed creation is printed and becomes an
    // internal fault.
    PyTypeObject* lookup() {
        try {
            return lookup_for_registration();
        } catch (PyError& error) {
            std::move(error).restore();
            PyErr_PrintEx(0);
            throw InternalFault(std::string("failed to create type object for ") + class_name_);
        }
    }

    const char* class_name() const noexcept { return class_name_; }

private:
    const char* class_name_;
    PyType_Spec* spec_;
    PyTypeObject* type_ = nullptr;
};

// A shared hold on an instance passed as `self`, together with a reference
// to it, kept for the length of one operation. `Record` has a member
// `access_count`.
template <class Record>
class SharedHold {
public:
    // Checks that `self` is of `type` (or a subtype) and opens the hold.
    static SharedHold open(PyObject* self, PyTypeObject* type, std::string_view class_name) {
        if (!PyObject_TypeCheck(self, type)) {
            throw downcast_error(self, class_name);
        }
        Record* record = reinterpret_cast<Record*>(self);
        std::size_t count = record->access_count.load(std::memory_order_relaxed);
        do {
            if (count == exclusive_hold) {
                throw PyError(PyExc_RuntimeError, "Already mutably borrowed");
            }
        } while (!record->access_count.compare_exchange_weak(
            count, count + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return SharedHold(record, PyRef::borrow(self));
    }

    SharedHold(SharedHold&& other) noexcept
        : record_(std::exchange(other.record_, nullptr)), object_(std::move(other.object_)) {}
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    SharedHold& operator=(SharedHold&&) = delete;

    // Closes the hold, then releases the reference.
    ~SharedHold() {
        if (record_ != nullptr) {
            record_->access_count.fetch_sub(1, std::memory_order_release);
        }
    }

    const Record& operator*() const noexcept { return *record_; }
    const Record* operator->() const noexcept { return record_; }

private:
    SharedHold(Record* record, PyRef object) noexcept
        : record_(record), object_(std::move(object)) {}

    Record* record_;
    PyRef object_;
};

}  // namespace lamiro
