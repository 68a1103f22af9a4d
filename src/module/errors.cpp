// SPDX-License-Identifier: MIT
#include "module/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace lamiro {

namespace {

constexpr const char* panic_exception_doc =
    "The exception raised when the native code of lamiro fails with an internal fault "
    "while it is called from Python.\n\n"
    "Like SystemExit, this exception is derived from BaseException, so that it will "
    "usually propagate all the way up the stack and end the Python interpreter.";

constexpr const char* fault_without_message =
    "the native code of lamiro failed with a fault that carries no message";

std::atomic<PyObject*> panic_type{nullptr};

[[noreturn]] void abort_unreportable() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

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

// Message bytes (UTF-8, possibly with encoded lone surrogates) as a str.
PyRef message_object(const std::string& message) noexcept {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

// The UTF-8 bytes of a str; lone surrogates are kept encoded and later shown
// as replacement characters. Empty result with an error pending on failure.
bool utf8_text(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &size)) {
        out.assign(bytes, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) {
        return false;
    }
    out.assign(PyBytes_AS_STRING(encoded.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

// str() or repr() of an object for a message, with the placeholder rule.
std::string object_text_with(PyObject* object, PyObject* (*convert)(PyObject*)) {
    std::string text;
    PyRef converted = PyRef::steal(convert(object));
    if (converted && utf8_text(converted.get(), text)) {
        return text;
    }
    PyErr_WriteUnraisable(object);
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (name && utf8_text(name.get(), text)) {
        return "<unprintable " + text + " object>";
    }
    PyErr_Clear();
    return "<unprintable object>";
}

// A text quoted and escaped the way diagnostics show strings.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escape[16];
                    std::snprintf(escape, sizeof escape, "\\u{%x}", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

// The formatted traceback, or an empty optional text when it cannot be made.
bool format_traceback(PyObject* traceback, std::string& out) {
    PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    if (!module) {
        return false;
    }
    PyRef lines = PyRef::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback));
    if (!lines) {
        return false;
    }
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    if (!empty) {
        return false;
    }
    PyRef joined = PyRef::steal(PyUnicode_Join(empty.get(), lines.get()));
    std::string body;
    if (!joined || !utf8_text(joined.get(), body)) {
        return false;
    }
    out = "Traceback (most recent call last):\n" + body;
    return true;
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    PyRef text = message_object(message);
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

[[noreturn]] void resume_panic(PyRef exception) {
    std::string message;
    PyRef text = PyRef::steal(PyObject_Str(exception.get()));
    if (!text || !utf8_text(text.get(), message)) {
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
    throw ResumedPanic(std::move(message));
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
    if (!exception) {
        PyRef text = message_object(message_);
        PyObject* made = text ? PyObject_CallOneArg(type_.get(), text.get()) : nullptr;
        exception = made != nullptr ? PyRef::steal(made) : take_pending_exception();
    }
    if (has_cause_ && PyExceptionInstance_Check(exception.get())) {
        PyException_SetCause(exception.get(), cause_.release());
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

PyError fetch_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return PyError(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyRef exception = PyRef::steal(raised);
    if (PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(panic_exception_type()))) {
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
        if (PyErr_Occurred() != nullptr) {
            PyErr_PrintEx(0);
        }
        throw InternalFault("Python API call failed", where);
    }
    return PyRef::steal(result);
}

PyError downcast_error(PyObject* object, std::string_view target) {
    std::string type_name;
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname || !utf8_text(qualname.get(), type_name)) {
        PyErr_Clear();
        type_name = "<failed to extract type name>";
    }
    std::string message = "'";
    message += type_name;
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
    return prefixed;
}

std::string object_text(PyObject* object) { return object_text_with(object, PyObject_Str); }

std::string describe_error(PyError error) {
    PyRef exception = std::move(error).into_exception();
    std::string type =
        object_text_with(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), PyObject_Repr);
    std::string value = object_text_with(exception.get(), PyObject_Repr);
    std::string traceback = "None";
    PyRef tb = PyRef::steal(PyException_GetTraceback(exception.get()));
    if (tb && tb.get() != Py_None) {
        std::string formatted;
        if (!format_traceback(tb.get(), formatted)) {
            PyErr_Clear();
            formatted = "<traceback could not be formatted>";
        }
        traceback = "Some(" + quoted(formatted) + ")";
    }
    return "PyErr { type: " + type + ", value: " + value + ", traceback: " + traceback + " }";
}

PyObject* panic_exception_type() {
    if (PyObject* type = panic_type.load(std::memory_order_acquire)) {
        return type;
    }
    PyObject* created = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException", panic_exception_doc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        // Reporting any fault needs this type, so this one cannot be reported.
        PyErr_PrintEx(0);
        InternalFault fault("Failed to initialize new exception type.");
        abort_unreportable();
    }
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
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
    } catch (...) {
        abort_unreportable();
    }
    if (report == Report::unraisable) {
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace lamiro
