// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

#include "module/class_type.hpp"
#include "module/errors.hpp"
#include "module/instance_record.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

// A shared hold on an instance passed as `self`, together with a reference
// to it, kept for the length of one operation; it gives read access to the
// instance's fields.
template <class Fields>
class SharedHold {
public:
    // Checks that `self` is of the class (or a subtype) and opens the hold.
    static SharedHold open(PyObject* self, ClassType& class_type) {
        if (!PyObject_TypeCheck(self, class_type.lookup())) {
            throw downcast_error(self, class_type.class_name());
        }
        auto* record = reinterpret_cast<InstanceRecord<Fields>*>(self);
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

    const Fields& operator*() const noexcept { return record_->fields; }
    const Fields* operator->() const noexcept { return &record_->fields; }

private:
    SharedHold(InstanceRecord<Fields>* record, PyRef object) noexcept
        : record_(record), object_(std::move(object)) {}

    InstanceRecord<Fields>* record_;
    PyRef object_;
};

}  // namespace lamiro
