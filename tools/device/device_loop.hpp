#pragma once

// The device's event loop on the master side of its virtual port.

#include "behaviour.hpp"

namespace portavik::device {

// Serves `master_fd` with `behaviour` until a stop signal arrives on
// `signal_fd`; returns that signal's number.
int run_device(int master_fd, int signal_fd, Behaviour& behaviour);

}  // namespace portavik::device
