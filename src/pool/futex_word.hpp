// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>

namespace lamiro {

// Blocks the calling thread while `word` holds `expected`, without using the
// processor. Returns at once when the word holds another value, and may
// return spuriously: the caller checks its condition again.
void futex_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// Wakes up to `count` threads blocked in futex_wait on `word`.
void futex_wake(std::atomic<std::uint32_t>& word, int count) noexcept;

}  // namespace lamiro
