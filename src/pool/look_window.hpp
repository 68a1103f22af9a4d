// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

namespace lamiro {

// How long a worker that has run out of work keeps looking for a new request
// before it parks. A designer's loop calls again within tens of microseconds;
// waking a parked worker takes about ten, noticing a request while looking a
// fraction of one. Looking costs processor time, so the window adapts: it
// halves with every idle time longer than the longest look, and whenever the
// worker lost its processor while it looked (other threads wanted it), down
// to none; it doubles with every idle time within the longest look, up to
// that, except for a few idle times after losing the processor, so that
// looking on busy processors dies out instead of coming back at every
// request. A process that calls in bursts looks within the bursts (from the
// few first requests of a burst on), one that calls rarely or shares busy
// processors hardly looks, and one that stops calling spends at most one
// longest look per worker.
class LookWindow {
public:
    using Duration = std::chrono::steady_clock::duration;

    static constexpr Duration longest = std::chrono::microseconds(200);
    // Shorter windows catch too few requests to be worth their clock reads.
    static constexpr Duration shortest = std::chrono::microseconds(10);
    // Idle times after a displacement during which the window does not grow.
    static constexpr int calm_needed = 8;

    Duration length() const noexcept { return length_; }

    // After the worker waited `idle` for work, looking or parked.
    void after_idle(Duration idle) noexcept;

    // After the worker found that it had lost its processor while it looked.
    void after_displacement() noexcept;

private:
    void shorten() noexcept;

    Duration length_ = longest;
    int growth_paused_for_ = 0;  // idle times
};

}  // namespace lamiro
