// SPDX-License-Identifier: MIT
#include "module/arguments.hpp"

#include <string>
#include <vector>

#include "module/error_text.hpp"
#include "module/errors.hpp"

namespace lamiro {

namespace {

std::string display_name(const CallDescription& description) {
    std::string name;
    if (!description.owner_class_name.empty()) {
        name += description.owner_class_name;
        name += '.';
    }
    name += description.function_name;
    name += "()";
    return name;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string parameter_list(const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                list += ',';
            }
            list += i + 1 == names.size() ? " and " : " ";
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

PyError binding_error(const CallDescription& description, const std::string& rest) {
    return PyError(PyExc_TypeError, display_name(description) + rest);
}

PyError too_many_positional(const CallDescription& description, std::size_t given) {
    std::size_t maximum = description.positional_parameter_names.size();
    std::size_t minimum = description.required_positional_count;
    std::string rest = " takes ";
    if (minimum != maximum) {
        rest += "from " + std::to_string(minimum) + " to ";
    }
    rest += std::to_string(maximum) + " positional arguments but " + std::to_string(given) +
            (given == 1 ? " was" : " were") + " given";
    return binding_error(description, rest);
}

PyError missing_arguments(const CallDescription& description, std::string_view kind,
                          const std::vector<std::string>& names) {
    std::string rest = " missing " + std::to_string(names.size()) + " required ";
    rest += kind;
    rest += names.size() == 1 ? " argument: " : " arguments: ";
    rest += parameter_list(names);
    return binding_error(description, rest);
}

PyError multiple_values(const CallDescription& description, std::string_view name) {
    std::string rest = " got multiple values for argument '";
    rest += name;
    rest += '\'';
    return binding_error(description, rest);
}

PyError unexpected_keyword(const CallDescription& description, const std::string& key) {
    return binding_error(description, " got an unexpected keyword argument '" + key + "'");
}

// The key as UTF-8 text, or false when it is not a str or cannot be encoded.
bool keyword_text(PyObject* key, std::string_view& text) {
    if (!PyUnicode_Check(key)) {
        return false;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(key, &size);
    if (bytes == nullptr) {
        PyErr_Clear();
        return false;
    }
    text = std::string_view(bytes, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

void bind_arguments(const CallDescription& description, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
    const auto& positional = description.positional_parameter_names;
    const auto& keyword_only = description.keyword_only_parameters;
    const std::size_t parameter_count = positional.size();
    const std::size_t given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));

    for (PyObject*& slot : slots) {
        slot = nullptr;
    }
    for (std::size_t i = 0; i < given && i < parameter_count; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (given > parameter_count) {
        throw too_many_positional(description, given);
    }

    std::vector<std::string> positional_only_as_keyword;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::string_view name;
            if (!keyword_text(key, name)) {
                throw unexpected_keyword(description, object_text(key));
            }
            bool matched = false;
            for (std::size_t k = 0; k < keyword_only.size() && !matched; ++k) {
                if (keyword_only[k].name == name) {
                    PyObject*& slot = slots[parameter_count + k];
                    if (slot != nullptr) {
                        throw multiple_values(description, name);
                    }
                    slot = value;
                    matched = true;
                }
            }
            for (std::size_t i = 0; i < parameter_count && !matched; ++i) {
                if (positional[i] == name) {
                    if (i < description.positional_only_count) {
                        positional_only_as_keyword.emplace_back(name);
                    } else if (slots[i] != nullptr) {
                        throw multiple_values(description, name);
                    } else {
                        slots[i] = value;
                    }
                    matched = true;
                }
            }
            if (!matched) {
                throw unexpected_keyword(description, std::string(name));
            }
        }
    }

    if (!positional_only_as_keyword.empty()) {
        throw binding_error(description,
                            " got some positional-only arguments passed as keyword arguments: " +
                                parameter_list(positional_only_as_keyword));
    }

    const std::size_t required = description.required_positional_count;
    if (given < required) {
        std::vector<std::string> missing;
        for (std::size_t i = given; i < required; ++i) {
            if (slots[i] == nullptr) {
                missing.emplace_back(positional[i]);
            }
        }
        if (!missing.empty()) {
            throw missing_arguments(description, "positional", missing);
        }
    }

    std::vector<std::string> missing_keywords;
    for (std::size_t k = 0; k < keyword_only.size(); ++k) {
        if (keyword_only[k].required && slots[parameter_count + k] == nullptr) {
            missing_keywords.emplace_back(keyword_only[k].name);
        }
    }
    if (!missing_keywords.empty()) {
        throw missing_arguments(description, "keyword", missing_keywords);
    }
}

double extract_float(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        throw fetch_error();
    }
    return value;
}

}  // namespace lamiro
