// SPDX-License-Identifier: MIT
// The two kinds of failure that travel through the module as C++ exceptions
// (a Python error, PyError, and an internal fault, InternalFault), and the
// one entry guard that hands either to the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/internal_fault.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

// A Python error travelling through the module as a C++ exception: either an
// exception type with its message (the exception object is made only when
// the error is raised) or an exception object taken from the interpreter.
// It is used up once: raised by the entry guard (restore()), written to
// standard error where a fault takes its place (print()), or made into an
// exception object for a cause or a fault's text (into_exception()).
class PyError {
public:
    // `type` is an exception class; the message is UTF-8.
    PyError(PyObject* type, std::string message);
    static PyError from_exception(PyRef exception);

    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;
    PyError(const PyError&) = delete;
    PyError& operator=(const PyError&) = delete;

    // The exception will carry `cause` as its __cause__ (none if empty); as
    // with `raise ... from`, its __context__ is then not displayed.
    void set_cause(PyRef cause) noexcept {
        cause_ = std::move(cause);
        has_cause_ = true;
    }

    // Adds the notes that `make_notes()` returns (a std::vector of UTF-8
    // texts) to those the exception will carry (PEP 678, add_note): lines
    // shown below the message in a traceback that say what to fix, while
    // str() and args stay the message. Should the notes not be made or kept
    // (memory ran out, a Python call failed), the error goes on without
    // them: a note never takes the error's place.
    template <class MakeNotes>
    void add_notes(MakeNotes&& make_notes) noexcept {
        try {
            for (std::string& note : std::forward<MakeNotes>(make_notes)()) {
                notes_.push_back(std::move(note));
            }
        } catch (...) {
        }
    }

    // True when the exception's type is exactly `type` (no subclass).
    bool has_exact_type(PyObject* type) const noexcept;

    // True when the exception is a `type` (or of a subclass).
    bool matches(PyObject* type) const noexcept;

    // str() of the exception value.
    std::string text() const;

    // __cause__ of the exception (empty if none).
    PyRef cause() const;

    // The exception object, made now if the error is still type and message,
    // with the notes added. Should making it fail, the exception of that
    // failure takes its place; a note that cannot be added is left out.
    PyRef into_exception() &&;

    // Raises the error in the interpreter.
    void restore() && noexcept;

    // Writes the error with its traceback to standard error through the
    // interpreter's printer; nothing is left pending.
    void print() && noexcept;

private:
    friend PyError argument_error(std::string_view name, PyError error);

    PyError() = default;

    PyRef type_;
    std::string message_;
    PyRef exception_;
    PyRef cause_;
    bool has_cause_ = false;
    std::vector<std::string> notes_;
};

// Takes the exception that the interpreter has pending after a call reported
// failure. A PanicException is not carried as an error: it is printed and
// raised again as a fault (ResumedPanic).
PyError fetch_error();

// A new reference returned by an interpreter call, or the call's pending
// exception thrown as PyError.
PyRef check_new(PyObject* result);

// For interpreter and NumPy calls that must produce a new object. A null
// result for want of memory throws the pending MemoryError as PyError; for
// any other reason the pending error is printed (which clears it) and the
// internal fault "Python API call failed" is raised.
PyRef require_new_object(PyObject* result,
                         std::source_location where = std::source_location::current());

// TypeError "'{type}' object cannot be converted to '{target}'".
PyError downcast_error(PyObject* object, std::string_view target);

// The error reported when converting the argument `name` failed: a TypeError
// gets the prefix "argument '{name}': " (keeping its __cause__ and notes),
// any other error passes unchanged.
PyError argument_error(std::string_view name, PyError error);

// A must-succeed step failed with `error`. A MemoryError is thrown as it is,
// like every other exhaustion of memory; any other error becomes the
// internal fault "{what}: PyErr { type: ..., value: ..., traceback: ... }".
[[noreturn]] void fail_must_succeed_step(
    std::string_view what, PyError error,
    std::source_location where = std::source_location::current());

// An internal fault as the PanicException it is reported as, for a fault
// that is to carry notes: the entry guard raises the two alike. The fault
// wrote its diagnostic when it was raised.
PyError panic_error(const InternalFault& fault);

// How report_current_exception leaves the exception it raised.
enum class Report { pending, unraisable };

// Raises the current C++ exception in the interpreter (to be called from a
// catch block only). With Report::unraisable the exception is then passed to
// the unraisable hook instead of being left pending.
void report_current_exception(Report report) noexcept;

// The C++ runtime keeps its exception bookkeeping in thread-local storage
// that the dynamic loader allocates on the first use in each thread, and the
// loader ends the process when that allocation fails. A std::bad_alloc thrown
// as a thread's first exception, on a heap with no room left, would meet
// exactly that; touching the storage on every entry allocates it while the
// thread's first call still has memory to spare.
inline void claim_exception_state() noexcept { static_cast<void>(std::uncaught_exceptions()); }

// The entry guard: runs `body` and returns its result; any exception becomes
// a raised Python exception and `error_value` is returned. Nothing thrown by
// `body` gets past this function.
template <class Result, class Body>
Result run_entry_point(Result error_value, Body&& body) noexcept {
    claim_exception_state();
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        report_current_exception(Report::pending);
    }
    return error_value;
}

// The guard for deallocation, which cannot return an error: any exception is
// passed to the unraisable hook. No object is named as its context, since
// the one being freed must not be referenced again.
template <class Body>
void run_unraisable_entry_point(Body&& body) noexcept {
    claim_exception_state();
    try {
        std::forward<Body>(body)();
    } catch (...) {
        report_current_exception(Report::unraisable);
    }
}

}  // namespace lamiro
