// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace lamiro {

class RangeFunction;

// A callable `void(std::size_t begin, std::size_t end)` other than a
// RangeFunction itself (which is copied, not referenced).
template <class F>
concept RangeCallable = !std::is_same_v<std::remove_cvref_t<F>, RangeFunction> &&
                        std::is_invocable_v<F&, std::size_t, std::size_t>;

// Non-owning reference to a callable `void(std::size_t begin, std::size_t end)`.
// The callable must outlive every call through the reference.
class RangeFunction {
public:
    template <RangeCallable F>
    RangeFunction(F&& f) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_(&invoke<std::remove_reference_t<F>>) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    template <class F>
    static void invoke(void* object, std::size_t begin, std::size_t end) {
        (*static_cast<F*>(object))(begin, end);
    }

    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// Number of threads that evaluate a request: the worker count W (1 to 255)
// while the pool's workers run. When the workers could not be started (no
// memory for their stacks, no thread left under the process limit), the
// pool writes one line to standard error, stops the workers that did start,
// and from then on every request runs on its calling thread: the count is
// then 1. Creates the pool first if that has not been attempted yet.
std::size_t thread_count();

// Calls `body(begin, end)` for contiguous runs that together cover
// 0..count-1 exactly once, on the pool's workers. The calling thread blocks
// until every run has ended and does none of the work itself (unless the
// workers could not be started, see thread_count). A run that throws stops
// there; the others still run to their end; then one of the exceptions
// thrown is rethrown here. Creates the pool like thread_count(). Called from
// a worker of the pool, the whole range runs on that worker.
void parallel_for(std::size_t count, RangeFunction body);

// out[i] = f(i) for every i in 0..count-1, each slot written only by the
// evaluation of its own index, indices ascending within each run. `f` is
// called concurrently from several threads and must only read shared data.
// Exceptions from `f` reach the caller as described for parallel_for.
template <class T, class F>
void parallel_fill(std::size_t count, F&& f, T* out) {
    parallel_for(count, [&f, out](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[i] = f(i);
        }
    });
}

// How one request that the workers served used them.
struct RequestTiming {
    // From queueing the request to the calling thread's return.
    std::chrono::nanoseconds duration{0};
    // Time spent inside the body, summed over the workers.
    std::chrono::nanoseconds busy{0};
    std::size_t workers = 0;  // W
    std::size_t calls = 0;    // calls of the body
    std::size_t splits = 0;   // runs split for a worker that had run out of work

    // Share of the workers' time in the request spent outside the body:
    // waking up, waiting for the last run, bookkeeping.
    double idle_share() const noexcept {
        const double available =
            static_cast<double>(workers) * static_cast<double>(duration.count());
        return available > 0.0 ? 1.0 - static_cast<double>(busy.count()) / available : 0.0;
    }
};

using RequestObserver = void (*)(const RequestTiming&);

// Calls `observer` on the requesting thread after each request the workers
// served, until it is replaced; nullptr (the default) observes nothing. For
// benchmarks: without an observer a request reads no clock beyond what the
// workers read to size their steps.
void observe_requests(RequestObserver observer) noexcept;

}  // namespace lamiro
