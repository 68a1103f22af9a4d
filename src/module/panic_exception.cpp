// SPDX-License-Identifier: MIT
#include "module/panic_exception.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/internal_fault.hpp"
#include "module/error_text.hpp"

namespace lamiro {

namespace {

constexpr const char* panic_exception_doc =
    "The exception raised when the native code of lamiro fails with an internal fault "
    "while it is called from Python.\n\n"
    "Like SystemExit, this exception is derived from BaseException, so that it will "
    "usually propagate all the way up the stack and end the Python interpreter.";

std::atomic<PyObject*> panic_type{nullptr};

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) {
        return type;
    }
    PyObject* created = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException", panic_exception_doc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

PyObject* existing_panic_exception_type() noexcept {
    return panic_type.load(std::memory_order_acquire);
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        // Without memory the caller gets the MemoryError. For any other
        // failure the fault cannot be reported, since that needs this type.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return;
        }
        PyErr_PrintEx(0);
        try {
            InternalFault fault("Failed to initialize new exception type.");
        } catch (...) {
        }
        abort_unreportable();
    }
    // Should the text not be made, its MemoryError is left pending instead.
    PyRef text = message_object(message);
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

void resume_panic(PyRef exception) {
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    std::optional<std::string> message = text ? utf8_text(text.get()) : std::nullopt;
    if (!message) {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    std::fputs(
        "--- lamiro is resuming an internal fault after fetching a PanicException "
        "from Python. ---\n",
        stderr);
    std::fputs("Python stack trace below:\n", stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw ResumedPanic(std::move(*message));
}

void abort_unreportable() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace lamiro
