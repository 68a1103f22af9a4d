// SPDX-License-Identifier: MIT
#include "module/error_notes.hpp"

#include <optional>

#include "module/error_text.hpp"
#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

namespace {

// "a" or "an" before a word as it is spoken ("an int64", "a uint8").
std::string with_article(const std::string& words) {
    const char first = words.empty() ? 'x' : words.front();
    const bool vowel = first == 'a' || first == 'e' || first == 'i' || first == 'o' ||
                       first == 'A' || first == 'E' || first == 'I' || first == 'O';
    return (vowel ? "an " : "a ") + words;
}

// "1 row", "4 rows".
std::string counted(std::size_t count, std::string_view one, std::string_view many) {
    std::string text = std::to_string(count);
    text += ' ';
    text += count == 1 ? one : many;
    return text;
}

// A shape as Python writes it: "(3, 5)", "(5,)", "()".
std::string shape_text(std::span<const npy_intp> shape) {
    std::string text = "(";
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (axis != 0) {
            text += ", ";
        }
        text += std::to_string(shape[axis]);
    }
    text += shape.size() == 1 ? ",)" : ")";
    return text;
}

// str() of an attribute of a NumPy object (a dtype's name, kind, byte order).
std::string attribute_text(PyObject* object, const char* name) {
    PyRef value = check_new(PyObject_GetAttrString(object, name));
    PyRef text = check_new(PyObject_Str(value.get()));
    std::optional<std::string> utf8 = utf8_text(text.get());
    if (!utf8) {
        throw fetch_error();
    }
    return std::move(*utf8);
}

// Whether numpy.asarray(x, dtype=...) turns elements of this kind into the
// required type without losing a part of each (a complex value has no
// float64 equivalent).
bool converts_without_loss(const std::string& kind, int type_number) {
    const std::string_view kinds = type_number == npy_cdouble ? "biufc" : "biuf";
    return kind.size() == 1 && kinds.find(kind.front()) != std::string_view::npos;
}

std::string_view dtype_name(int type_number) {
    return type_number == npy_cdouble ? "complex128" : "float64";
}

std::string requirement_prefix(const ArrayArgument& argument) {
    std::string note(argument.name);
    note += " must be ";
    note += argument.requirement;
    note += "; got ";
    return note;
}

}  // namespace

std::string refused_array_note(const ArrayArgument& argument, PyObject* given) {
    std::string note = requirement_prefix(argument);
    const ArrayApi& api = array_api();
    if (!PyObject_TypeCheck(given, api.array_type)) {
        note += with_article(
            type_name(Py_TYPE(given), TypeNameKind::qualified_name).value_or("object"));
        note += ", not a NumPy array";
        return note;
    }
    const NdarrayFields& fields = *ndarray_fields(given);
    const std::string byte_order = attribute_text(fields.descr, "byteorder");
    std::string described = byte_order == ">"   ? "big-endian "
                            : byte_order == "<" ? "little-endian "
                                                : "";
    described += attribute_text(fields.descr, "name");
    described += ' ';
    described += Py_IS_TYPE(given, api.array_type)
                     ? std::string("array")
                     : type_name(Py_TYPE(given), TypeNameKind::qualified_name).value_or("array");
    note += with_article(described);
    note += " of shape ";
    note += shape_text(std::span(fields.dimensions, static_cast<std::size_t>(fields.nd)));
    if (argument.nd == fields.nd &&
        converts_without_loss(attribute_text(fields.descr, "kind"), argument.type_number)) {
        note += "; numpy.asarray(";
        note += argument.name;
        note += ", dtype=numpy.";
        note += dtype_name(argument.type_number);
        note += ") converts it";
    }
    return note;
}

std::string not_two_dimensional_note(const ArrayArgument& argument,
                                     std::span<const npy_intp> shape) {
    std::string note = requirement_prefix(argument);
    note += with_article(std::string(dtype_name(argument.type_number)) + " array");
    note += " of shape ";
    note += shape_text(shape);
    return note;
}

std::vector<std::string> short_array_notes(std::size_t d_length, std::size_t n_rows,
                                           std::size_t n_cols, std::size_t wavelengths) {
    std::vector<std::string> notes;
    // Without wavelengths nothing is read, so no shape can be short.
    if (wavelengths == 0) {
        return notes;
    }
    if (n_rows < 2) {
        notes.push_back("n has " + counted(n_rows, "row", "rows") +
                        " but a stack needs at least two media, the incidence and the exit "
                        "medium, one row each");
    }
    if (n_cols < wavelengths) {
        std::string note = "n has " + counted(n_cols, "column", "columns") + " but wl has " +
                           counted(wavelengths, "wavelength", "wavelengths");
        if (n_rows == wavelengths) {
            note += "; n has one row per medium and one column per wavelength (is it transposed?)";
        }
        notes.push_back(std::move(note));
    }
    if (n_rows >= 2 && d_length < n_rows - 2) {
        notes.push_back("d has " + counted(d_length, "thickness", "thicknesses") + " but n has " +
                        counted(n_rows, "row", "rows") + ", which make " +
                        counted(n_rows - 2, "layer", "layers") +
                        " between the incidence and the exit medium; d needs one thickness "
                        "per layer");
    }
    return notes;
}

}  // namespace lamiro
