// SPDX-License-Identifier: MIT
#include "design/design_entry.hpp"

#include <cstring>

namespace lamiro::design {

PyError fault_error(const InternalFault& fault) {
    if (fault.message() == "capacity overflow") {
        return PyError(PyExc_MemoryError, fault.message());
    }
    return PyError(PyExc_SystemError, "lamiro_design internal fault: " + fault.message());
}

}  // namespace lamiro::design
