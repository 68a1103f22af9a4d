// SPDX-License-Identifier: MIT
#include "pool/cpu_quota.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sched.h>

#include <cerrno>
#endif

namespace lamiro {

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << stream.rdbuf();
    if (stream.bad()) {
        return std::nullopt;
    }
    return std::move(text).str();
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(" \t\n\r", pos);
        if (pos == std::string_view::npos) {
            return tokens;
        }
        const std::size_t end = std::min(text.find_first_of(" \t\n\r", pos), text.size());
        tokens.push_back(text.substr(pos, end - pos));
        pos = end;
    }
}

std::optional<long long> parse_integer(std::string_view token) {
    long long value = 0;
    const char* last = token.data() + token.size();
    const auto [end, error] = std::from_chars(token.data(), last, value);
    if (error != std::errc{} || end != last || token.empty()) {
        return std::nullopt;
    }
    return value;
}

// The whole processors the quota grants, floor(quota / period) but never
// below 1, for a positive quota and period; else nullopt.
std::optional<std::size_t> limit_from(std::optional<long long> quota,
                                      std::optional<long long> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) {
        return std::nullopt;
    }
    const auto q = static_cast<unsigned long long>(*quota);
    const auto p = static_cast<unsigned long long>(*period);
    return static_cast<std::size_t>(std::max(q / p, 1ULL));
}

std::optional<std::size_t> smaller(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (a && b) {
        return std::min(*a, *b);
    }
    return a ? a : b;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        field.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                             (field[i + 3] - '0')));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

void strip_trailing_slashes(std::string& path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
}

enum class Hierarchy { v1, v2 };

// Where the cpu controller of this process lives: the hierarchy kind and
// the group's path within it.
struct Membership {
    Hierarchy hierarchy;
    std::string path;
};

// A line of /proc/self/cgroup is "id:controllers:path". A v1 hierarchy that
// carries the cpu controller wins over the v2 line, because a controller
// bound to v1 is absent from v2.
std::optional<Membership> cpu_membership(std::string_view cgroup_text) {
    std::optional<Membership> unified;
    for (const std::string_view line : split(cgroup_text, '\n')) {
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        const auto names = split(controllers, ',');
        if (std::find(names.begin(), names.end(), "cpu") != names.end()) {
            return Membership{Hierarchy::v1, path};
        }
        if (id == "0" && controllers.empty()) {
            unified = Membership{Hierarchy::v2, path};
        }
    }
    return unified;
}

struct Mount {
    std::string root;         // path within the hierarchy that is mounted
    std::string mount_point;  // where it is mounted
};

// Line of /proc/self/mountinfo: "id parent dev root mount-point options
// [optional fields] - fstype source super-options". Among the mounts of the
// hierarchy, the one whose root is the longest prefix of the group path.
std::optional<Mount> find_mount(std::string_view mountinfo_text, const Membership& member) {
    std::optional<Mount> best;
    bool best_covers = false;
    for (const std::string_view line : split(mountinfo_text, '\n')) {
        const auto fields = split_whitespace(line);
        const auto separator = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - separator < 4) {
            continue;
        }
        const std::string_view fstype = separator[1];
        const auto options = split(separator[3], ',');
        const bool has_cpu = std::find(options.begin(), options.end(), "cpu") != options.end();
        const bool matches =
            member.hierarchy == Hierarchy::v2 ? fstype == "cgroup2" : fstype == "cgroup" && has_cpu;
        if (!matches) {
            continue;
        }
        Mount mount{unescape_octal(fields[3]), unescape_octal(fields[4])};
        strip_trailing_slashes(mount.root);
        const bool covers = mount.root == "/" || member.path == mount.root ||
                            member.path.starts_with(mount.root + "/");
        if (covers && (!best_covers || mount.root.size() > best->root.size())) {
            best = std::move(mount);
            best_covers = true;
        } else if (!best) {
            best = std::move(mount);
        }
    }
    return best;
}

std::optional<std::size_t> limit_in_directory(const std::string& directory, Hierarchy hierarchy) {
    if (hierarchy == Hierarchy::v2) {
        const auto text = read_file(directory + "/cpu.max");
        return text ? cpu_limit_from_cpu_max(*text) : std::nullopt;
    }
    const auto quota = read_file(directory + "/cpu.cfs_quota_us");
    const auto period = read_file(directory + "/cpu.cfs_period_us");
    return quota && period ? cpu_limit_from_cfs(*quota, *period) : std::nullopt;
}

// The smallest limit from the group's directory up to the hierarchy's mount
// point: a parent's quota caps all of its descendants.
std::optional<std::size_t> limit_up_to(std::string directory, const std::string& top,
                                       Hierarchy hierarchy) {
    strip_trailing_slashes(directory);
    std::optional<std::size_t> limit;
    while (true) {
        limit = smaller(limit, limit_in_directory(directory, hierarchy));
        if (directory.size() <= top.size()) {
            return limit;
        }
        directory.resize(directory.rfind('/'));
        if (directory.size() < top.size()) {
            return limit;
        }
    }
}

// Limit found through a mount of the hierarchy at `mount_point` (already
// prefixed by the root) whose own root is `mount_root`.
std::optional<std::size_t> limit_below_mount(std::string mount_point, const std::string& mount_root,
                                             const Membership& member) {
    strip_trailing_slashes(mount_point);
    std::string relative;
    if (mount_root == "/") {
        relative = member.path;
    } else if (member.path == mount_root || member.path.starts_with(mount_root + "/")) {
        relative = member.path.substr(mount_root.size());
    }
    std::string directory = mount_point + relative;
    // In a cgroup namespace the listed path may not exist below the mount;
    // the mount point itself is then the process's group.
    if (!is_directory(directory)) {
        directory = mount_point;
    }
    return limit_up_to(directory, mount_point, member.hierarchy);
}

}  // namespace

std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view text) {
    const auto tokens = split_whitespace(text);
    if (tokens.size() != 2 || tokens[0] == "max") {
        return std::nullopt;
    }
    return limit_from(parse_integer(tokens[0]), parse_integer(tokens[1]));
}

std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota_text,
                                              std::string_view period_text) {
    const auto quota = split_whitespace(quota_text);
    const auto period = split_whitespace(period_text);
    if (quota.size() != 1 || period.size() != 1) {
        return std::nullopt;
    }
    return limit_from(parse_integer(quota[0]), parse_integer(period[0]));
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
    const auto cgroup_text = read_file(root + "/proc/self/cgroup");
    const auto member = cgroup_text ? cpu_membership(*cgroup_text) : std::nullopt;
    if (member) {
        if (const auto mountinfo = read_file(root + "/proc/self/mountinfo")) {
            if (const auto mount = find_mount(*mountinfo, *member)) {
                return limit_below_mount(root + mount->mount_point, mount->root, *member);
            }
        }
    }
    // No usable mount table: the usual mount points, with the group path
    // when it is known.
    const std::string base = root + "/sys/fs/cgroup";
    if (!member || member->hierarchy == Hierarchy::v2) {
        const Membership unified{Hierarchy::v2, member ? member->path : "/"};
        if (const auto limit = limit_below_mount(base, "/", unified); limit || member) {
            return limit;
        }
    }
    const Membership cpu{Hierarchy::v1, member ? member->path : "/"};
    for (const char* name : {"/cpu", "/cpu,cpuacct", "/cpuacct,cpu"}) {
        if (is_directory(base + name)) {
            return limit_below_mount(base + name, "/", cpu);
        }
    }
    return std::nullopt;
}

namespace {

// Size of the process's CPU affinity mask, where the system has one.
std::optional<std::size_t> affinity_processor_count() {
#ifdef __linux__
    // The mask may be wider than a cpu_set_t on very large machines; the
    // kernel answers EINVAL until the buffer is big enough.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) {
            return std::nullopt;
        }
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        if (::sched_getaffinity(0, size, set) == 0) {
            const int n = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return n > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(n)) : std::nullopt;
        }
        const int error = errno;
        CPU_FREE(set);
        if (error != EINVAL) {
            return std::nullopt;
        }
    }
#endif
    return std::nullopt;
}

std::optional<std::size_t> online_processor_count() {
#ifdef _SC_NPROCESSORS_ONLN
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
#else
    const long online = static_cast<long>(std::thread::hardware_concurrency());
#endif
    return online > 0 ? std::optional<std::size_t>(static_cast<std::size_t>(online)) : std::nullopt;
}

}  // namespace

std::size_t default_processor_count() {
    std::optional<std::size_t> count = affinity_processor_count();
    if (!count) {
        count = online_processor_count();
    }
    if (!count) {
        return 1;
    }
#ifdef __linux__
    if (const auto limit = cgroup_cpu_limit()) {
        return std::max<std::size_t>(1, std::min(*count, *limit));
    }
#endif
    return *count;
}

}  // namespace lamiro
