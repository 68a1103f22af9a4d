// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "module/py_ref.hpp"

namespace lamiro {

// Texts of Python objects as they appear inside error messages and fault
// diagnostics, all as UTF-8.

// The bytes of a str; lone surrogates are kept encoded (and later shown as
// replacement characters). None, with the error pending, on failure.
std::optional<std::string> utf8_text(PyObject* text);

// A message (UTF-8, possibly with encoded lone surrogates) as a new str, in
// which such surrogates read as replacement characters. Empty, with the
// error pending, on failure.
PyRef message_object(const std::string& message) noexcept;

enum class TypeNameKind { name, qualified_name };

// __name__ or __qualname__ of a type; none (with no error left pending) when
// it cannot be read.
std::optional<std::string> type_name(PyTypeObject* type, TypeNameKind kind);

// str(object) for use inside a message; when str() fails the error goes to
// the unraisable hook and "<unprintable {type name} object>" is the text.
std::string object_text(PyObject* object);

// "PyErr { type: ..., value: ..., traceback: ... }" for an exception object.
std::string describe_exception(PyObject* exception);

}  // namespace lamiro
