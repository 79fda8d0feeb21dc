// SPDX-License-Identifier: MIT

#pragma once

// The line settings in a Windows DCB (Win32 API documentation, "DCB structure").

#include <windows.h>

#include "serial/comm_rules.hpp"
#include "serial/line_settings.hpp"

namespace portavik::detail {

// The line as a terminal program needs it, whatever the last user left:
// binary, DTR and RTS on, no DSR handshake, no character replacement, no
// abort on errors, XON/XOFF thresholds that fit the input queue.
void make_plain(DCB& dcb, const comm::FlowLimits& limits);

// All five settings, the rate included. Every field a driver may report out
// of range is among them, so what GetCommState gave is always fit to be
// written back (wine reads a pseudo-terminal that kept PARODD after dropping
// PARENB as no parity value at all, which SetCommState refuses).
void put_line(DCB& dcb, const LineSettings& line);

LineSettings line_of(const DCB& dcb);

}  // namespace portavik::detail
