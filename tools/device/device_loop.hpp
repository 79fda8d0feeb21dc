// SPDX-License-Identifier: MIT

#pragma once

// The device's event loop on the master side of its virtual port.

#include "behaviour.hpp"

namespace portavik::device {

// Serves `master_fd` with `behaviour` until a stop signal arrives on
// `signal_fd`; returns that signal's number. `opens_fd` (or -1) becomes
// readable when a program opens the port, which is then noticed at once.
// `uart`: what the port does not take at once is dropped and counted, unless
// `xoff_when_full` and software flow control is in force (StreamSender).
int run_device(int master_fd, int opens_fd, int signal_fd, Behaviour& behaviour, bool uart,
               bool xoff_when_full);

}  // namespace portavik::device
