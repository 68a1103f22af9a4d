// SPDX-License-Identifier: MIT
#include "pool/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

#include "pool/cpu_quota.hpp"
#include "pool/thread_count_env.hpp"

namespace lamiro {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t worker_stack_size = std::size_t{2} << 20;

// Run boundaries, split points and the ends of steps fall on multiples of
// this many indices (the end of the range aside), so a body that works in
// packs of several indices never has a pack cut short inside the range.
constexpr std::size_t index_grain = 8;

// The first step a worker takes in a request, and about the smallest part a
// split leaves on either side: enough indices that a call of the body
// outweighs the bookkeeping around it.
constexpr std::size_t min_step = 2 * index_grain;

// How long one step should take. A worker learns that another has run out
// of work only between steps, and the indices of a step already begun cannot
// be handed on, so this bounds how long a worker waits for the others at the
// end of a request. The bookkeeping of a step (two clock reads, a lock, a
// call) costs a few parts in 10^4 of it.
constexpr Clock::duration step_duration = std::chrono::microseconds(200);

constexpr std::size_t no_run = static_cast<std::size_t>(-1);

thread_local bool on_pool_worker = false;

std::atomic<RequestObserver> request_observer{nullptr};

// A broken step of the pool's own bookkeeping leaves requests that can never
// complete; stopping the process is the only safe answer.
[[noreturn]] void bookkeeping_failed(const char* what) noexcept {
    std::fprintf(stderr, "lamiro worker pool: %s; aborting\n", what);
    std::abort();
}

constexpr std::size_t align_up(std::size_t i) noexcept {
    return (i + index_grain - 1) / index_grain * index_grain;
}

// A contiguous part of a request's range whose indices next..end-1 have not
// been started. While `taken`, one worker executes it step by step, and a
// worker that runs out of work may take its upper part away by lowering
// `end`.
struct Run {
    std::size_t next;
    std::size_t end;
    bool taken;

    std::size_t left() const noexcept { return end - next; }
};

// One parallel_for call. It lives on the calling thread's stack, which is
// why the caller may not return before every worker has left it.
struct Request {
    Request(RangeFunction body_, std::size_t count, std::size_t worker_count_)
        : body(body_), worker_count(worker_count_) {
        // One run per worker to begin with (fewer for a short range), cut
        // further only where a worker runs out of work.
        run_count = std::clamp<std::size_t>(count / min_step, 1, worker_count);
        const std::size_t length = count / run_count;
        const std::size_t longer = count % run_count;
        std::size_t begin = 0;
        for (std::size_t r = 1; r <= run_count; ++r) {
            const std::size_t end = r * length + std::min(r, longer);
            runs[r - 1] = Run{begin, r < run_count ? end / index_grain * index_grain : end, false};
            begin = runs[r - 1].end;
        }
    }

    const RangeFunction body;
    const std::size_t worker_count;

    // Guarded by the pool's mutex.
    Request* next_in_queue = nullptr;
    bool queued = false;

    // The rest is guarded by `mutex`, which is also the completion signal's.
    std::mutex mutex;
    std::condition_variable finished;
    // Each worker holds at most one taken run, so W records suffice: a
    // worker that needs a record for a split finds one the others do not
    // hold.
    std::array<Run, max_worker_count> runs;
    std::size_t run_count;
    std::size_t joined = 0;  // workers that joined, each at most once
    std::size_t active = 0;  // workers that joined and have not left
    bool done = false;
    std::exception_ptr fault;
    Clock::duration busy{0};
    std::size_t calls = 0;
    std::size_t splits = 0;
};

// Whether a worker joining now would find work.
bool has_work_to_hand_out(const Request& request) noexcept {
    return std::any_of(
        request.runs.begin(), request.runs.begin() + request.run_count,
        [](const Run& run) { return run.taken ? run.left() >= 2 * min_step : run.left() > 0; });
}

// Hands a worker whose run is used up (`own`), or a worker joining (no_run),
// its next run: an untaken run with indices left, whole; otherwise the upper
// half of the largest rest of a run another worker executes, when that rest
// is at least two minimal steps. No run when there is nothing to hand out;
// work only ever shrinks, so there will not be later either.
std::size_t take_work(Request& request, std::size_t own) noexcept {
    if (own != no_run) {
        request.runs[own].taken = false;
    }
    std::size_t largest = no_run;
    std::size_t free_record = no_run;
    for (std::size_t r = 0; r < request.run_count; ++r) {
        Run& run = request.runs[r];
        if (!run.taken) {
            if (run.left() > 0) {
                run.taken = true;
                return r;
            }
            if (free_record == no_run || r == own) {
                free_record = r;
            }
        } else if (run.left() >= 2 * min_step &&
                   (largest == no_run || run.left() > request.runs[largest].left())) {
            largest = r;
        }
    }
    if (largest == no_run) {
        return no_run;
    }
    if (free_record == no_run) {
        if (request.run_count == request.runs.size()) {
            bookkeeping_failed("more runs than workers");
        }
        free_record = request.run_count++;
    }
    // The owner's step in progress lies below `next`, and it goes on from
    // `next` upwards: it keeps at least a minimal step before the split.
    Run& victim = request.runs[largest];
    const std::size_t middle = align_up(victim.next + victim.left() / 2);
    request.runs[free_record] = Run{middle, victim.end, true};
    victim.end = middle;
    ++request.splits;
    return free_record;
}

// End of the next step of `run`: about `step` indices on, or the whole rest
// when less than a minimal step would remain.
std::size_t step_end(const Run& run, std::size_t step) noexcept {
    if (run.left() <= step || run.left() - step < min_step) {
        return run.end;
    }
    return align_up(run.next + step);
}

// The number of indices that take about step_duration at the pace of the
// step just measured.
std::size_t next_step(std::size_t indices, Clock::duration elapsed) noexcept {
    constexpr double largest = 1e15;
    const double scaled = elapsed.count() > 0 ? static_cast<double>(indices) *
                                                    static_cast<double>(step_duration.count()) /
                                                    static_cast<double>(elapsed.count())
                                              : largest;
    return std::max(min_step, static_cast<std::size_t>(std::min(scaled, largest)));
}

// Description of why the pool could not be started, kept in a fixed buffer
// because the usual cause is that memory or threads have run out.
struct Cause {
    char text[256] = "";
};

// Text of an error number from either variant of strerror_r: the GNU one
// returns the text, the POSIX one fills the buffer and returns 0.
[[maybe_unused]] const char* error_text(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char* error_text(const char* text, const char*) noexcept { return text; }

const char* describe(Cause& cause, const char* step, int error) noexcept {
    char buffer[128] = "";
    std::snprintf(cause.text, sizeof cause.text, "%s: %s (os error %d)", step,
                  error_text(::strerror_r(error, buffer, sizeof buffer), buffer), error);
    return cause.text;
}

class WorkerPool {
public:
    explicit WorkerPool(std::size_t worker_count) noexcept : worker_count_(worker_count) {}

    std::size_t worker_count() const noexcept { return worker_count_; }
    std::mutex& mutex() noexcept { return mutex_; }

    // Starts the workers. When one cannot be started, stops and joins those
    // that did, describes the cause and returns false.
    bool start_workers(Cause& cause) noexcept;

    // Queues the request and blocks until all of its runs have ended.
    void run(Request& request);

private:
    static void* worker_main(void* pool) noexcept;
    void work();
    void serve(Request& request, std::size_t run);
    void dequeue(Request& request) noexcept;
    void stop_workers(std::size_t started) noexcept;

    const std::size_t worker_count_;
    std::mutex mutex_;
    std::condition_variable work_available_;
    // Entry queue: requests that a worker joining them may find work in.
    Request* head_ = nullptr;
    Request* tail_ = nullptr;
    bool stopping_ = false;
    std::array<pthread_t, max_worker_count> threads_{};
};

bool WorkerPool::start_workers(Cause& cause) noexcept {
    pthread_attr_t attributes;
    if (const int error = ::pthread_attr_init(&attributes); error != 0) {
        describe(cause, "cannot prepare worker thread attributes", error);
        return false;
    }
    std::size_t started = 0;
    if (const int error = ::pthread_attr_setstacksize(&attributes, worker_stack_size); error != 0) {
        describe(cause, "cannot set the worker thread stack size", error);
    } else {
        for (; started < worker_count_; ++started) {
            const int error = ::pthread_create(&threads_[started], &attributes, &worker_main, this);
            if (error != 0) {
                char step[64];
                std::snprintf(step, sizeof step, "failed to spawn worker thread %zu of %zu",
                              started + 1, worker_count_);
                describe(cause, step, error);
                break;
            }
        }
    }
    ::pthread_attr_destroy(&attributes);
    if (started < worker_count_) {
        stop_workers(started);
        return false;
    }
    // The workers serve requests for the rest of the process.
    for (std::size_t i = 0; i < started; ++i) {
        ::pthread_detach(threads_[i]);
    }
    return true;
}

void WorkerPool::stop_workers(std::size_t started) noexcept {
    try {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    } catch (...) {
        bookkeeping_failed("cannot stop the workers that started");
    }
    work_available_.notify_all();
    for (std::size_t i = 0; i < started; ++i) {
        ::pthread_join(threads_[i], nullptr);
    }
}

void* WorkerPool::worker_main(void* pool) noexcept {
#ifdef __linux__
    // On Linux a new thread inherits its creator's name; workers have none,
    // so a fault raised on one is not reported as the caller's.
    ::pthread_setname_np(::pthread_self(), "");
#endif
    try {
        static_cast<WorkerPool*>(pool)->work();
    } catch (...) {
        bookkeeping_failed("a worker thread failed outside the requested work");
    }
    return nullptr;
}

void WorkerPool::work() {
    on_pool_worker = true;
    std::unique_lock lock(mutex_);
    while (true) {
        work_available_.wait(lock, [this] { return head_ != nullptr || stopping_; });
        if (stopping_) {
            return;
        }
        Request& request = *head_;
        std::size_t run = no_run;
        bool wake_another = false;
        {
            std::lock_guard request_lock(request.mutex);
            run = take_work(request, no_run);
            if (run != no_run) {
                ++request.active;
                ++request.joined;
                wake_another =
                    request.joined < request.worker_count && has_work_to_hand_out(request);
            }
            if (!wake_another) {
                dequeue(request);
            }
        }
        if (run == no_run) {
            continue;
        }
        lock.unlock();
        // Work is left for another worker: wake one, which does the same in
        // turn, so a request spreads over as many workers as can share it.
        if (wake_another) {
            work_available_.notify_one();
        }
        serve(request, run);
        lock.lock();
        std::lock_guard request_lock(request.mutex);
        // This worker found no work left to take, and a worker joining later
        // would find none either.
        dequeue(request);
        // Notified under the mutex: the caller cannot see `done`, return and
        // destroy the request before this thread has let go of it.
        if (--request.active == 0) {
            request.done = true;
            request.finished.notify_one();
        }
    }
}

// Executes `run` in steps, then whatever other work take_work hands out,
// until there is none.
void WorkerPool::serve(Request& request, std::size_t run) {
    // With one worker nobody could take work over: one step does it all.
    std::size_t step = worker_count_ > 1 ? min_step : static_cast<std::size_t>(-1);
    std::unique_lock lock(request.mutex);
    while (run != no_run) {
        Run& current = request.runs[run];
        if (current.left() == 0) {
            run = take_work(request, run);
            continue;
        }
        const std::size_t begin = current.next;
        const std::size_t end = step_end(current, step);
        current.next = end;
        lock.unlock();
        std::exception_ptr fault;
        const Clock::time_point start = Clock::now();
        try {
            request.body(begin, end);
        } catch (...) {
            fault = std::current_exception();
        }
        const Clock::duration elapsed = Clock::now() - start;
        if (worker_count_ > 1) {
            step = next_step(end - begin, elapsed);
        }
        lock.lock();
        request.busy += elapsed;
        ++request.calls;
        if (fault) {
            // The run stops at the index that failed: its indices not yet
            // started (and not taken over by another worker) are dropped.
            current.end = current.next;
            if (!request.fault) {
                request.fault = std::move(fault);
            }
        }
    }
}

void WorkerPool::dequeue(Request& request) noexcept {
    if (!request.queued) {
        return;
    }
    Request* previous = nullptr;
    for (Request* r = head_; r != &request; r = r->next_in_queue) {
        previous = r;
    }
    (previous == nullptr ? head_ : previous->next_in_queue) = request.next_in_queue;
    if (tail_ == &request) {
        tail_ = previous;
    }
    request.queued = false;
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
        request.queued = true;
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
enum class CreationState { not_attempted, created, on_caller };

struct GlobalPool {
    std::mutex mutex;
    CreationState state = CreationState::not_attempted;
    WorkerPool* pool = nullptr;
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
    // The forking thread locked this in before_fork and is the child's only
    // thread.
    global.mutex.unlock();
}

// The pool cannot run: every request runs on its calling thread from now on.
// Results do not depend on the thread count, so only the speed changes; the
// one line on standard error says why.
void run_on_caller(const char* cause) noexcept {
    std::fprintf(stderr,
                 "lamiro: cannot start the worker pool (%s); spectra are computed on the "
                 "calling thread from now on\n",
                 cause);
    global.state = CreationState::on_caller;
}

// Called with global.mutex held, once per process (and once per forked child).
void create_pool() noexcept {
    Cause cause;
    if (!global.fork_handlers_registered) {
        if (const int error =
                ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
            error != 0) {
            return run_on_caller(describe(cause, "cannot register fork handlers", error));
        }
        global.fork_handlers_registered = true;
    }
    std::size_t count = 1;
    try {
        count = worker_count_from(std::getenv("RAYON_NUM_THREADS"),
                                  std::getenv("RAYON_RS_NUM_CPUS"), default_processor_count());
    } catch (const std::exception& error) {
        std::snprintf(cause.text, sizeof cause.text, "cannot count the processors: %s",
                      error.what());
        return run_on_caller(cause.text);
    }
    auto* pool = new (std::nothrow) WorkerPool(count);
    if (pool == nullptr) {
        return run_on_caller("no memory for the pool");
    }
    if (!pool->start_workers(cause)) {
        delete pool;
        return run_on_caller(cause.text);
    }
    global.pool = pool;
    global.state = CreationState::created;
}

// The pool, created on first use; nullptr when it could not be started.
WorkerPool* global_pool() {
    std::lock_guard guard(global.mutex);
    if (global.state == CreationState::not_attempted) {
        create_pool();
    }
    return global.pool;
}

}  // namespace

std::size_t thread_count() {
    const WorkerPool* pool = global_pool();
    return pool != nullptr ? pool->worker_count() : 1;
}

void observe_requests(RequestObserver observer) noexcept { request_observer.store(observer); }

void parallel_for(std::size_t count, RangeFunction body) {
    if (on_pool_worker) {
        // A worker waiting for its own pool could wait forever.
        if (count != 0) {
            body(0, count);
        }
        return;
    }
    WorkerPool* pool = global_pool();
    if (count == 0) {
        return;
    }
    if (pool == nullptr) {
        body(0, count);
        return;
    }
    const RequestObserver observer = request_observer.load();
    const Clock::time_point start = observer != nullptr ? Clock::now() : Clock::time_point{};
    Request request(body, count, pool->worker_count());
    pool->run(request);
    if (observer != nullptr) {
        observer(RequestTiming{
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start),
            std::chrono::duration_cast<std::chrono::nanoseconds>(request.busy),
            request.worker_count, request.calls, request.splits});
    }
    if (request.fault) {
        std::rethrow_exception(request.fault);
    }
}

}  // namespace lamiro
