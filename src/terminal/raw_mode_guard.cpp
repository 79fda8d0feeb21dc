// SPDX-License-Identifier: MIT

#include "base/errors.hpp"
#include "terminal/terminal.hpp"

namespace portavik {

RawModeGuard::RawModeGuard(Terminal& terminal) : terminal_(terminal) {
    if (!terminal_.enable_raw_mode()) {
        throw FatalError("Failed to enable raw mode");
    }
}

RawModeGuard::~RawModeGuard() {
    if (!on_) {
        return;
    }
    try {
        terminal_.disable_raw_mode();
    } catch (...) {
        // Quiet by contract: this may run while an exception unwinds.
    }
}

void RawModeGuard::disable() {
    if (!on_) {
        return;
    }
    if (!terminal_.disable_raw_mode()) {
        // on_ stays set: the destructor tries once more on the way out.
        throw FatalError("Failed to disable raw mode");
    }
    on_ = false;
}

}  // namespace portavik
