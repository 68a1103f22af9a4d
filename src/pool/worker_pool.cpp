// SPDX-License-Identifier: MIT
#include "pool/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>

#include "common/internal_fault.hpp"
#include "pool/cpu_quota.hpp"
#include "pool/thread_count_env.hpp"

namespace lamiro {

namespace {

constexpr std::size_t worker_stack_size = std::size_t{2} << 20;

// Runs per request for each worker: enough that a worker finishing early
// finds another run to take, few enough that bookkeeping stays negligible.
constexpr std::size_t runs_per_worker = 4;

thread_local bool on_pool_worker = false;

// A broken step of the pool's own bookkeeping leaves requests that can never
// complete; stopping the process is the only safe answer.
[[noreturn]] void bookkeeping_failed(const char* what) noexcept {
    std::fprintf(stderr, "lamiro worker pool: %s; aborting\n", what);
    std::abort();
}

// One parallel_for call. It lives on the calling thread's stack, which is
// why the caller may not return before every run has reported its end.
struct Request {
    Request(RangeFunction body_, std::size_t count_, std::size_t run_count_)
        : body(body_), count(count_), run_count(run_count_) {}

    // Runs are consecutive index blocks whose lengths differ by at most one.
    std::size_t run_begin(std::size_t run) const {
        return run * (count / run_count) + std::min(run, count % run_count);
    }

    const RangeFunction body;
    const std::size_t count;
    const std::size_t run_count;

    // Guarded by the pool's mutex.
    std::size_t next_run = 0;
    Request* next_in_queue = nullptr;

    // The completion signal; the mutex also guards `fault`.
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t runs_ended = 0;
    bool done = false;
    std::exception_ptr fault;
};

class WorkerPool {
public:
    explicit WorkerPool(std::size_t worker_count) : worker_count_(worker_count) {}

    std::size_t worker_count() const noexcept { return worker_count_; }
    std::mutex& mutex() noexcept { return mutex_; }

    // Starts the workers; on failure the description of the cause. Workers
    // already started stay blocked on this pool for the rest of the process.
    std::optional<std::string> start_workers();

    // Queues the request and blocks until all of its runs have ended.
    void run(Request& request);

private:
    static void* worker_main(void* pool) noexcept;
    [[noreturn]] void work();
    static void execute(Request& request, std::size_t run) noexcept;

    const std::size_t worker_count_;
    std::mutex mutex_;
    std::condition_variable work_available_;
    // Entry queue: requests that still have runs nobody has taken.
    Request* head_ = nullptr;
    Request* tail_ = nullptr;
};

std::string describe_error(const char* step, int error) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, not always into buffer.
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    return std::string(step) + ": " + text + " (os error " + std::to_string(error) + ")";
}

std::optional<std::string> WorkerPool::start_workers() {
    pthread_attr_t attributes;
    if (const int error = ::pthread_attr_init(&attributes); error != 0) {
        return describe_error("cannot prepare worker thread attributes", error);
    }
    std::optional<std::string> cause;
    if (const int error = ::pthread_attr_setstacksize(&attributes, worker_stack_size); error != 0) {
        cause = describe_error("cannot set the worker thread stack size", error);
    } else if (const int error =
                   ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
               error != 0) {
        cause = describe_error("cannot detach worker threads", error);
    }
    for (std::size_t i = 0; i < worker_count_ && !cause; ++i) {
        pthread_t thread;
        if (const int error = ::pthread_create(&thread, &attributes, &worker_main, this);
            error != 0) {
            cause = describe_error("failed to spawn worker thread", error);
        }
    }
    ::pthread_attr_destroy(&attributes);
    return cause;
}

void* WorkerPool::worker_main(void* pool) noexcept {
    // A new thread inherits its creator's name; workers have none, so a
    // fault raised on one is not reported as the caller's.
    ::pthread_setname_np(::pthread_self(), "");
    try {
        static_cast<WorkerPool*>(pool)->work();
    } catch (...) {
        bookkeeping_failed("a worker thread failed outside the requested work");
    }
}

void WorkerPool::work() {
    on_pool_worker = true;
    std::unique_lock lock(mutex_);
    while (true) {
        work_available_.wait(lock, [this] { return head_ != nullptr; });
        Request& request = *head_;
        const std::size_t run = request.next_run++;
        if (request.next_run == request.run_count) {
            head_ = request.next_in_queue;
            if (head_ == nullptr) {
                tail_ = nullptr;
            }
        }
        // Work is left for another worker: wake one, which does the same in
        // turn, so a request spreads over as many workers as it has runs.
        if (head_ != nullptr) {
            work_available_.notify_one();
        }
        lock.unlock();
        execute(request, run);
        lock.lock();
    }
}

void WorkerPool::execute(Request& request, std::size_t run) noexcept {
    std::exception_ptr fault;
    try {
        request.body(request.run_begin(run), request.run_begin(run + 1));
    } catch (...) {
        fault = std::current_exception();
    }
    try {
        std::lock_guard guard(request.mutex);
        if (fault && !request.fault) {
            request.fault = std::move(fault);
        }
        // Notified under the mutex: the caller cannot see `done`, return and
        // destroy the request before this thread has let go of it.
        if (++request.runs_ended == request.run_count) {
            request.done = true;
            request.finished.notify_one();
        }
    } catch (...) {
        bookkeeping_failed("cannot signal the end of a run");
    }
}

void WorkerPool::run(Request& request) {
    {
        std::lock_guard guard(mutex_);
        if (tail_ == nullptr) {
            head_ = &request;
        } else {
            tail_->next_in_queue = &request;
        }
        tail_ = &request;
    }
    work_available_.notify_one();
    // The workers now use the request on this stack: no way out of this
    // wait but its completion.
    try {
        std::unique_lock lock(request.mutex);
        request.finished.wait(lock, [&request] { return request.done; });
    } catch (...) {
        bookkeeping_failed("cannot wait for a request to complete");
    }
}

// Process-wide creation state. Never destroyed: the workers outlive every
// static destructor.
enum class CreationState { not_attempted, created, failed };

struct GlobalPool {
    std::mutex mutex;
    CreationState state = CreationState::not_attempted;
    WorkerPool* pool = nullptr;
    const std::string* failure_cause = nullptr;
    bool fork_handlers_registered = false;
};

constinit GlobalPool global;

// Around fork(): no other thread may hold the pool's locks while the address
// space is copied, and the child, which has none of the workers, starts
// over without a pool. The old pool object is left behind on purpose; its
// threads do not exist in the child, so nothing may touch it there.
void before_fork() noexcept {
    global.mutex.lock();
    if (global.pool != nullptr) {
        global.pool->mutex().lock();
    }
}

void after_fork_in_parent() noexcept {
    if (global.pool != nullptr) {
        global.pool->mutex().unlock();
    }
    global.mutex.unlock();
}

void after_fork_in_child() noexcept {
    global.state = CreationState::not_attempted;
    global.pool = nullptr;
    global.failure_cause = nullptr;
    // The forking thread locked this in before_fork and is the child's only
    // thread.
    global.mutex.unlock();
}

std::size_t worker_count_from_environment() {
    const auto requested =
        requested_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"));
    const std::size_t count = requested ? *requested : default_processor_count();
    return std::clamp<std::size_t>(count, 1, max_worker_count);
}

[[noreturn]] void throw_not_initialized(const std::string& cause) {
    throw InternalFault(std::string(pool_not_initialized_message) + ": " + cause);
}

WorkerPool& global_pool() {
    std::lock_guard guard(global.mutex);
    switch (global.state) {
        case CreationState::created:
            return *global.pool;
        case CreationState::failed:
            throw_not_initialized(*global.failure_cause);
        case CreationState::not_attempted:
            break;
    }
    if (!global.fork_handlers_registered) {
        if (const int error =
                ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
            error != 0) {
            global.failure_cause =
                new std::string(describe_error("cannot register fork handlers", error));
            global.state = CreationState::failed;
            throw_not_initialized(*global.failure_cause);
        }
        global.fork_handlers_registered = true;
    }
    auto pool = std::make_unique<WorkerPool>(worker_count_from_environment());
    if (auto cause = pool->start_workers()) {
        // Workers that did start wait on this pool forever: it stays alive.
        pool.release();
        global.failure_cause = new std::string(std::move(*cause));
        global.state = CreationState::failed;
        throw_not_initialized(*global.failure_cause);
    }
    global.pool = pool.release();
    global.state = CreationState::created;
    return *global.pool;
}

}  // namespace

std::size_t thread_count() { return global_pool().worker_count(); }

void parallel_for(std::size_t count, RangeFunction body) {
    if (on_pool_worker) {
        // A worker waiting for its own pool could wait forever.
        if (count != 0) {
            body(0, count);
        }
        return;
    }
    WorkerPool& pool = global_pool();
    if (count == 0) {
        return;
    }
    Request request(body, count, std::min(count, runs_per_worker * pool.worker_count()));
    pool.run(request);
    if (request.fault) {
        std::rethrow_exception(request.fault);
    }
}

}  // namespace lamiro
