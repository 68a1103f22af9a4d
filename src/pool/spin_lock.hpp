// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>

namespace lamiro {

// A lock for sections of a few dozen instructions that threads often enter
// at the same moment (workers woken together by one request). A thread that
// finds it held keeps trying instead of going to sleep: being put to sleep
// and woken by the kernel takes microseconds, the section nanoseconds. After
// a few turns it yields its processor, in case the holder was preempted.
class SpinLock {
public:
    void lock() noexcept {
        while (locked_.exchange(true, std::memory_order_acquire)) {
            wait_until_free();
        }
    }

    bool try_lock() noexcept { return !locked_.exchange(true, std::memory_order_acquire); }

    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

private:
    void wait_until_free() const noexcept;

    std::atomic<bool> locked_{false};
};

}  // namespace lamiro
