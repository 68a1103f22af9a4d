// SPDX-License-Identifier: MIT
#include "pool/spin_lock.hpp"

#include <thread>

#include "pool/spin_pause.hpp"

namespace lamiro {

void SpinLock::wait_until_free() const noexcept {
    // Reading (not exchanging) while the lock is held keeps its cache line
    // shared among the waiters until it is released.
    constexpr int turns_before_yield = 64;
    for (int turn = 0; locked_.load(std::memory_order_relaxed); ++turn) {
        if (turn < turns_before_yield) {
            spin_pause();
        } else {
            std::this_thread::yield();
        }
    }
}

}  // namespace lamiro
