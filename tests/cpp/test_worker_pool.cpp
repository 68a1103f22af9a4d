// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/internal_fault.hpp"
#include "pool/cpu_quota.hpp"
#include "pool/futex_word.hpp"
#include "pool/look_window.hpp"
#include "pool/spin_lock.hpp"
#include "pool/thread_count_env.hpp"
#include "pool/worker_pool.hpp"

#if defined(__SANITIZE_THREAD__)
#define LAMIRO_UNDER_TSAN 1
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LAMIRO_UNDER_SANITIZER 1
#endif

namespace lamiro {
namespace {

// A value that differs for neighbouring indices and for swapped halves, so a
// value written into the wrong slot shows.
std::uint64_t scrambled(std::size_t i) {
    std::uint64_t x = i * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
    x ^= x >> 29;
    return x * 0xBF58476D1CE4E5B9ULL;
}

std::vector<std::uint64_t> serial_values(std::size_t count) {
    std::vector<std::uint64_t> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = scrambled(i);
    }
    return values;
}

bool parallel_fill_matches_serial(std::size_t count) {
    std::vector<std::uint64_t> out(count, 0);
    parallel_fill(
        count, [](std::size_t i) { return scrambled(i); }, out.data());
    return out == serial_values(count);
}

std::size_t task_count() {
    std::size_t tasks = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            tasks += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return tasks;
}

bool tsan_forbids_threads_after_fork() {
#ifdef LAMIRO_UNDER_TSAN
    const char* options = std::getenv("TSAN_OPTIONS");
    return options == nullptr || std::strstr(options, "die_after_fork=0") == nullptr;
#else
    return false;
#endif
}

// Runs `body` in a forked child and returns its exit code, or minus the
// signal that ended it (-SIGALRM: the child hung and the alarm fired).
int run_in_child(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1000;
    }
    if (pid == 0) {
        ::alarm(20);
        int code = 125;
        try {
            code = body();
        } catch (...) {
            code = 126;
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return -1001;
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

// ---------------------------------------------------------------------------
// Environment rules, on the pure functions.

struct EnvCase {
    const char* name;
    const char* num_threads;  // nullptr: unset
    const char* rs_num_cpus;  // nullptr: unset
    std::size_t expected;     // with a default count of 7
};

constexpr std::size_t table_default = 7;

const EnvCase env_cases[] = {
    {"four", "4", nullptr, 4},
    {"plus_four", "+4", nullptr, 4},
    {"leading_zeros", "0004", nullptr, 4},
    {"zero_means_default_even_with_rs", "0", "2", table_default},
    {"plus_zero_means_default", "+0", "3", table_default},
    {"empty_falls_to_rs", "", "3", 3},
    {"space_before_falls_to_rs", " 4", "3", 3},
    {"space_after_falls_to_rs", "4 ", "3", 3},
    {"negative_falls_to_rs", "-1", "3", 3},
    {"letters_fall_to_rs", "abc", "3", 3},
    {"digits_then_letters_fall_to_rs", "4x", "3", 3},
    {"bare_plus_falls_to_rs", "+", "3", 3},
    {"double_plus_falls_to_rs", "++4", "3", 3},
    {"newline_falls_to_rs", "4\n", "3", 3},
    {"hex_falls_to_rs", "0x10", "3", 3},
    {"empty_without_rs_is_default", "", nullptr, table_default},
    {"letters_without_rs_is_default", "abc", nullptr, table_default},
    {"thousand_capped", "1000", nullptr, 255},
    {"exactly_cap", "255", nullptr, 255},
    {"one_over_cap", "256", nullptr, 255},
    // 2^64 - 1 is the largest unsigned long; one more overflows.
    {"largest_unsigned_long_capped", "18446744073709551615", "3", 255},
    {"overflow_falls_to_rs", "18446744073709551616", "3", 3},
    {"huge_overflow_falls_to_rs", "99999999999999999999999999", "3", 3},
    {"rs_alone", nullptr, "3", 3},
    {"rs_plus", nullptr, "+5", 5},
    {"rs_zero_is_default", nullptr, "0", table_default},
    {"rs_invalid_is_default", nullptr, " 3", table_default},
    {"rs_capped", nullptr, "1000", 255},
    {"both_unset_is_default", nullptr, nullptr, table_default},
};

class WorkerCountFromEnv : public testing::TestWithParam<EnvCase> {};

TEST_P(WorkerCountFromEnv, FollowsTheRules) {
    const EnvCase& c = GetParam();
    EXPECT_EQ(worker_count_from(c.num_threads, c.rs_num_cpus, table_default), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, WorkerCountFromEnv, testing::ValuesIn(env_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WorkerCountFrom, DefaultIsKeptWithinOneTo255) {
    EXPECT_EQ(worker_count_from(nullptr, nullptr, 0), 1u);
    EXPECT_EQ(worker_count_from(nullptr, nullptr, 1), 1u);
    EXPECT_EQ(worker_count_from(nullptr, nullptr, 300), 255u);
}

TEST(DefaultProcessorCount, NoMoreThanTheAffinityMaskAllows) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_GE(default_processor_count(), 1u);
    EXPECT_LE(default_processor_count(), static_cast<std::size_t>(CPU_COUNT(&allowed)));
    // A process allowed on one processor counts one.
    const int code = run_in_child([&allowed] {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int cpu = 0; CPU_COUNT(&one) == 0; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                CPU_SET(cpu, &one);
            }
        }
        if (::sched_setaffinity(0, sizeof one, &one) != 0) {
            return 10;
        }
        return default_processor_count() == 1 ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

// ---------------------------------------------------------------------------
// The environment as the whole pool sees it: each case in a fresh child
// process that sets the variables before its first request and reports how
// many threads it then has besides its own.

struct PoolEnvCase {
    const char* name;
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t expected;  // 0: the default processor count
};

const PoolEnvCase pool_env_cases[] = {
    {"four", "4", nullptr, 4},
    {"plus_four", "+4", nullptr, 4},
    {"zero_is_default_despite_rs", "0", "3", 0},
    {"empty_uses_rs", "", "3", 3},
    {"space_before_uses_rs", " 4", "3", 3},
    {"negative_uses_rs", "-1", "3", 3},
    {"letters_without_rs_is_default", "abc", nullptr, 0},
    {"thousand_gives_255", "1000", nullptr, 255},
    {"overflow_uses_rs", "99999999999999999999999", "3", 3},
    {"rs_alone", nullptr, "3", 3},
    {"one", "1", nullptr, 1},
};

class PoolWorkerCount : public testing::TestWithParam<PoolEnvCase> {};

void set_or_unset(const char* name, const char* value) {
    if (value == nullptr) {
        ::unsetenv(name);
    } else {
        ::setenv(name, value, 1);
    }
}

TEST_P(PoolWorkerCount, ThreadsStartedMatchTheEnvironment) {
    const PoolEnvCase& c = GetParam();
    const std::size_t expected = c.expected != 0 ? c.expected : default_processor_count();
    const int code = run_in_child([&c, expected] {
        set_or_unset("RAYON_NUM_THREADS", c.num_threads);
        set_or_unset("RAYON_RS_NUM_CPUS", c.rs_num_cpus);
        // A runtime may add a helper thread of its own when the first thread
        // starts (ThreadSanitizer does); let that happen before counting.
        std::thread([] {}).join();
        const std::size_t before = task_count();
        const std::size_t w = thread_count();
        if (w != expected) {
            return 1;
        }
        if (task_count() - before != expected) {
            return 2;
        }
        // Read once: later changes have no effect.
        ::setenv("RAYON_NUM_THREADS", "7", 1);
        if (thread_count() != expected || !parallel_fill_matches_serial(1001)) {
            return 3;
        }
        return task_count() - before == expected ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, PoolWorkerCount, testing::ValuesIn(pool_env_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Requests.

TEST(ParallelFill, EqualsSerialForManySizes) {
    for (const std::size_t count : {0, 1, 2, 3, 7, 8, 9, 100, 101, 255, 1000, 4099, 10007}) {
        SCOPED_TRACE(count);
        EXPECT_TRUE(parallel_fill_matches_serial(count));
    }
}

TEST(ParallelFill, WritesOnlyItsOwnSlots) {
    // Guards on both sides of the output catch writes outside 0..count-1.
    constexpr std::size_t count = 1237;
    constexpr std::uint64_t guard = 0xDEADBEEFDEADBEEFULL;
    std::vector<std::uint64_t> buffer(count + 2, guard);
    parallel_fill(
        count, [](std::size_t i) { return scrambled(i); }, buffer.data() + 1);
    EXPECT_EQ(buffer.front(), guard);
    EXPECT_EQ(buffer.back(), guard);
    EXPECT_TRUE(std::equal(buffer.begin() + 1, buffer.end() - 1, serial_values(count).begin()));
}

TEST(Workers, AreUnnamed) {
    // A worker does not carry the name of the thread that created the pool,
    // so the diagnostic of a fault raised on it does not name the caller.
    std::vector<int> unnamed(64, 0);
    parallel_fill(
        unnamed.size(),
        [](std::size_t) {
            char name[32] = "?";
            ::pthread_getname_np(::pthread_self(), name, sizeof name);
            return name[0] == '\0' ? 1 : 0;
        },
        unnamed.data());
    EXPECT_EQ(std::count(unnamed.begin(), unnamed.end(), 1), 64);
}

struct RunRecord {
    std::size_t begin, end;
    std::thread::id thread;
};

std::vector<RunRecord> record_runs(std::size_t count) {
    std::mutex mutex;
    std::vector<RunRecord> runs;
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
        std::lock_guard guard(mutex);
        runs.push_back({begin, end, std::this_thread::get_id()});
    });
    std::sort(runs.begin(), runs.end(),
              [](const RunRecord& a, const RunRecord& b) { return a.begin < b.begin; });
    return runs;
}

TEST(ParallelFor, FewContiguousRunsCoverTheRangeOnWorkersOnly) {
    const std::size_t w = thread_count();
    for (const std::size_t count : {1, 5, 101, 100003}) {
        SCOPED_TRACE(count);
        const auto runs = record_runs(count);
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.front().begin, 0u);
        EXPECT_EQ(runs.back().end, count);
        // A worker may execute a run in several calls (steps); calls that
        // continue on the same thread count as one run.
        std::size_t handovers = 0;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            EXPECT_LT(runs[r].begin, runs[r].end);
            if (r > 0) {
                EXPECT_EQ(runs[r].begin, runs[r - 1].end);
                handovers += runs[r].thread != runs[r - 1].thread ? 1 : 0;
            }
            EXPECT_NE(runs[r].thread, std::this_thread::get_id());
        }
        // A small multiple of W, not one task per index.
        EXPECT_LE(1 + handovers, 8 * w);
    }
}

TEST(ParallelFor, WorkersHaveTwoMebibyteStacks) {
    std::atomic<int> wrong{0};
    parallel_for(1000, [&wrong](std::size_t, std::size_t) {
        pthread_attr_t attributes;
        std::size_t size = 0;
        if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) {
            ++wrong;
            return;
        }
        ::pthread_attr_getstacksize(&attributes, &size);
        ::pthread_attr_destroy(&attributes);
        wrong += size == (std::size_t{2} << 20) ? 0 : 1;
    });
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ParallelFill, IndicesAscendWithinEachRun) {
    // Each thread remembers the last index it evaluated; within a run on
    // one thread, the next index must be exactly one more.
    constexpr std::size_t count = 50000;
    std::vector<std::uint8_t> follows(count, 0);
    std::vector<std::size_t> out(count);
    thread_local std::optional<std::size_t> previous;
    parallel_fill(
        count,
        [&follows](std::size_t i) {
            follows[i] = previous && *previous + 1 == i ? 1 : 0;
            previous = i;
            return i;
        },
        out.data());
    // Only the first index of each run does not follow its predecessor.
    const auto starts = static_cast<std::size_t>(std::count(follows.begin(), follows.end(), 0));
    EXPECT_LE(starts, 8 * thread_count());
}

TEST(ParallelFor, StalledRunIsTakenOverByAnotherWorker) {
    // The call holding index 0 waits until other calls have evaluated three
    // quarters of the range: the one run that first holds index 0 holds half
    // of it, so the other worker must both have been woken and have split
    // the stalled run's untouched rest.
    if (tsan_forbids_threads_after_fork()) {
        GTEST_SKIP() << "ThreadSanitizer stops a child that starts threads after a "
                        "multi-threaded fork unless TSAN_OPTIONS has die_after_fork=0";
    }
    const int code = run_in_child([] {
        ::setenv("RAYON_NUM_THREADS", "2", 1);
        if (!parallel_fill_matches_serial(1000)) {
            return 1;
        }
        constexpr std::size_t count = 4096;
        std::mutex mutex;
        std::condition_variable progress;
        std::size_t elsewhere = 0;
        std::size_t calls = 0;
        bool stalled_forever = false;
        static RequestTiming timing;
        observe_requests([](const RequestTiming& t) { timing = t; });
        parallel_for(count, [&](std::size_t begin, std::size_t end) {
            std::unique_lock lock(mutex);
            ++calls;
            if (begin == 0) {
                stalled_forever = !progress.wait_for(lock, std::chrono::seconds(10),
                                                     [&] { return 4 * elsewhere >= 3 * count; });
            } else {
                elsewhere += end - begin;
                progress.notify_all();
            }
        });
        observe_requests(nullptr);
        if (stalled_forever) {
            return 2;
        }
        const bool timing_matches = timing.workers == 2 && timing.calls == calls &&
                                    timing.splits >= 1 && timing.busy <= 2 * timing.duration;
        return timing_matches ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

// A value whose cost rises with the index: from one round of scrambled()
// at index 0 to 60 near three million.
std::uint64_t rising_cost_value(std::size_t i) {
    std::uint64_t x = scrambled(i);
    for (std::size_t round = 0; round < i / 50000; ++round) {
        x = scrambled(x);
    }
    return x;
}

TEST(ParallelFor, ManySplitsWithManyWorkers) {
    // 255 workers share a range whose indices cost more and more: those
    // holding the early, cheap runs run out of work long before the others
    // and split the expensive rest, again and again, far more often than
    // there are run records. Every index must still be evaluated once, into
    // its own slot.
    if (tsan_forbids_threads_after_fork()) {
        GTEST_SKIP() << "ThreadSanitizer stops a child that starts threads after a "
                        "multi-threaded fork unless TSAN_OPTIONS has die_after_fork=0";
    }
    const int code = run_in_child([] {
        ::setenv("RAYON_NUM_THREADS", "255", 1);
        if (thread_count() != 255) {
            return 1;
        }
        constexpr std::size_t count = 3000000;
        std::vector<std::atomic<std::uint8_t>> evaluations(count);
        std::vector<std::uint64_t> out(count, 0);
        static RequestTiming timing;
        observe_requests([](const RequestTiming& t) { timing = t; });
        parallel_fill(
            count,
            [&evaluations](std::size_t i) {
                evaluations[i].fetch_add(1, std::memory_order_relaxed);
                return rising_cost_value(i);
            },
            out.data());
        observe_requests(nullptr);
        for (std::size_t i = 0; i < count; ++i) {
            if (evaluations[i].load(std::memory_order_relaxed) != 1) {
                return 2;
            }
            if (out[i] != rising_cost_value(i)) {
                return 3;
            }
        }
        // The workers of the cheap runs did split the expensive ones (a few
        // hundred times on 2 processors, with all workers woken at once).
        return timing.workers == 255 && timing.splits >= 1 ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

// ---------------------------------------------------------------------------
// Faults.

struct FaultCase {
    const char* name;
    std::size_t count;
    std::size_t index;
    // The fault comes first and the other runs wait until it was thrown,
    // so the faulting run still holds most of its share of the range: the
    // indices it drops are counted.
    bool early_in_long_request = false;
};

const FaultCase fault_cases[] = {
    {"first", 1000, 0},
    {"middle", 1000, 500},
    {"last", 1000, 999},
    {"single_index", 1, 0},
    {"first_of_a_million", 1000000, 0, true},
};

class FaultAt : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultAt, ReachesTheCallerAfterTheOtherRunsEnd) {
    const FaultCase& c = GetParam();
    const int repeats = c.early_in_long_request ? 5 : 20;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        SCOPED_TRACE(repeat);
        std::vector<std::atomic<std::uint8_t>> evaluated(c.count);
        std::vector<std::uint64_t> out(c.count, 0);
        std::atomic<bool> thrown{false};
        std::atomic<bool> gate_timed_out{false};
        const auto gate_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        try {
            parallel_fill(
                c.count,
                [&](std::size_t i) {
                    if (c.early_in_long_request && i != c.index) {
                        while (!thrown.load(std::memory_order_acquire) &&
                               !gate_timed_out.load(std::memory_order_relaxed)) {
                            gate_timed_out = std::chrono::steady_clock::now() > gate_deadline;
                            std::this_thread::yield();
                        }
                    }
                    evaluated[i].store(1, std::memory_order_relaxed);
                    if (i == c.index) {
                        thrown.store(true, std::memory_order_release);
                        throw InternalFault("fault at " + std::to_string(i));
                    }
                    return scrambled(i);
                },
                out.data());
            ADD_FAILURE() << "no fault reached the caller";
        } catch (const InternalFault& fault) {
            EXPECT_EQ(fault.message(), "fault at " + std::to_string(c.index));
        }
        // The faulting run stops at its index; every other run ends
        // normally. So the indices never evaluated are one block right
        // after the fault, and every evaluated index but the fault has its
        // value in its slot.
        std::size_t first_skipped = c.count, last_skipped = 0, skipped = 0;
        for (std::size_t i = 0; i < c.count; ++i) {
            if (evaluated[i].load() == 0) {
                first_skipped = std::min(first_skipped, i);
                last_skipped = i;
                ++skipped;
            } else if (i != c.index) {
                ASSERT_EQ(out[i], scrambled(i)) << "index " << i;
            }
        }
        ASSERT_EQ(evaluated[c.index].load(), 1);
        if (skipped > 0) {
            EXPECT_EQ(first_skipped, c.index + 1);
            EXPECT_EQ(last_skipped - first_skipped + 1, skipped);
        }
        if (c.early_in_long_request) {
            ASSERT_FALSE(gate_timed_out.load());
            // The faulting run stops. Its first step was 16 indices, so the
            // 15 after the fault are never evaluated in any case; the others
            // may split most of the run off while the fault is still being
            // raised (the first exception of a process can take
            // milliseconds to unwind), but a split leaves the run's owner at
            // least a step of 16. A run that went on after its fault would
            // leave just the 15.
            EXPECT_GE(skipped, 15U + 16U);
        }
    }
    EXPECT_TRUE(parallel_fill_matches_serial(10007));
}

INSTANTIATE_TEST_SUITE_P(Table, FaultAt, testing::ValuesIn(fault_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Faults, BadAllocAndForeignExceptionsAreCarried) {
    std::vector<int> out(500);
    EXPECT_THROW(parallel_fill(
                     500,
                     [](std::size_t i) -> int {
                         if (i == 321) {
                             throw std::bad_alloc();
                         }
                         return 0;
                     },
                     out.data()),
                 std::bad_alloc);
    EXPECT_THROW(parallel_fill(
                     500,
                     [](std::size_t i) -> int {
                         if (i == 17) {
                             throw 42;
                         }
                         return 0;
                     },
                     out.data()),
                 int);
    EXPECT_TRUE(parallel_fill_matches_serial(500));
}

TEST(Faults, EveryIndexFailingGivesOneOfTheFaults) {
    std::vector<int> out(2000);
    std::vector<std::atomic<std::uint8_t>> evaluated(2000);
    try {
        parallel_fill(
            2000,
            [&evaluated](std::size_t i) -> int {
                evaluated[i].store(1);
                throw std::runtime_error(std::to_string(i));
            },
            out.data());
        ADD_FAILURE() << "no fault reached the caller";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(evaluated.at(std::stoul(error.what())).load(), 1);
    }
    // Every run stops at its first index: one evaluation per run.
    const auto evaluations = static_cast<std::size_t>(
        std::count_if(evaluated.begin(), evaluated.end(), [](const auto& e) { return e.load(); }));
    EXPECT_GE(evaluations, 1u);
    EXPECT_LE(evaluations, 8 * thread_count());
    EXPECT_TRUE(parallel_fill_matches_serial(2000));
}

// ---------------------------------------------------------------------------
// Several outside threads at once.

TEST(Concurrency, RequestsFromSeveralThreads) {
    constexpr int threads = 6;
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([t, &failures] {
            for (std::size_t r = 0; r < 40; ++r) {
                const std::size_t count = 101 + (r * 977 + std::size_t(t) * 131) % 5000;
                if (!parallel_fill_matches_serial(count)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

TEST(Concurrency, NestedRequestFromAWorkerRunsThere) {
    std::vector<std::uint64_t> sums(64, 0);
    parallel_fill(
        64,
        [](std::size_t i) {
            std::vector<std::uint64_t> inner(100);
            parallel_fill(
                100, [i](std::size_t j) { return scrambled(i * 100 + j); }, inner.data());
            std::uint64_t sum = 0;
            for (const auto v : inner) {
                sum += v;
            }
            return sum;
        },
        sums.data());
    for (std::size_t i = 0; i < 64; ++i) {
        std::uint64_t sum = 0;
        for (std::size_t j = 0; j < 100; ++j) {
            sum += scrambled(i * 100 + j);
        }
        ASSERT_EQ(sums[i], sum) << i;
    }
}

// ---------------------------------------------------------------------------
// Idle workers, and what they wait with.

double process_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

TEST(Workers, UseNoProcessorTimeSoonAfterTheLastRequest) {
    // After a request the workers look for the next one for a short while,
    // then park: a process that stops calling soon uses no processor time.
    // A worker that kept looking would use a whole processor.
    for (int request = 0; request < 300; ++request) {
        ASSERT_TRUE(parallel_fill_matches_serial(1000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(process_cpu_seconds() - before, 0.03);
}

TEST(LookWindow, FullWhileRequestsComeSoonNoneWhenTheyStop) {
    using std::chrono::microseconds;
    LookWindow window;
    EXPECT_EQ(window.length(), LookWindow::longest);
    // A designer's loop: the next request within the window.
    window.after_idle(microseconds(30));
    EXPECT_EQ(window.length(), LookWindow::longest);
    // Rare requests: each idle time longer than the longest look halves
    // the window, and a handful of them end looking altogether.
    int halvings = 0;
    for (auto previous = window.length(); window.length() > LookWindow::Duration::zero();
         ++halvings) {
        window.after_idle(std::chrono::milliseconds(5));
        EXPECT_LT(window.length(), previous);
        previous = window.length();
        ASSERT_LT(halvings, 10);
    }
    EXPECT_GE(halvings, 2);
    // A new burst restores it within a few requests.
    for (int request = 0; request < 6; ++request) {
        window.after_idle(microseconds(20));
        EXPECT_GT(window.length(), LookWindow::Duration::zero());
    }
    EXPECT_EQ(window.length(), LookWindow::longest);
    // A worker that loses its processor while looking looks less, and
    // keeps looking less while that goes on; once the processors are calm
    // again, its window grows back.
    window.after_displacement();
    const auto halved = window.length();
    EXPECT_LT(halved, LookWindow::longest);
    EXPECT_GT(halved, LookWindow::Duration::zero());
    for (int request = 0; request < LookWindow::calm_needed; ++request) {
        window.after_idle(microseconds(20));
        EXPECT_EQ(window.length(), halved);
    }
    for (int displacement = 0; displacement < 10; ++displacement) {
        window.after_displacement();
        window.after_idle(microseconds(20));
    }
    EXPECT_EQ(window.length(), LookWindow::Duration::zero());
    for (int request = 0; request < LookWindow::calm_needed + 6; ++request) {
        window.after_idle(microseconds(20));
    }
    EXPECT_EQ(window.length(), LookWindow::longest);
}

TEST(FutexWord, WaitReturnsAtOnceWhenTheWordDiffers) {
    std::atomic<std::uint32_t> word{5};
    futex_wait(word, 4);
    futex_wake(word, 1);  // nobody waits: nothing happens
    EXPECT_EQ(word.load(), 5u);
}

TEST(FutexWord, WakeReachesABlockedWaiter) {
    std::atomic<std::uint32_t> word{0};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        while (word.load() == 0) {
            futex_wait(word, 0);
        }
        returned = true;
    });
    // Give the waiter time to block (it also works if it has not).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned.load());
    word.store(1);
    futex_wake(word, 1);
    waiter.join();
    EXPECT_TRUE(returned.load());
}

TEST(SpinLock, ExcludesOtherThreads) {
    // Unprotected increments would lose updates (and ThreadSanitizer would
    // report the race).
    SpinLock lock;
    std::uint64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100000; ++i) {
                std::lock_guard guard(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 400000u);
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
}

// ---------------------------------------------------------------------------
// One worker, creation failure, fork.

TEST(SingleWorker, AllWorkOnTheOneWorkerWithSerialValues) {
    const int code = run_in_child([] {
        ::setenv("RAYON_NUM_THREADS", "1", 1);
        if (thread_count() != 1) {
            return 1;
        }
        std::set<std::thread::id> seen;
        for (const auto& run : record_runs(1000)) {
            seen.insert(run.thread);
        }
        if (seen.size() != 1 || seen.count(std::this_thread::get_id()) != 0) {
            return 2;
        }
        return parallel_fill_matches_serial(1000) && parallel_fill_matches_serial(7) ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

// Polls until the process has `tasks` threads: a joined thread may still be
// listed for a moment while the kernel finishes its exit.
[[maybe_unused]] bool tasks_settle_at(std::size_t tasks) {
    for (int attempt = 0; attempt < 200 && task_count() != tasks; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return task_count() == tasks;
}

TEST(Creation, WorkersThatCannotStartLeaveTheWorkToTheCaller) {
#ifdef LAMIRO_UNDER_SANITIZER
    GTEST_SKIP() << "sanitizers need more address space than the limit leaves";
#else
    const int code = run_in_child([] {
        // Address space for a few 2 MiB worker stacks, not for 255.
        ::setenv("RAYON_NUM_THREADS", "255", 1);
        std::FILE* log = std::tmpfile();
        if (log == nullptr || ::dup2(::fileno(log), STDERR_FILENO) < 0) {
            return 10;
        }
        const std::size_t before = task_count();
        std::ifstream statm("/proc/self/statm");
        unsigned long pages = 0;
        statm >> pages;
        const rlim_t limit = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (8u << 20);
        const rlimit rl{limit, RLIM_INFINITY};
        if (::setrlimit(RLIMIT_AS, &rl) != 0) {
            return 11;
        }
        if (thread_count() != 1 || !tasks_settle_at(before)) {
            return 1;
        }
        const auto runs = record_runs(1000);
        if (runs.size() != 1 || runs[0].thread != std::this_thread::get_id() ||
            !parallel_fill_matches_serial(4099)) {
            return 2;
        }
        try {
            std::vector<int> out(500);
            parallel_fill(
                500,
                [](std::size_t i) -> int {
                    if (i == 321) {
                        throw std::runtime_error("321");
                    }
                    return 0;
                },
                out.data());
            return 3;
        } catch (const std::runtime_error& error) {
            if (std::string(error.what()) != "321") {
                return 4;
            }
        }
        // Final: with room again, requests still run on the caller.
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_AS, &unlimited);
        if (thread_count() != 1 || !parallel_fill_matches_serial(1000) || task_count() != before) {
            return 5;
        }
        // One line says why.
        std::rewind(log);
        std::vector<std::string> lines;
        for (char line[512]; std::fgets(line, sizeof line, log) != nullptr;) {
            lines.emplace_back(line);
        }
        const std::string expected_start =
            "lamiro: cannot start the worker pool (failed to spawn worker thread ";
        return lines.size() == 1 && lines[0].starts_with(expected_start) ? 0 : 6;
    });
    EXPECT_EQ(code, 0);
#endif
}

TEST(Fork, ChildStartsItsOwnPoolAndParentKeepsItsOwn) {
    if (tsan_forbids_threads_after_fork()) {
        GTEST_SKIP() << "ThreadSanitizer stops a child that starts threads after a "
                        "multi-threaded fork unless TSAN_OPTIONS has die_after_fork=0";
    }
    const std::size_t w = thread_count();
    ASSERT_TRUE(parallel_fill_matches_serial(1000));
    const std::size_t parent_tasks = task_count();
    const int code = run_in_child([w] {
        // Only the forking thread was copied.
        if (task_count() != 1) {
            return 1;
        }
        if (!parallel_fill_matches_serial(1000)) {
            return 2;
        }
        if (thread_count() != w || task_count() != 1 + w) {
            return 3;
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(task_count(), parent_tasks);
    EXPECT_TRUE(parallel_fill_matches_serial(1000));
}

TEST(Fork, ForkingWhileAnotherThreadUsesThePool) {
    if (tsan_forbids_threads_after_fork()) {
        GTEST_SKIP() << "ThreadSanitizer stops a child that starts threads after a "
                        "multi-threaded fork unless TSAN_OPTIONS has die_after_fork=0";
    }
#ifdef LAMIRO_UNDER_TSAN
    // A child forked while the parent still starts its workers inherits
    // ThreadSanitizer's record of a thread half created, which its own new
    // workers then collide with ("dup thread with used id"): under it, the
    // forks begin once the pool runs.
    ASSERT_TRUE(parallel_fill_matches_serial(101));
#endif
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread busy([&] {
        for (std::size_t r = 0; !stop.load(); ++r) {
            if (!parallel_fill_matches_serial(101 + r % 3000)) {
                ++failures;
            }
        }
    });
    for (int child = 0; child < 30; ++child) {
        SCOPED_TRACE(child);
        EXPECT_EQ(run_in_child([] { return parallel_fill_matches_serial(2000) ? 0 : 1; }), 0);
    }
    stop = true;
    busy.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace lamiro
