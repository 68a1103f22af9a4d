// SPDX-License-Identifier: MIT
#include "common/internal_fault.hpp"

#include <pthread.h>

#include <cstdio>

namespace lamiro {

namespace {

void write_diagnostic(const std::string& message, const std::source_location& where) {
    char name[32] = "<unnamed>";
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::snprintf(name, sizeof name, "<unnamed>");
    }
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u:\n%s\n", name, where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
}

}  // namespace

InternalFault::InternalFault(std::string message, std::source_location where)
    : message_(std::move(message)) {
    write_diagnostic(message_, where);
}

InternalFault::~InternalFault() = default;

void throw_index_out_of_bounds(std::source_location where) {
    throw InternalFault(index_out_of_bounds_message, where);
}

}  // namespace lamiro
