// SPDX-License-Identifier: MIT
// The worker pool of this tree next to the pool of an earlier build, each
// measurement in a fresh process (a pool's size is fixed when it is
// created), the two builds interleaved so a change of load hits both.
//
// 1. Empty requests: many requests of 101 indices whose body does nothing,
//    the smallest parallel spectrum without its arithmetic. Per request the
//    time from the call to its return, when the first run started, when a
//    second worker started (and the share of the indices it evaluated), and
//    how long after the end of the last run the caller was back.
// 2. One long request: both spectra of a 200-layer absorbing stack at 10 000
//    wavelengths, every layer its own dispersive medium, evaluated through a
//    SimulationContext (one request of the pool per evaluation): the time of
//    an evaluation, the share of the workers' time in the request spent idle
//    (waking up, waiting for the last run, bookkeeping), how the request was
//    cut, and the speed-up of 2 workers over 1. The involuntary context
//    switches of the process (other programs taking its processors) and the
//    load average say how far the figures can be trusted.
//
//   pool_bench [--before BINARY] [repetitions [wavelengths [layers]]]
//       defaults 15 10000 200; BINARY is this benchmark built with the pool
//       before its latency work (make benchmark builds it as
//       build/pool-before/pool_bench).
//   pool_bench --child empty WORKERS REQUESTS       (run by the above)
//   pool_bench --child long WORKERS REPETITIONS WAVELENGTHS LAYERS
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "optics/owned_array.hpp"
#include "optics/simulation_context.hpp"
#include "pool/worker_pool.hpp"

namespace {

using lamiro::Complex;
using lamiro::ComplexMatrix;
using lamiro::OwnedBuffer;
using lamiro::RealVector;

struct Stack {
    RealVector d;
    ComplexMatrix n;
    RealVector wl;
};

// Air, `layers` absorbing layers of different thickness and index (a fixed
// pseudo-random sequence, each with a little dispersion), glass.
Stack make_stack(std::size_t wavelengths, std::size_t layers) {
    const std::size_t media = layers + 2;
    unsigned long long state = 0x9E3779B97F4A7C15ULL;
    auto uniform = [&state](double low, double high) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return low + (high - low) * static_cast<double>(state >> 11) * 0x1p-53;
    };
    OwnedBuffer<double> d = OwnedBuffer<double>::allocate(layers);
    std::vector<Complex> base(media);
    for (std::size_t k = 0; k < layers; ++k) {
        d[k] = uniform(20.0, 300.0);
        base[k + 1] = {uniform(1.35, 2.4), uniform(0.001, 0.05)};
    }
    base[0] = {1.0, 0.0};
    base[media - 1] = {1.52, 0.0};
    OwnedBuffer<double> wl = OwnedBuffer<double>::allocate(wavelengths);
    OwnedBuffer<Complex> n = OwnedBuffer<Complex>::allocate(media * wavelengths);
    for (std::size_t w = 0; w < wavelengths; ++w) {
        wl[w] = 400.0 + 400.0 * static_cast<double>(w) / static_cast<double>(wavelengths);
        const double dispersion = 0.01 * 550.0 / wl[w];
        for (std::size_t j = 0; j < media; ++j) {
            const bool layer = j != 0 && j != media - 1;
            n[j * wavelengths + w] = {base[j].re + (layer ? dispersion : 0.0), base[j].im};
        }
    }
    return Stack{RealVector::from_buffer(std::move(d)),
                 ComplexMatrix{std::move(n), media, wavelengths,
                               static_cast<std::ptrdiff_t>(wavelengths), 1, 0},
                 RealVector::from_buffer(std::move(wl))};
}

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size() / 2;
    return values.size() % 2 == 1 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// --- empty requests ------------------------------------------------------------------

constexpr std::size_t empty_indices = 101;

// What the body of one empty request saw: per call its thread, when it
// started and ended, and how many indices it had.
struct CallRecord {
    std::thread::id thread;
    Clock::time_point start, end;
    std::size_t indices;
};

struct EmptyFigures {
    double request_median, request_p10, request_p90;
    double first_start;   // median, from the call of parallel_for
    double second_start;  // median over requests a second worker joined
    double second_share;  // median share of the indices the second worker evaluated
    double joined_share;  // share of the requests a second worker joined
    double caller_back;   // median, from the end of the last run to the return
};

EmptyFigures measure_empty(std::size_t workers, int requests) {
    ::setenv("RAYON_NUM_THREADS", std::to_string(workers).c_str(), 1);
    if (lamiro::thread_count() != workers) std::abort();
    std::array<CallRecord, 64> calls;
    std::atomic<std::size_t> call_count{0};
    auto body = [&](std::size_t begin, std::size_t end) {
        const Clock::time_point start = Clock::now();
        const std::size_t slot = call_count.fetch_add(1, std::memory_order_relaxed);
        if (slot < calls.size()) {
            calls[slot] = {std::this_thread::get_id(), start, Clock::now(), end - begin};
        }
    };
    std::vector<double> total, first, second, share, back;
    std::size_t joined = 0;
    for (int i = -200; i < requests; ++i) {  // 200 warm-up requests
        call_count.store(0, std::memory_order_relaxed);
        const Clock::time_point start = Clock::now();
        lamiro::parallel_for(empty_indices, body);
        const Clock::time_point back_at = Clock::now();
        if (i < 0) continue;
        const std::size_t n = std::min(call_count.load(), calls.size());
        Clock::time_point first_at = calls[0].start, last_end = calls[0].end;
        std::thread::id first_thread = calls[0].thread;
        for (std::size_t c = 1; c < n; ++c) {
            if (calls[c].start < first_at) {
                first_at = calls[c].start;
                first_thread = calls[c].thread;
            }
            last_end = std::max(last_end, calls[c].end);
        }
        Clock::time_point second_at = Clock::time_point::max();
        std::size_t second_indices = 0;
        for (std::size_t c = 0; c < n; ++c) {
            if (calls[c].thread != first_thread) {
                second_at = std::min(second_at, calls[c].start);
                second_indices += calls[c].indices;
            }
        }
        total.push_back(micros(back_at - start));
        first.push_back(micros(first_at - start));
        back.push_back(micros(back_at - last_end));
        if (second_indices > 0) {
            ++joined;
            second.push_back(micros(second_at - start));
            share.push_back(static_cast<double>(second_indices) / empty_indices);
        }
    }
    return EmptyFigures{median(total),
                        percentile(total, 0.1),
                        percentile(total, 0.9),
                        median(first),
                        median(second),
                        median(share),
                        static_cast<double>(joined) / requests,
                        median(back)};
}

// --- one long request ----------------------------------------------------------------

// What one worker count gave on the long request.
struct LongFigures {
    double best_ms, median_ms;
    double best_idle, median_idle;  // shares of W x request duration
    double calls, splits;           // per request, medians
    double involuntary_switches;    // per evaluation, median
    double cpu_share;               // process CPU time / (W x time), median
};

std::vector<lamiro::RequestTiming> timings;

double process_cpu_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return 1e3 * static_cast<double>(now.tv_sec) + 1e-6 * static_cast<double>(now.tv_nsec);
}

LongFigures measure_long(std::size_t workers, int repetitions, std::size_t wavelengths,
                         std::size_t layers) {
    ::setenv("RAYON_NUM_THREADS", std::to_string(workers).c_str(), 1);
    const Stack stack = make_stack(wavelengths, layers);
    auto evaluate = [&stack] {
        lamiro::SimulationContext context(stack.d, stack.n, stack.wl, 0.3, 0.4);
        const auto r = context.reflectance();
        const auto t = context.transmittance();
        if (!(r[0] >= 0.0) || !(t[0] >= 0.0)) std::abort();
    };
    evaluate();  // starts the pool
    lamiro::observe_requests([](const lamiro::RequestTiming& t) { timings.push_back(t); });
    std::vector<double> ms, idle, calls, splits, switches, cpu;
    for (int i = 0; i < repetitions; ++i) {
        timings.clear();
        rusage before{};
        ::getrusage(RUSAGE_SELF, &before);
        const double cpu_before = process_cpu_ms();
        const auto start = Clock::now();
        evaluate();
        const auto elapsed = Clock::now() - start;
        const double cpu_ms = process_cpu_ms() - cpu_before;
        rusage after{};
        ::getrusage(RUSAGE_SELF, &after);
        if (timings.size() != 1) std::abort();
        ms.push_back(std::chrono::duration<double, std::milli>(elapsed).count());
        idle.push_back(timings[0].idle_share());
        calls.push_back(static_cast<double>(timings[0].calls));
        splits.push_back(static_cast<double>(timings[0].splits));
        switches.push_back(static_cast<double>(after.ru_nivcsw - before.ru_nivcsw));
        cpu.push_back(cpu_ms / (static_cast<double>(workers) * ms.back()));
    }
    lamiro::observe_requests(nullptr);
    return LongFigures{*std::min_element(ms.begin(), ms.end()),
                       median(ms),
                       *std::min_element(idle.begin(), idle.end()),
                       median(idle),
                       median(calls),
                       median(splits),
                       median(switches),
                       median(cpu)};
}

// --- processes -----------------------------------------------------------------------

// Runs `binary --child ARGS...` and reads `Figures` from its standard output.
template <class Figures>
bool run_child(const std::string& binary, const std::vector<std::string>& args, Figures& figures) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>("--child")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    const bool received = ::read(fds[0], &figures, sizeof figures) == sizeof figures;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <class Figures>
int send(const Figures& figures) {
    return ::write(STDOUT_FILENO, &figures, sizeof figures) == sizeof figures ? 0 : 1;
}

int child_main(int argc, char** argv) {
    const std::string kind = argc > 2 ? argv[2] : "";
    if (kind == "empty" && argc == 5) {
        return send(measure_empty(std::strtoul(argv[3], nullptr, 10), std::atoi(argv[4])));
    }
    if (kind == "long" && argc == 7) {
        return send(measure_long(std::strtoul(argv[3], nullptr, 10), std::atoi(argv[4]),
                                 std::strtoul(argv[5], nullptr, 10),
                                 std::strtoul(argv[6], nullptr, 10)));
    }
    std::fprintf(stderr, "pool_bench: unknown child arguments\n");
    return 2;
}

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string text;
    std::getline(file, text);
    return text.empty() ? "unknown" : text;
}

struct Build {
    const char* name;
    std::string binary;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
        return child_main(argc, argv);
    }
    std::vector<Build> builds;
    int arg = 1;
    if (argc > 2 && std::strcmp(argv[1], "--before") == 0) {
        builds.push_back({"before", argv[2]});
        arg = 3;
    }
    builds.push_back({"this", "/proc/self/exe"});
    const int repetitions = argc > arg ? std::max(1, std::atoi(argv[arg])) : 15;
    const std::size_t wavelengths =
        argc > arg + 1 ? std::strtoul(argv[arg + 1], nullptr, 10) : 10000;
    const std::size_t layers = argc > arg + 2 ? std::strtoul(argv[arg + 2], nullptr, 10) : 200;
    constexpr int requests = 2000;
    constexpr int rounds = 3;  // interleaved processes per build and worker count
    std::printf("Worker pool, %u processors online; load average before: %s\n",
                std::thread::hardware_concurrency(), load_average().c_str());

    std::printf(
        "\n1. Empty requests: %d requests of %zu indices whose body does nothing, in each of %d "
        "processes\n   per build; microseconds from the call of parallel_for, medians (the "
        "request also its\n   10th-90th percentile); the second worker's share of the indices, "
        "and the share of\n   the requests it joined\n\n",
        requests, empty_indices, rounds);
    std::printf(
        "workers  pool      request  (10-90 %%)       first run  second worker (share, joined)  "
        "caller back\n");
    for (std::size_t workers : {2, 1}) {
        for (int round = 0; round < rounds; ++round) {
            for (const Build& build : builds) {
                EmptyFigures f{};
                if (!run_child(build.binary,
                               {"empty", std::to_string(workers), std::to_string(requests)}, f)) {
                    std::fprintf(stderr, "the %s pool's empty requests failed\n", build.name);
                    return 1;
                }
                char second[64] = "-";
                if (f.joined_share > 0) {
                    std::snprintf(second, sizeof second, "%6.1f (%3.0f %%, %3.0f %%)",
                                  f.second_start, 100 * f.second_share, 100 * f.joined_share);
                }
                std::printf("%7zu  %-7s %7.1f  (%5.1f-%6.1f)   %9.1f  %-29s  %11.1f\n", workers,
                            build.name, f.request_median, f.request_p10, f.request_p90,
                            f.first_start, second, f.caller_back);
            }
        }
    }
    std::printf("target: 2 workers, this pool, request median <= 10 us\n");

    std::printf(
        "\n2. One long request: %zu layers x %zu wavelengths, absorbing, both spectra; %d "
        "repetitions\n   per worker count and build\n\n",
        layers, wavelengths, repetitions);
    std::printf(
        "workers  pool     time best  median   idle best  median   calls  splits  preempted  cpu "
        "share\n");
    std::vector<std::pair<double, double>> speedups;
    for (const Build& build : builds) {
        LongFigures one{}, two{};
        for (std::size_t workers : {1, 2}) {
            LongFigures& f = workers == 1 ? one : two;
            if (!run_child(build.binary,
                           {"long", std::to_string(workers), std::to_string(repetitions),
                            std::to_string(wavelengths), std::to_string(layers)},
                           f)) {
                std::fprintf(stderr, "the %s pool's long request with %zu workers failed\n",
                             build.name, workers);
                return 1;
            }
            std::printf(
                "%7zu  %-7s %6.1f ms  %6.1f   %7.2f %%  %5.2f %%  %6.0f  %6.0f  %9.0f  %7.0f %%\n",
                workers, build.name, f.best_ms, f.median_ms, 100 * f.best_idle, 100 * f.median_idle,
                f.calls, f.splits, f.involuntary_switches, 100 * f.cpu_share);
        }
        speedups.emplace_back(one.best_ms / two.best_ms, one.median_ms / two.median_ms);
    }
    for (std::size_t b = 0; b < builds.size(); ++b) {
        std::printf("speed-up with 2 workers, %s pool: best %.2f, median %.2f (target >= 1.9)\n",
                    builds[b].name, speedups[b].first, speedups[b].second);
    }
    std::printf("load average after: %s\n", load_average().c_str());
    std::printf(
        "(calls: calls of the body per request; splits: runs cut for a worker that ran out of\n"
        " work; preempted: involuntary context switches per evaluation; cpu share: processor\n"
        " time the workers got, as a share of W x time: below 100 %% other programs had the\n"
        " processors)\n");
    return 0;
}
