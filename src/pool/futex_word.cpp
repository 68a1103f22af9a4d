// SPDX-License-Identifier: MIT
#include "pool/futex_word.hpp"

#include <chrono>
#include <thread>

#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace lamiro {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the kernel reads the atomic word as a plain 32-bit integer");

#ifdef __linux__

namespace {

// The address the kernel compares and queues on. The words belong to this
// process only, so the private futex operations suffice (they skip the
// kernel's shared-memory lookup).
std::uint32_t* address_of(const std::atomic<std::uint32_t>& word) noexcept {
    return const_cast<std::uint32_t*>(reinterpret_cast<const volatile std::uint32_t*>(&word));
}

}  // namespace

void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    const long result =
        ::syscall(SYS_futex, address_of(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
    // EAGAIN: the word had already changed; EINTR: a signal arrived. Any
    // other failure would turn every wait into a busy loop; a short sleep
    // keeps the waiter from burning its processor while it checks again.
    if (result != 0 && errno != EAGAIN && errno != EINTR) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void futex_wake(std::atomic<std::uint32_t>& word, int count) noexcept {
    ::syscall(SYS_futex, address_of(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

#else

// Elsewhere the standard library's waiting on atomics does the same job (it
// may wake more threads than asked for, which the callers tolerate).
void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    word.wait(expected, std::memory_order_acquire);
}

void futex_wake(std::atomic<std::uint32_t>& word, int count) noexcept {
    if (count == 1) {
        word.notify_one();
    } else {
        word.notify_all();
    }
}

#endif

}  // namespace lamiro
