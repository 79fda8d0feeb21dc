// SPDX-License-Identifier: MIT

#pragma once

#include <algorithm>
#include <chrono>
#include <climits>

namespace portavik {

// poll(2)'s timeout for what is left of a wait: whole milliseconds rounded
// up, so that poll never wakes before the deadline and spins; 0 once it has
// passed.
inline int poll_timeout(std::chrono::steady_clock::duration left) {
    if (left <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

}  // namespace portavik
