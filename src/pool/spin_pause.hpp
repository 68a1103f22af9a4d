// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>

namespace lamiro {

// One turn of a loop that waits for another thread to change a value: tells
// the processor that this thread only waits, so a sibling hardware thread
// gets the core's resources and the loop does not flood the memory system.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace lamiro
