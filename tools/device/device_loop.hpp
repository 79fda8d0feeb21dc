#pragma once

// The device's event loop on the master side of its virtual port.

#include <string>

#include "behaviour.hpp"

namespace portavik::device {

// Serves `master_fd` with `behaviour` until a stop signal arrives on
// `signal_fd`; returns that signal's number. `slave_path` is watched for
// opens, so a program that opens the port is noticed at once.
int run_device(int master_fd, const std::string& slave_path, int signal_fd, Behaviour& behaviour);

}  // namespace portavik::device
