// SPDX-License-Identifier: MIT
// The worker pool on one long request: both spectra of a 200-layer absorbing
// stack at 10 000 wavelengths, every layer its own dispersive medium,
// evaluated through a SimulationContext (one request of the pool per
// evaluation). Each worker count runs in a fresh process, since the pool's
// size is fixed when it is created. For each it prints the time of an
// evaluation, the share of the workers' time in the request spent idle
// (waking up, waiting for the last run, bookkeeping) and how the request was
// cut; then the speed-up of 2 workers over 1. The machine's load average and
// the involuntary context switches of the process (other programs taking
// its processors) say how far the figures can be trusted.
//
//   pool_bench [repetitions [wavelengths [layers]]]   defaults 15 10000 200
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// What one worker count gave, sent from its process to the parent.
struct Figures {
    double best_ms, median_ms;
    double best_idle, median_idle;  // shares of W x request duration
    double calls, splits;           // per request, medians
    double involuntary_switches;    // per evaluation, median
    double cpu_share;               // process CPU time / (W x time), median
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t m = values.size() / 2;
    return values.size() % 2 == 1 ? values[m] : 0.5 * (values[m - 1] + values[m]);
}

std::vector<lamiro::RequestTiming> timings;

double process_cpu_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return 1e3 * static_cast<double>(now.tv_sec) + 1e-6 * static_cast<double>(now.tv_nsec);
}

Figures measure(std::size_t workers, int repetitions, std::size_t wavelengths, std::size_t layers) {
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
        const auto start = std::chrono::steady_clock::now();
        evaluate();
        const auto elapsed = std::chrono::steady_clock::now() - start;
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
    return Figures{*std::min_element(ms.begin(), ms.end()),
                   median(ms),
                   *std::min_element(idle.begin(), idle.end()),
                   median(idle),
                   median(calls),
                   median(splits),
                   median(switches),
                   median(cpu)};
}

// Runs measure() in a child process, so its pool has the wanted size.
bool measure_in_child(std::size_t workers, int repetitions, std::size_t wavelengths,
                      std::size_t layers, Figures& figures) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::close(fds[0]);
        const Figures result = measure(workers, repetitions, wavelengths, layers);
        const bool sent = ::write(fds[1], &result, sizeof result) == sizeof result;
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    const bool received = ::read(fds[0], &figures, sizeof figures) == sizeof figures;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string text;
    std::getline(file, text);
    return text.empty() ? "unknown" : text;
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const std::size_t wavelengths = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
    const std::size_t layers = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
    std::printf(
        "Worker pool: %zu layers x %zu wavelengths, absorbing, both spectra; %d repetitions "
        "per worker count; %u processors online\n",
        layers, wavelengths, repetitions, std::thread::hardware_concurrency());
    std::printf("load average before: %s\n\n", load_average().c_str());
    std::printf(
        "workers  time best  median   idle best  median   calls  splits  preempted  cpu share\n");
    Figures one{}, two{};
    for (std::size_t workers : {1, 2}) {
        Figures& f = workers == 1 ? one : two;
        if (!measure_in_child(workers, repetitions, wavelengths, layers, f)) {
            std::fprintf(stderr, "the measurement with %zu workers failed\n", workers);
            return 1;
        }
        std::printf("%7zu  %6.1f ms  %6.1f   %7.2f %%  %5.2f %%  %6.0f  %6.0f  %9.0f  %7.0f %%\n",
                    workers, f.best_ms, f.median_ms, 100 * f.best_idle, 100 * f.median_idle,
                    f.calls, f.splits, f.involuntary_switches, 100 * f.cpu_share);
    }
    const double best_speedup = one.best_ms / two.best_ms;
    const double median_speedup = one.median_ms / two.median_ms;
    std::printf("\nspeed-up with 2 workers: best %.2f, median %.2f (target >= 1.9)\n", best_speedup,
                median_speedup);
    std::printf(
        "idle with 2 workers: best %.2f %%, median %.2f %% of the request (target < 3 %%)\n",
        100 * two.best_idle, 100 * two.median_idle);
    std::printf("load average after: %s\n", load_average().c_str());
    std::printf(
        "(calls: calls of the body per request; splits: runs cut for a worker that ran out of\n"
        " work; preempted: involuntary context switches per evaluation; cpu share: processor\n"
        " time the workers got, as a share of W x time: below 100 %% other programs had the\n"
        " processors)\n");
    return 0;
}
