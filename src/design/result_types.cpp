// SPDX-License-Identifier: MIT
#include "design/result_types.hpp"

#include <cstring>

#include "module/array_api.hpp"
#include "module/errors.hpp"

namespace lamiro::design {

namespace {

PyStructSequence_Field amplitude_fields[] = {
    {"rs", "amplitude reflection coefficient, s-polarised (complex128)"},
    {"rp", "amplitude reflection coefficient, p-polarised (complex128)"},
    {"ts", "amplitude transmission coefficient, s-polarised (complex128)"},
    {"tp", "amplitude transmission coefficient, p-polarised (complex128)"},
    {nullptr, nullptr},
};

PyStructSequence_Field ellipsometry_fields[] = {
    {"psi", "Psi = arctan|rp/rs|, in radians (float64)"},
    {"delta", "Delta = arg(-rp/rs) in [-pi, pi], in radians (float64)"},
    {nullptr, nullptr},
};

PyStructSequence_Field incoherent_fields[] = {
    {"r", "reflectance, the fraction of the incident power reflected (float64)"},
    {"t", "transmittance, the fraction of the incident power transmitted (float64)"},
    {nullptr, nullptr},
};

PyStructSequence_Field gradient_fields[] = {
    {"r", "reflectance (float64), lamiro's simulate() values"},
    {"t", "transmittance (float64), lamiro's simulate() values"},
    {"dr", "dR/dd[k] per unit of thickness, layers x wavelengths (float64)"},
    {"dt", "dT/dd[k] per unit of thickness, layers x wavelengths (float64)"},
    {nullptr, nullptr},
};

PyStructSequence_Field needle_fields[] = {
    {"dr", "dR/d(delta) of a layer of thickness delta -> 0 inserted at each depth (float64)"},
    {"dt", "dT/d(delta) of a layer of thickness delta -> 0 inserted at each depth (float64)"},
    {nullptr, nullptr},
};

ResultType amplitudes_type("lamiro_design.Amplitudes",
                           "Complex amplitude coefficients r = m01/m00 and t = 1/m00 of both "
                           "polarisations.",
                           amplitude_fields);
ResultType ellipsometry_type("lamiro_design.Ellipsometry",
                             "Ellipsometric angles Psi and Delta, in radians.",
                             ellipsometry_fields);

ResultType incoherent_type("lamiro_design.Incoherent",
                           "Reflectance and transmittance of a stack with incoherent layers.",
                           incoherent_fields);

ResultType gradient_type("lamiro_design.Gradient",
                         "Reflectance, transmittance and their derivatives with respect to every "
                         "layer's thickness.",
                         gradient_fields);

ResultType needle_type("lamiro_design.Needle",
                       "Derivatives of R and T with respect to the thickness of a thin layer "
                       "inserted at each depth.",
                       needle_fields);

}  // namespace

ResultType& gradient_result() { return gradient_type; }
ResultType& needle_result() { return needle_type; }
ResultType& incoherent_result() { return incoherent_type; }
ResultType& amplitudes_result() { return amplitudes_type; }
ResultType& ellipsometry_result() { return ellipsometry_type; }

const char* ResultType::short_name() const noexcept {
    const char* dot = std::strrchr(desc_.name, '.');
    return dot == nullptr ? desc_.name : dot + 1;
}

void ResultType::create() {
    if (type_ != nullptr) return;
    int count = 0;
    while (fields_[count].name != nullptr) ++count;
    desc_.n_in_sequence = count;
    type_ = reinterpret_cast<PyTypeObject*>(
        check_new(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&desc_))).release());
}

PyRef ResultType::make(std::initializer_list<PyRef*> values) const {
    PyRef result = check_new(PyStructSequence_New(type_));
    Py_ssize_t i = 0;
    for (PyRef* value : values) PyStructSequence_SetItem(result.get(), i++, value->release());
    return result;
}

void create_result_types(PyObject* module) {
    for (ResultType* result :
         {&amplitudes_type, &ellipsometry_type, &incoherent_type, &gradient_type, &needle_type}) {
        result->create();
        PyObject* type = reinterpret_cast<PyObject*>(result->type());
        if (PyModule_AddObjectRef(module, result->short_name(), type) != 0) throw fetch_error();
    }
}

OutputArray::OutputArray(int type_number, const DesignCall& call,
                         std::initializer_list<std::size_t> inner) {
    npy_intp dimensions[8];
    int nd = 0;
    if (call.theta.is_array) dimensions[nd++] = static_cast<npy_intp>(call.theta.values.size());
    for (std::size_t length : inner) dimensions[nd++] = static_cast<npy_intp>(length);
    dimensions[nd++] = static_cast<npy_intp>(call.wavelengths());
    const ArrayApi& api = array_api();
    PyRef descr = require_new_object(api.descr_from_type(type_number));
    array_ = check_new(api.new_from_descr(api.array_type, descr.release(), nd, dimensions, nullptr,
                                          nullptr, 0, nullptr));
}

OutputArray::OutputArray(int type_number, std::initializer_list<std::size_t> shape) {
    npy_intp dimensions[8];
    int nd = 0;
    for (std::size_t length : shape) dimensions[nd++] = static_cast<npy_intp>(length);
    const ArrayApi& api = array_api();
    PyRef descr = require_new_object(api.descr_from_type(type_number));
    array_ = check_new(api.new_from_descr(api.array_type, descr.release(), nd, dimensions, nullptr,
                                          nullptr, 0, nullptr));
}

char* OutputArray::ndarray_data() const noexcept { return ndarray_fields(array_.get())->data; }

}  // namespace lamiro::design
