// SPDX-License-Identifier: MIT
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace lamiro {

// A broken invariant, a failed must-succeed step or an index outside an
// array. It abandons the whole call; the entry guard turns it into the
// Python exception PanicException carrying the same message.
//
// Constructing one writes a diagnostic (thread, source location, message)
// to standard error at the moment the fault occurs.
//
// It is thrown in the core library and caught in the extension modules, so
// its type information must be one object that both sides see: the class is
// visible outside the core library, and its destructor, defined there, is
// the key function that places the type information and the virtual table
// in the core library alone.
class [[gnu::visibility("default")]] InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message,
                           std::source_location where = std::source_location::current());
    InternalFault(const InternalFault&) = default;
    InternalFault& operator=(const InternalFault&) = default;
    ~InternalFault() override;

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Message of the index fault raised when the numerics read outside an array.
inline constexpr const char* index_out_of_bounds_message = "ndarray: index out of bounds";

// Throws the index fault. The diagnostic names the caller's read that
// failed, not this function.
[[noreturn]] void throw_index_out_of_bounds(
    std::source_location where = std::source_location::current());

}  // namespace lamiro
