// SPDX-License-Identifier: MIT
#include "module/error_text.hpp"

#include <cstdio>

namespace lamiro {

namespace {

// str() or repr() of an object for a message, with the placeholder rule.
std::string object_text_with(PyObject* object, PyObject* (*convert)(PyObject*)) {
    PyRef converted = PyRef::steal(convert(object));
    if (converted) {
        if (std::optional<std::string> text = utf8_text(converted.get())) {
            return std::move(*text);
        }
    }
    PyErr_WriteUnraisable(object);
    std::optional<std::string> name = type_name(Py_TYPE(object), TypeNameKind::name);
    return name ? "<unprintable " + *name + " object>" : "<unprintable object>";
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

// The formatted traceback; none, with the error pending, when it cannot be
// made.
std::optional<std::string> format_traceback(PyObject* traceback) {
    PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    if (!module) {
        return std::nullopt;
    }
    PyRef lines = PyRef::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback));
    if (!lines) {
        return std::nullopt;
    }
    PyRef empty = PyRef::steal(PyUnicode_FromString(""));
    if (!empty) {
        return std::nullopt;
    }
    PyRef joined = PyRef::steal(PyUnicode_Join(empty.get(), lines.get()));
    if (!joined) {
        return std::nullopt;
    }
    std::optional<std::string> body = utf8_text(joined.get());
    if (!body) {
        return std::nullopt;
    }
    return "Traceback (most recent call last):\n" + *body;
}

}  // namespace

std::optional<std::string> utf8_text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(bytes, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!encoded) {
        return std::nullopt;
    }
    return std::string(PyBytes_AS_STRING(encoded.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

PyRef message_object(const std::string& message) noexcept {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

std::optional<std::string> type_name(PyTypeObject* type, TypeNameKind kind) {
    PyRef name =
        PyRef::steal(kind == TypeNameKind::name ? PyType_GetName(type) : PyType_GetQualName(type));
    if (name) {
        if (std::optional<std::string> text = utf8_text(name.get())) {
            return text;
        }
    }
    PyErr_Clear();
    return std::nullopt;
}

std::string object_text(PyObject* object) { return object_text_with(object, PyObject_Str); }

std::string describe_exception(PyObject* exception) {
    std::string type =
        object_text_with(reinterpret_cast<PyObject*>(Py_TYPE(exception)), PyObject_Repr);
    std::string value = object_text_with(exception, PyObject_Repr);
    std::string traceback = "None";
    PyRef tb = PyRef::steal(PyException_GetTraceback(exception));
    if (tb && tb.get() != Py_None) {
        std::optional<std::string> formatted = format_traceback(tb.get());
        if (!formatted) {
            PyErr_Clear();
            formatted = "<traceback could not be formatted>";
        }
        traceback = "Some(" + quoted(*formatted) + ")";
    }
    return "PyErr { type: " + type + ", value: " + value + ", traceback: " + traceback + " }";
}

}  // namespace lamiro
