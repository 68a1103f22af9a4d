// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "module/py_ref.hpp"

namespace lamiro {

// The exception type "pyo3_runtime.PanicException" (derived from
// BaseException) that internal faults become in Python, kept for the life of
// the process once created. Module initialisation creates it, so that
// reporting a fault later never depends on memory for a new type. Null, with
// the interpreter's error pending, when it cannot be created.
PyObject* panic_exception_type() noexcept;

// The type if it was created, else null. A pending exception cannot be an
// instance of a type that does not exist yet, so whoever only needs to
// recognise a PanicException asks here and never creates the type.
PyObject* existing_panic_exception_type() noexcept;

// Raises PanicException(message) in the interpreter. Should memory run out
// for the type or the exception, the MemoryError is raised instead.
void raise_panic(const std::string& message) noexcept;

// A PanicException that came back through Python code and is carried on as
// an internal fault. Its notice was already written when it was taken, so
// unlike InternalFault it writes no diagnostic of its own.
class ResumedPanic {
public:
    explicit ResumedPanic(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the notice and the exception with its traceback to standard error,
// then throws ResumedPanic with the exception's message.
[[noreturn]] void resume_panic(PyRef exception);

// For a fault that cannot be reported: ends the process.
[[noreturn]] void abort_unreportable() noexcept;

}  // namespace lamiro
