// SPDX-License-Identifier: MIT
#include "pool/thread_count_env.hpp"

#include <algorithm>
#include <limits>

namespace lamiro {

std::optional<unsigned long> parse_unsigned_decimal(const char* text) noexcept {
    if (text == nullptr) {
        return std::nullopt;
    }
    if (*text == '+') {
        ++text;
    }
    if (*text == '\0') {
        return std::nullopt;
    }
    constexpr unsigned long max_value = std::numeric_limits<unsigned long>::max();
    unsigned long value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<unsigned long>(*text - '0');
        if (value > (max_value - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::size_t> requested_worker_count(const char* rayon_num_threads,
                                                  const char* rayon_rs_num_cpus) noexcept {
    if (const auto value = parse_unsigned_decimal(rayon_num_threads)) {
        if (*value == 0) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(*value);
    }
    if (const auto value = parse_unsigned_decimal(rayon_rs_num_cpus); value && *value != 0) {
        return static_cast<std::size_t>(*value);
    }
    return std::nullopt;
}

std::size_t worker_count_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                              std::size_t default_count) noexcept {
    const std::size_t count =
        requested_worker_count(rayon_num_threads, rayon_rs_num_cpus).value_or(default_count);
    return std::clamp<std::size_t>(count, 1, max_worker_count);
}

}  // namespace lamiro
