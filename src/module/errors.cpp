// SPDX-License-Identifier: MIT
#include "module/errors.hpp"

#include "module/error_text.hpp"
#include "module/panic_exception.hpp"

namespace lamiro {

namespace {

constexpr const char* fault_without_message =
    "the native code of lamiro failed with a fault that carries no message";

// The exception the interpreter has pending, which the caller knows is set;
// should it not be, a SystemError stands in for it.
PyRef take_pending_exception() noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = PyErr_GetRaisedException();
    }
    return PyRef::steal(raised);
}

// BaseException.add_note for each note, in order. The first that cannot be
// added (memory ran out) ends the attempt; its error is discarded, since the
// exception it was meant for is what the caller must see.
void add_notes_to(PyObject* exception, const std::vector<std::string>& notes) noexcept {
    if (notes.empty() || !PyExceptionInstance_Check(exception)) {
        return;
    }
    PyRef method = PyRef::steal(PyObject_GetAttrString(exception, "add_note"));
    for (const std::string& note : notes) {
        PyRef text = method ? message_object(note) : PyRef();
        PyRef added = text ? PyRef::steal(PyObject_CallOneArg(method.get(), text.get())) : PyRef();
        if (!added) {
            PyErr_Clear();
            return;
        }
    }
}

}  // namespace

PyError::PyError(PyObject* type, std::string message)
    : type_(PyRef::borrow(type)), message_(std::move(message)) {}

PyError PyError::from_exception(PyRef exception) {
    PyError error;
    error.exception_ = std::move(exception);
    return error;
}

bool PyError::has_exact_type(PyObject* type) const noexcept {
    if (exception_) {
        return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
    }
    return type_.get() == type;
}

bool PyError::matches(PyObject* type) const noexcept {
    return PyErr_GivenExceptionMatches(exception_ ? exception_.get() : type_.get(), type) != 0;
}

std::string PyError::text() const {
    if (exception_) {
        return object_text(exception_.get());
    }
    return message_;
}

PyRef PyError::cause() const {
    if (exception_) {
        return PyRef::steal(PyException_GetCause(exception_.get()));
    }
    return PyRef::borrow(cause_.get());
}

PyRef PyError::into_exception() && {
    PyRef exception = std::move(exception_);
    bool made_as_meant = true;
    if (!exception) {
        PyRef text = message_object(message_);
        PyObject* made = text ? PyObject_CallOneArg(type_.get(), text.get()) : nullptr;
        made_as_meant = made != nullptr;
        exception = made_as_meant ? PyRef::steal(made) : take_pending_exception();
    }
    if (has_cause_ && PyExceptionInstance_Check(exception.get())) {
        PyException_SetCause(exception.get(), cause_.release());
    }
    // The notes say how to fix this error; on the MemoryError that took its
    // place they would be wrong.
    if (made_as_meant) {
        add_notes_to(exception.get(), notes_);
    }
    return exception;
}

void PyError::restore() && noexcept {
    // An error built here is raised like a `raise` statement would raise it,
    // so the exception being handled, if any, becomes its __context__. One
    // taken from the interpreter goes back exactly as it was.
    const bool built_here = !exception_;
    PyRef exception = std::move(*this).into_exception();
    if (built_here && PyExceptionInstance_Check(exception.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        return;
    }
    PyErr_SetRaisedException(exception.release());
}

void PyError::print() && noexcept {
    PyErr_SetRaisedException(std::move(*this).into_exception().release());
    PyErr_PrintEx(0);
}

PyError fetch_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return PyError(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyRef exception = PyRef::steal(raised);
    // Only recognised, never created here: making the type could itself run
    // out of memory while a MemoryError is being taken.
    PyObject* panic_type = existing_panic_exception_type();
    if (panic_type != nullptr &&
        PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(panic_type))) {
        resume_panic(std::move(exception));
    }
    return PyError::from_exception(std::move(exception));
}

PyRef check_new(PyObject* result) {
    if (result == nullptr) {
        throw fetch_error();
    }
    return PyRef::steal(result);
}

PyRef require_new_object(PyObject* result, std::source_location where) {
    if (result == nullptr) {
        // Running out of memory is no broken invariant: the caller gets the
        // MemoryError, as from every other allocation of the module.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw fetch_error();
        }
        if (PyErr_Occurred() != nullptr) {
            PyErr_PrintEx(0);
        }
        throw InternalFault("Python API call failed", where);
    }
    return PyRef::steal(result);
}

PyError downcast_error(PyObject* object, std::string_view target) {
    std::string message = "'";
    message += type_name(Py_TYPE(object), TypeNameKind::qualified_name)
                   .value_or("<failed to extract type name>");
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return PyError(PyExc_TypeError, std::move(message));
}

PyError argument_error(std::string_view name, PyError error) {
    if (!error.has_exact_type(PyExc_TypeError)) {
        return error;
    }
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += error.text();
    PyError prefixed(PyExc_TypeError, std::move(message));
    prefixed.set_cause(error.cause());
    prefixed.notes_ = std::move(error.notes_);
    return prefixed;
}

void fail_must_succeed_step(std::string_view what, PyError error, std::source_location where) {
    if (error.matches(PyExc_MemoryError)) {
        throw std::move(error);
    }
    std::string message(what);
    message += ": ";
    message += describe_exception(std::move(error).into_exception().get());
    throw InternalFault(std::move(message), where);
}

PyError panic_error(const InternalFault& fault) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        throw fetch_error();
    }
    return PyError(type, fault.message());
}

void report_current_exception(Report report) noexcept {
    try {
        try {
            throw;
        } catch (PyError& error) {
            std::move(error).restore();
        } catch (const InternalFault& fault) {
            raise_panic(fault.message());
        } catch (const ResumedPanic& panic) {
            raise_panic(panic.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            // A fault from outside the module's own code: report it like one.
            InternalFault fault(error.what());
            raise_panic(fault.message());
        } catch (...) {
            InternalFault fault(fault_without_message);
            raise_panic(fault.message());
        }
    } catch (const std::bad_alloc&) {
        // Memory ran out while the report was being made (the text of a
        // foreign fault, say): the caller gets a MemoryError, as for every
        // other exhaustion of memory.
        PyErr_NoMemory();
    } catch (...) {
        abort_unreportable();
    }
    if (report == Report::unraisable) {
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace lamiro
