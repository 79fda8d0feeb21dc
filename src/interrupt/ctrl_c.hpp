// SPDX-License-Identifier: MIT

#pragma once

// One process-wide handler for the user's interrupt (Ctrl+C). The handler
// runs on a dedicated thread of this layer, never in signal context. It
// usually ends the process; when it returns, the interrupt counts as handled.

#include <functional>

namespace portavik {

// False when the handler cannot be installed (or one already is).
bool set_ctrl_c_handler(std::function<void()> handler);

}  // namespace portavik
