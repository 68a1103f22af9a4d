// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lamiro {

// Processor limit of a cgroup v2 `cpu.max` text ("<quota> <period>" or
// "max <period>"): floor(quota / period), at least 1, or nullopt when unlimited or
// unreadable.
std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view text);

// Processor limit of the cgroup v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us`
// texts: floor(quota / period), at least 1, or nullopt when the quota is -1 (unlimited)
// or either text is unreadable.
std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota_text,
                                              std::string_view period_text);

// Processor limit of the calling process's control group, or nullopt when
// none is set or none can be found. The group is located through
// /proc/self/cgroup and /proc/self/mountinfo (falling back to the usual
// mount points under /sys/fs/cgroup); every limit on the way from the group
// up to the root of its hierarchy counts, the smallest wins. `root` is
// prepended to every path read, so a directory holding sample files can
// stand in for the real file system; "" reads the real one.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "");

// Number of processors the process may run on: the size of its CPU affinity
// mask, or else (or on systems without one) the number of online
// processors; on Linux reduced to the control group's processor limit,
// never below 1. 1 when nothing can be determined.
std::size_t default_processor_count();

}  // namespace lamiro
