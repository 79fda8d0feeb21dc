// SPDX-License-Identifier: MIT

#pragma once

// SIGINT, SIGTERM and SIGHUP as a readable descriptor, so that the device
// loop ends through its normal path (and its link is removed).

#include <expected>
#include <string>

namespace portavik::device {

// Blocks the three signals (after undoing an inherited SIG_IGN, as a shell
// gives background jobs) and ignores SIGPIPE. Returns a signalfd.
std::expected<int, std::string> open_stop_signals();

// The number of the signal waiting on `fd`, or 0.
int take_stop_signal(int fd);

// "SIGTERM"
std::string signal_name(int signo);

}  // namespace portavik::device
