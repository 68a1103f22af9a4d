// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/cpu_quota.hpp"

namespace lamiro {
namespace {

namespace fs = std::filesystem;

// The count is reduced to the quota, never below 1: 150000/100000 = 1.5 -> 1,
// 50000/100000 = 0.5 -> 1.
struct CpuMaxCase {
    const char* name;
    const char* text;
    std::optional<std::size_t> expected;
};

const CpuMaxCase cpu_max_cases[] = {
    {"unlimited", "max 100000\n", std::nullopt},
    {"one_and_a_half", "150000 100000\n", 1},
    {"half", "50000 100000\n", 1},
    {"exactly_two", "200000 100000", 2},
    {"just_over_three", "300001 100000\n", 3},
    {"just_under_three", "299999 100000\n", 2},
    {"tiny_quota", "1000 100000\n", 1},
    {"zero_quota", "0 100000\n", std::nullopt},
    {"zero_period", "100000 0\n", std::nullopt},
    {"one_field", "100000\n", std::nullopt},
    {"letters", "abc 100000\n", std::nullopt},
    {"empty", "", std::nullopt},
};

class CpuMax : public testing::TestWithParam<CpuMaxCase> {};

TEST_P(CpuMax, Limit) { EXPECT_EQ(cpu_limit_from_cpu_max(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Table, CpuMax, testing::ValuesIn(cpu_max_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct CfsCase {
    const char* name;
    const char* quota;
    const char* period;
    std::optional<std::size_t> expected;
};

const CfsCase cfs_cases[] = {
    {"unlimited", "-1\n", "100000\n", std::nullopt},
    {"one_and_a_half", "150000\n", "100000\n", 1},
    {"half", "50000\n", "100000\n", 1},
    {"four", "400000\n", "100000\n", 4},
    {"garbage_period", "150000\n", "x\n", std::nullopt},
};

class Cfs : public testing::TestWithParam<CfsCase> {};

TEST_P(Cfs, Limit) {
    const CfsCase& c = GetParam();
    EXPECT_EQ(cpu_limit_from_cfs(c.quota, c.period), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Cfs, testing::ValuesIn(cfs_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// A sample file system: files (path, text) below a scratch root directory.
struct FileSystemCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::optional<std::size_t> expected;
};

const std::string v2_mountinfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "35 22 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 "
    "rw,nsdelegate\n";
const std::string app = "/sys/fs/cgroup/user.slice/app.service";

const FileSystemCase file_system_cases[] = {
    {"v2_group_limit",
     {{"/proc/self/cgroup", "0::/user.slice/app.service\n"},
      {"/proc/self/mountinfo", v2_mountinfo},
      {app + "/cpu.max", "150000 100000\n"}},
     1},
    {"v2_unlimited",
     {{"/proc/self/cgroup", "0::/user.slice/app.service\n"},
      {"/proc/self/mountinfo", v2_mountinfo},
      {app + "/cpu.max", "max 100000\n"}},
     std::nullopt},
    // A parent's quota caps its descendants.
    {"v2_parent_caps_group",
     {{"/proc/self/cgroup", "0::/user.slice/app.service\n"},
      {"/proc/self/mountinfo", v2_mountinfo},
      {"/sys/fs/cgroup/user.slice/cpu.max", "50000 100000\n"},
      {app + "/cpu.max", "400000 100000\n"}},
     1},
    // Inside a cgroup namespace the group shows as "/" and is mounted whole.
    {"v2_namespaced",
     {{"/proc/self/cgroup", "0::/\n"},
      {"/proc/self/mountinfo", "600 500 0:40 / /sys/fs/cgroup ro,nosuid - cgroup2 cgroup rw\n"},
      {"/sys/fs/cgroup/cpu.max", "250000 100000\n"}},
     2},
    // A container sees its own group as the root of the mounted hierarchy;
    // the unified hierarchy has no cpu controller here and is ignored.
    {"v1_group_is_mount_root",
     {{"/proc/self/cgroup", "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n0::/\n"},
      {"/proc/self/mountinfo",
       "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
       "40 30 0:35 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"
       "41 30 0:36 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro - cgroup cgroup rw,cpu,cpuacct\n"
       "42 30 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "150000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
      {"/sys/fs/cgroup/unified/cpu.max", "100000 100000\n"}},
     1},
    {"v1_unlimited",
     {{"/proc/self/cgroup", "1:cpu:/\n0::/\n"},
      {"/proc/self/mountinfo", "32 31 0:29 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"},
      {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n"},
      {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
     std::nullopt},
    // mountinfo writes a space in a path as \040.
    {"v1_half_cpu_in_subgroup_escaped_mount",
     {{"/proc/self/cgroup", "3:cpuacct,cpu:/batch/job7\n"},
      {"/proc/self/mountinfo",
       "32 31 0:29 / /sys/fs/cgroup/cpu\\040acct rw - cgroup cgroup rw,cpuacct,cpu\n"},
      {"/sys/fs/cgroup/cpu acct/batch/job7/cpu.cfs_quota_us", "50000\n"},
      {"/sys/fs/cgroup/cpu acct/batch/job7/cpu.cfs_period_us", "100000\n"}},
     1},
    {"no_mount_table_usual_v2_place",
     {{"/proc/self/cgroup", "0::/\n"}, {"/sys/fs/cgroup/cpu.max", "150000 100000\n"}},
     1},
    {"no_proc_usual_v1_place",
     {{"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n"},
      {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
     3},
    {"nothing_to_read", {{"/proc/self/unrelated", ""}}, std::nullopt},
};

class CgroupFiles : public testing::TestWithParam<FileSystemCase> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "lamiro-cgroup-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string root_;
};

TEST_P(CgroupFiles, Limit) {
    for (const auto& [path, text] : GetParam().files) {
        const fs::path file = root_ + path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    EXPECT_EQ(cgroup_cpu_limit(root_), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, CgroupFiles, testing::ValuesIn(file_system_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lamiro
