// SPDX-License-Identifier: MIT
#pragma once

#include <Python.h>

namespace lamiro {

using npy_intp = Py_ssize_t;

// NumPy type numbers used by the module.
inline constexpr int npy_double = 12;   // float64
inline constexpr int npy_cdouble = 15;  // complex128

// The leading fields of an ndarray object. Their layout is the same in
// NumPy 1.x and 2.x; the module reads no field beyond `flags`.
struct NdarrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline NdarrayFields* ndarray_fields(PyObject* array) noexcept {
    return reinterpret_cast<NdarrayFields*>(array);
}

// The four entries of NumPy's C-API table that the module uses.
struct ArrayApi {
    // Table index 2.
    PyTypeObject* array_type;
    // Table index 45: a new reference to the dtype of a type number.
    PyObject* (*descr_from_type)(int type_number);
    // Table index 94: steals `descr`.
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd,
                                const npy_intp* dimensions, const npy_intp* strides, void* data,
                                int flags, PyObject* base);
    // Table index 182. NumPy returns a one-byte truth value (npy_bool).
    unsigned char (*equiv_types)(PyObject* first, PyObject* second);
};

// The table, obtained from NumPy on first need and kept for the process;
// only the ABIs of NumPy 1.x and 2.x are accepted (ImportError otherwise). A
// failure is the internal fault "Failed to access NumPy array API capsule: "
// followed by the description of the Python error, or a MemoryError where
// memory ran out; it is not remembered.
const ArrayApi& array_api();

}  // namespace lamiro
