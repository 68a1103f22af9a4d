// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace lamiro {

// Non-owning reference to a callable `void(std::size_t begin, std::size_t end)`.
// The callable must outlive every call through the reference.
class RangeFunction {
public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, RangeFunction> &&
             std::is_invocable_v<F&, std::size_t, std::size_t>) RangeFunction(F&& f)
    noexcept
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

// Message of the fault raised by every request once the pool could not be
// created; ": " and the cause follow it.
inline constexpr const char* pool_not_initialized_message =
    "The global thread pool has not been initialized.";

// Number of worker threads W (1 to 255). Creates the process-wide pool
// first if that has not been attempted yet; after a failed creation throws
// InternalFault(pool_not_initialized_message + ": " + cause).
std::size_t thread_count();

// Calls `body(begin, end)` for contiguous runs that together cover
// 0..count-1 exactly once, on the pool's workers. The calling thread blocks
// until every run has ended and does none of the work itself. A run that
// throws stops there; the others still run to their end; then one of the
// exceptions thrown is rethrown here. Creates the pool like thread_count().
// Called from a worker of the pool, the whole range runs on that worker.
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

}  // namespace lamiro
