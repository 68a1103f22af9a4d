// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>

namespace lamiro {

// Largest number of worker threads the pool starts.
inline constexpr std::size_t max_worker_count = 255;

// The value of `text` when the whole text is an unsigned decimal number: an
// optional leading '+', then one or more digits 0-9, nothing else, and not
// larger than an unsigned long. Otherwise (null pointer, empty, spaces,
// signs other than '+', letters, overflow) nullopt.
std::optional<unsigned long> parse_unsigned_decimal(const char* text) noexcept;

// The worker count the two environment variable values ask for, or nullopt
// when they ask for the default count. RAYON_NUM_THREADS decides when it is a
// number (0 meaning the default, without looking further); otherwise
// RAYON_RS_NUM_CPUS decides the same way, except that 0 also means the
// default. Null pointers stand for unset variables. Not capped.
std::optional<std::size_t> requested_worker_count(const char* rayon_num_threads,
                                                  const char* rayon_rs_num_cpus) noexcept;

// The worker count for the given environment values and default count:
// the requested count or else the default, limited to 1..max_worker_count.
std::size_t worker_count_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                              std::size_t default_count) noexcept;

}  // namespace lamiro
