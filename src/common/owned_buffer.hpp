// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "common/internal_fault.hpp"

namespace lamiro {

// A heap block of `size` elements that the holder owns. Elements are left
// uninitialised: every user fills the block completely right after it is
// allocated. A size whose byte count cannot be represented is the fault
// "capacity overflow"; exhausted memory throws std::bad_alloc, which the
// entry guard reports as MemoryError.
template <class T>
class OwnedBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    OwnedBuffer() = default;

    static OwnedBuffer allocate(std::size_t size) {
        if (size > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
            throw InternalFault("capacity overflow");
        }
        OwnedBuffer buffer;
        if (size != 0) {
            buffer.data_.reset(new T[size]);
        }
        buffer.size_ = size;
        return buffer;
    }

    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    // An independent copy of every element.
    OwnedBuffer clone() const {
        OwnedBuffer copy = allocate(size_);
        std::copy_n(data_.get(), size_, copy.data_.get());
        return copy;
    }

    T* data() noexcept { return data_.get(); }
    const T* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
};

}  // namespace lamiro
