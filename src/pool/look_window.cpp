// SPDX-License-Identifier: MIT
#include "pool/look_window.hpp"

#include <algorithm>

namespace lamiro {

void LookWindow::after_idle(Duration idle) noexcept {
    if (idle <= longest) {
        length_ = std::clamp(2 * length_, shortest, longest);
    } else {
        shorten();
    }
}

void LookWindow::after_displacement() noexcept { shorten(); }

void LookWindow::shorten() noexcept {
    length_ = length_ / 2 >= shortest ? length_ / 2 : Duration::zero();
}

}  // namespace lamiro
