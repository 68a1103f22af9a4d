// SPDX-License-Identifier: MIT
#include "module/array_api.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace lamiro {

namespace {

std::atomic<const char*> core_module_name{nullptr};
std::atomic<const char*> multiarray_module_name{nullptr};
std::atomic<const ArrayApi*> published_api{nullptr};
std::once_flag api_filled;
ArrayApi api;

PyRef attribute(PyObject* object, const char* name) {
    return check_new(PyObject_GetAttrString(object, name));
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
const char* find_core_module_name() {
    if (const char* name = core_module_name.load(std::memory_order_acquire)) {
        return name;
    }
    PyRef numpy = check_new(PyImport_ImportModule("numpy"));
    PyRef version = attribute(numpy.get(), "__version__");
    PyRef numpy_lib = check_new(PyImport_ImportModule("numpy.lib"));
    PyRef numpy_version = attribute(numpy_lib.get(), "NumpyVersion");
    PyRef parsed = check_new(PyObject_CallOneArg(numpy_version.get(), version.get()));
    PyRef major_object = attribute(parsed.get(), "major");
    long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred() != nullptr) {
        throw fetch_error();
    }
    if (major < 0 || major > 255) {
        throw PyError(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    const char* name = major >= 2 ? "numpy._core" : "numpy.core";
    const char* expected = nullptr;
    core_module_name.compare_exchange_strong(expected, name, std::memory_order_acq_rel);
    return expected != nullptr ? expected : name;
}

const char* find_multiarray_module_name() {
    if (const char* name = multiarray_module_name.load(std::memory_order_acquire)) {
        return name;
    }
    const std::string core = find_core_module_name();
    const char* name = core == "numpy._core" ? "numpy._core.multiarray" : "numpy.core.multiarray";
    const char* expected = nullptr;
    multiarray_module_name.compare_exchange_strong(expected, name, std::memory_order_acq_rel);
    return expected != nullptr ? expected : name;
}

// The slots used here hold the same functions in the tables of NumPy 1.x
// and 2.x, whose ABI versions have the major numbers 1 and 2 (in the top
// byte). A table of any other ABI may hold other functions there, so it is
// refused before any of them is called.
void check_abi_version(void** table) {
    using VersionFunction = unsigned int (*)();
    const unsigned int version = reinterpret_cast<VersionFunction>(table[0])();
    const unsigned int major = version >> 24;
    if (major != 1 && major != 2) {
        char message[160];
        std::snprintf(message, sizeof message,
                      "NumPy's C API has ABI version 0x%08x (major %u); lamiro works with the ABI "
                      "of NumPy 1.x (major 1) and 2.x (major 2)",
                      version, major);
        throw PyError(PyExc_ImportError, message);
    }
}

void** load_table() {
    PyRef multiarray = check_new(PyImport_ImportModule(find_multiarray_module_name()));
    PyRef capsule = attribute(multiarray.get(), "_ARRAY_API");
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        throw downcast_error(capsule.get(), "PyCapsule");
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred() != nullptr) {
        throw fetch_error();
    }
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr) {
        throw fetch_error();
    }
    void** table = static_cast<void**>(pointer);
    check_abi_version(table);
    // The capsule is kept for the life of the process so the table stays valid.
    static_cast<void>(capsule.release());
    return table;
}

}  // namespace

const ArrayApi& array_api() {
    if (const ArrayApi* ready = published_api.load(std::memory_order_acquire)) {
        return *ready;
    }
    void** table = nullptr;
    try {
        table = load_table();
    } catch (PyError& error) {
        fail_must_succeed_step("Failed to access NumPy array API capsule", std::move(error));
    }
    // The first table stored wins; filling it calls nothing that could wait.
    std::call_once(api_filled, [table] {
        api.array_type = static_cast<PyTypeObject*>(table[2]);
        api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[45]);
        api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[94]);
        api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[182]);
        published_api.store(&api, std::memory_order_release);
    });
    return api;
}

}  // namespace lamiro
