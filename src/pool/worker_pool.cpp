// SPDX-License-Identifier: MIT
#include "pool/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>

#include "pool/cpu_quota.hpp"
#include "pool/futex_word.hpp"
#include "pool/look_window.hpp"
#include "pool/spin_lock.hpp"
#include "pool/spin_pause.hpp"
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

// The processor the calling thread runs on, or -1 where that is unknown.
int current_processor() noexcept {
#ifdef __linux__
    return ::sched_getcpu();
#else
    return -1;
#endif
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
        initial_runs = run_count;
    }

    const RangeFunction body;
    const std::size_t worker_count;
    std::size_t initial_runs;  // how many workers the request can use at once

    // Guarded by the pool's queue lock.
    Request* next_in_queue = nullptr;
    bool queued = false;

    // The run bookkeeping, guarded by `lock`.
    SpinLock lock;
    // Each worker holds at most one taken run, so W records suffice: a
    // worker that needs a record for a split finds one the others do not
    // hold.
    std::array<Run, max_worker_count> runs;
    std::size_t run_count;
    std::size_t joined = 0;  // workers that joined, each at most once
    std::size_t active = 0;  // workers that joined and have not left
    std::exception_ptr fault;
    Clock::duration busy{0};
    std::size_t calls = 0;
    std::size_t splits = 0;

    // The completion signal the calling thread blocks on.
    std::mutex completion;
    std::condition_variable finished;
    bool done = false;
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

// A looking worker checks the work signal every turn of its loop. Every
// few turns it offers its processor to any other thread that waits for it
// (the caller, woken at the end of its request, or another program); and
// reads the clock, for the end of its window and to notice that it was
// descheduled.
constexpr unsigned turns_between_yields = 8;
constexpr unsigned turns_between_clock_reads = 16;

// A looker that finds this much time gone between two clock reads has lost
// its processor to another thread meanwhile: the processors are wanted, and
// looking only takes time from the threads that want them.
constexpr Clock::duration displaced_gap = std::chrono::microseconds(20);

class WorkerPool {
public:
    WorkerPool(std::size_t worker_count, std::size_t processor_count) noexcept
        : worker_count_(worker_count),
          // More lookers than processors would only take turns on them.
          lookers_allowed_(static_cast<std::uint32_t>(std::min(worker_count, processor_count))) {}

    std::size_t worker_count() const noexcept { return worker_count_; }
    SpinLock& queue_lock() noexcept { return queue_lock_; }

    // Starts the workers. When one cannot be started, stops and joins those
    // that did, describes the cause and returns false.
    bool start_workers(Cause& cause) noexcept;

    // Queues the request and blocks until all of its runs have ended.
    void run(Request& request);

private:
    static void* worker_main(void* pool) noexcept;
    void work();
    Request* join(std::size_t& run) noexcept;
    void serve(Request& request, std::size_t run);
    void leave(Request& request) noexcept;
    void wait_for_work(std::uint32_t seen, LookWindow& window) noexcept;
    bool start_looking() noexcept;
    bool in_callers_way() const noexcept;
    bool on_callers_processor() const noexcept;
    enum class Look { found, timed_out, displaced };
    Look look(std::uint32_t seen, Clock::time_point until) const noexcept;
    void park(std::uint32_t seen) noexcept;
    void announce_work(std::size_t wanted) noexcept;
    void dequeue(Request& request) noexcept;
    void stop_workers(std::size_t started) noexcept;

    const std::size_t worker_count_;
    const std::uint32_t lookers_allowed_;

    // Entry queue: requests that a worker joining them may find work in.
    // Changed under the queue lock; the head is also read without it, so an
    // idle worker can see that nothing is queued without taking the lock.
    SpinLock queue_lock_;
    std::atomic<Request*> head_{nullptr};
    Request* tail_ = nullptr;

    // Advanced after every change that may give an idle worker something to
    // do (a request queued, the pool stopping). Idle workers watch it while
    // they look for work and park on it (a futex word) afterwards.
    std::atomic<std::uint32_t> work_signal_{0};
    std::atomic<std::uint32_t> looking_{0};  // workers watching the signal, awake
    std::atomic<std::uint32_t> parked_{0};   // workers parked or about to park
    std::atomic<bool> stopping_{false};

    // The processor the latest request's caller ran on (-1: unknown), and
    // the requests whose callers wait for them.
    std::atomic<int> caller_processor_{-1};
    std::atomic<std::uint32_t> requests_in_flight_{0};

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
    stopping_.store(true, std::memory_order_relaxed);
    work_signal_.fetch_add(1, std::memory_order_seq_cst);
    futex_wake(work_signal_, std::numeric_limits<int>::max());
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
    LookWindow window;
    while (true) {
        // Read before the queue: a request queued after this read advances
        // the signal past `seen`, so the wait below cannot miss it.
        const std::uint32_t seen = work_signal_.load(std::memory_order_seq_cst);
        if (stopping_.load(std::memory_order_relaxed)) {
            return;
        }
        std::size_t run = no_run;
        if (Request* request = join(run)) {
            serve(*request, run);
            leave(*request);
            continue;
        }
        wait_for_work(seen, window);
    }
}

// The first queued request with work to hand out, joined with the run taken
// in `run`; nullptr when there is none. Requests found without work are
// dequeued on the way.
Request* WorkerPool::join(std::size_t& run) noexcept {
    if (head_.load(std::memory_order_acquire) == nullptr) {
        return nullptr;
    }
    std::lock_guard queue_guard(queue_lock_);
    while (Request* request = head_.load(std::memory_order_relaxed)) {
        std::lock_guard request_guard(request->lock);
        run = take_work(*request, no_run);
        if (run == no_run) {
            dequeue(*request);
            continue;
        }
        ++request->active;
        ++request->joined;
        // Left queued while a worker that has not joined yet could still
        // find work in it.
        if (request->joined == request->worker_count || !has_work_to_hand_out(*request)) {
            dequeue(*request);
        }
        return request;
    }
    return nullptr;
}

// Executes `run` in steps, then whatever other work take_work hands out,
// until there is none.
void WorkerPool::serve(Request& request, std::size_t run) {
    // With one worker nobody could take work over: one step does it all.
    std::size_t step = worker_count_ > 1 ? min_step : static_cast<std::size_t>(-1);
    std::unique_lock lock(request.lock);
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

// Called by a worker that found no work left in the request to take, after
// which a worker joining would find none either.
void WorkerPool::leave(Request& request) noexcept {
    bool last = false;
    {
        std::lock_guard queue_guard(queue_lock_);
        std::lock_guard request_guard(request.lock);
        dequeue(request);
        last = --request.active == 0;
    }
    if (last) {
        requests_in_flight_.fetch_sub(1, std::memory_order_relaxed);
        // Notified under the mutex: the caller cannot see `done`, return and
        // destroy the request before this thread has let go of it.
        try {
            std::lock_guard guard(request.completion);
            request.done = true;
            request.finished.notify_one();
        } catch (...) {
            bookkeeping_failed("cannot signal the completion of a request");
        }
    }
}

// Waits until the work signal moves past `seen` (or spuriously): looking
// for a while, then parked.
void WorkerPool::wait_for_work(std::uint32_t seen, LookWindow& window) noexcept {
    const Clock::time_point idle_since = Clock::now();
    Look outcome = Look::timed_out;
    if (window.length() > Clock::duration::zero() && !in_callers_way() && start_looking()) {
        outcome = look(seen, idle_since + window.length());
        looking_.fetch_sub(1, std::memory_order_seq_cst);
    }
    if (outcome != Look::found) {
        park(seen);
    }
    if (outcome == Look::displaced) {
        window.after_displacement();
    } else {
        window.after_idle(Clock::now() - idle_since);
    }
}

// Whether this worker runs on the processor of the latest request's caller
// while no request is in flight, so the caller runs or is about to. Looking
// there would take turns with the caller between its calls. While the
// caller waits, a worker looking on its processor keeps that processor from
// going idle, which is what makes the caller's return quick: the kernel
// wakes the caller there, and the looker, seeing the request done, parks and
// hands the processor straight over. (Waking a thread on an idle processor
// of a virtual machine takes several microseconds more.)
bool WorkerPool::in_callers_way() const noexcept {
    return requests_in_flight_.load(std::memory_order_relaxed) == 0 && on_callers_processor();
}

bool WorkerPool::on_callers_processor() const noexcept {
    const int caller = caller_processor_.load(std::memory_order_relaxed);
    return caller >= 0 && caller == current_processor();
}

// Counts this worker among the lookers, unless as many look as may.
bool WorkerPool::start_looking() noexcept {
    std::uint32_t lookers = looking_.load(std::memory_order_relaxed);
    do {
        if (lookers >= lookers_allowed_) {
            return false;
        }
    } while (!looking_.compare_exchange_weak(lookers, lookers + 1, std::memory_order_seq_cst));
    return true;
}

// Watches the work signal until it moves past `seen` (found), until
// `until` or until it is in the caller's way (timed out), or until it finds
// that it lost its processor meanwhile (displaced).
WorkerPool::Look WorkerPool::look(std::uint32_t seen, Clock::time_point until) const noexcept {
    Clock::time_point last_read = Clock::now();
    // The processor is read with the clock; whether the request is done,
    // every turn, so a looker beside a waiting caller leaves at once.
    bool beside_caller = on_callers_processor();
    for (unsigned turn = 1;; ++turn) {
        if (work_signal_.load(std::memory_order_acquire) != seen) {
            return Look::found;
        }
        if (beside_caller && requests_in_flight_.load(std::memory_order_relaxed) == 0) {
            return Look::timed_out;
        }
        if (turn % turns_between_clock_reads == 0) {
            const Clock::time_point now = Clock::now();
            if (now >= until) {
                return Look::timed_out;
            }
            if (now - last_read > displaced_gap) {
                return Look::displaced;
            }
            last_read = now;
            beside_caller = on_callers_processor();
        }
        if (turn % turns_between_yields == 0) {
            ::sched_yield();
        } else {
            spin_pause();
        }
    }
}

void WorkerPool::park(std::uint32_t seen) noexcept {
    // Counted before the signal is read again, and announce_work advances
    // the signal before it reads the count: either this worker sees the new
    // value and does not sleep, or the announcer sees it parked and wakes
    // it (futex_wait itself returns at once once the value has moved).
    parked_.fetch_add(1, std::memory_order_seq_cst);
    if (work_signal_.load(std::memory_order_seq_cst) == seen) {
        futex_wait(work_signal_, seen);
    }
    parked_.fetch_sub(1, std::memory_order_relaxed);
}

// Tells idle workers that a request was queued that `wanted` workers can
// share. Looking workers see the signal move within a fraction of a
// microsecond; parked ones are woken together, only as many as the lookers
// do not cover, and with no system call when they cover all.
void WorkerPool::announce_work(std::size_t wanted) noexcept {
    work_signal_.fetch_add(1, std::memory_order_seq_cst);
    const std::size_t lookers = looking_.load(std::memory_order_seq_cst);
    if (wanted > lookers && parked_.load(std::memory_order_seq_cst) > 0) {
        futex_wake(work_signal_,
                   static_cast<int>(std::min<std::size_t>(wanted - lookers, max_worker_count)));
    }
}

void WorkerPool::dequeue(Request& request) noexcept {
    if (!request.queued) {
        return;
    }
    Request* previous = nullptr;
    for (Request* r = head_.load(std::memory_order_relaxed); r != &request; r = r->next_in_queue) {
        previous = r;
    }
    if (previous == nullptr) {
        head_.store(request.next_in_queue, std::memory_order_release);
    } else {
        previous->next_in_queue = request.next_in_queue;
    }
    if (tail_ == &request) {
        tail_ = previous;
    }
    request.queued = false;
}

void WorkerPool::run(Request& request) {
    caller_processor_.store(current_processor(), std::memory_order_relaxed);
    requests_in_flight_.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard guard(queue_lock_);
        if (tail_ == nullptr) {
            head_.store(&request, std::memory_order_release);
        } else {
            tail_->next_in_queue = &request;
        }
        tail_ = &request;
        request.queued = true;
    }
    announce_work(request.initial_runs);
    // The workers now use the request on this stack: no way out of this
    // wait but its completion.
    try {
        std::unique_lock lock(request.completion);
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
};

constinit GlobalPool global;

// Around fork(): no other thread may hold the pool's locks while the address
// space is copied, and the child, which has none of the workers, starts
// over without a pool. The old pool object is left behind on purpose; its
// threads do not exist in the child, so nothing may touch it there.
void before_fork() noexcept {
    global.mutex.lock();
    if (global.pool != nullptr) {
        global.pool->queue_lock().lock();
    }
}

void after_fork_in_parent() noexcept {
    if (global.pool != nullptr) {
        global.pool->queue_lock().unlock();
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

// The fork handlers are registered when the library is loaded, before any
// thread can hold global.mutex. Registered with the pool instead, a fork in
// the moment between another thread's locking of the mutex for the first
// request and the registration would copy the mutex locked into a child
// that has no handler to free it: the child's first request would wait for
// ever. Registered here, such a fork waits in before_fork until the pool is
// created. The error number, if registration failed, for create_pool.
const int fork_registration_error =
    ::pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);

// Called with global.mutex held, once per process (and once per forked child).
void create_pool() noexcept {
    Cause cause;
    if (fork_registration_error != 0) {
        return run_on_caller(
            describe(cause, "cannot register fork handlers", fork_registration_error));
    }
    std::size_t count = 1;
    std::size_t processors = 1;
    try {
        processors = default_processor_count();
        count = worker_count_from(std::getenv("RAYON_NUM_THREADS"),
                                  std::getenv("RAYON_RS_NUM_CPUS"), processors);
    } catch (const std::exception& error) {
        std::snprintf(cause.text, sizeof cause.text, "cannot count the processors: %s",
                      error.what());
        return run_on_caller(cause.text);
    }
    auto* pool = new (std::nothrow) WorkerPool(count, processors);
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
