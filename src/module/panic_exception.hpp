// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "module/py_ref.hpp"

namespace lamiro {

// The exception type "pyo3_runtime.PanicException" (derived from
// BaseException) that internal faults become in Python, created on first
// use and kept for the life of the process.
PyObject* panic_exception_type();

// Raises PanicException(message) in the interpreter.
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
