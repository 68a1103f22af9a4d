// SPDX-License-Identifier: MIT
#include "pool/look_window.hpp"

#include <algorithm>

namespace lamiro {

void LookWindow::after_idle(Duration idle) noexcept {
    if (idle > longest) {
        shorten();
    } else if (growth_paused_for_ > 0) {
        --growth_paused_for_;
    } else {
        length_ = std::clamp(2 * length_, shortest, longest);
    }
}

void LookWindow::after_displacement() noexcept {
    shorten();
    growth_paused_for_ = calm_needed;
}

void LookWindow::shorten() noexcept {
    length_ = length_ / 2 >= shortest ? length_ / 2 : Duration::zero();
}

}  // namespace lamiro
