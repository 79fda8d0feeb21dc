// SPDX-License-Identifier: MIT

#pragma once

// The line settings the other side of the pseudo-terminal put in force, read
// back from the master, and the inter-frame silence they imply.

#include <chrono>
#include <cstdint>
#include <string>

#include "serial/line_settings.hpp"

namespace portavik::device {

// The line as the device side sees it: like the port's LineSettings, but
// with each kind of flow control on or off by itself.
struct DeviceLine {
    std::uint32_t baud = 0;
    DataBits data_bits = DataBits::Eight;
    Parity parity = Parity::None;
    StopBits stop_bits = StopBits::One;
    // Both may be on at once, which the port's own FlowControl cannot say.
    bool rts_cts = false;
    bool xon_xoff = false;

    bool operator==(const DeviceLine&) const = default;
};

// tcgetattr on a pseudo-terminal master reports the slave's settings.
DeviceLine read_device_line(int master_fd);

// "38400 8N1, поток: нет"; the flow words are the ones Portavik shows.
std::string describe(const DeviceLine& settings);

// Modbus RTU frame delimiter: 3.5 character times at the current rate, and a
// fixed 1750 us above 19200 baud (Modbus over serial line, 2.5.1.1).
std::chrono::microseconds frame_silence(const DeviceLine& settings);

}  // namespace portavik::device
