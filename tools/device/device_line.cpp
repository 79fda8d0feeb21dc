// SPDX-License-Identifier: MIT

#include "device_line.hpp"

#include <termios.h>

#include <cmath>

#include "serial/custom_baud.hpp"
#include "serial/line_timing.hpp"
#include "serial/termios_line.hpp"

namespace portavik::device {

namespace {

constexpr std::uint32_t kFixedSilenceAbove = 19200;
constexpr std::chrono::microseconds kFixedSilence{1750};

}  // namespace

DeviceLine read_device_line(int master_fd) {
    DeviceLine settings;
    termios attrs{};
    if (::tcgetattr(master_fd, &attrs) == 0) {
        const portavik::LineSettings line = detail::line_of(attrs, 0);
        settings.data_bits = line.data_bits;
        settings.parity = line.parity;
        settings.stop_bits = line.stop_bits;
        settings.rts_cts = (attrs.c_cflag & CRTSCTS) != 0;
        settings.xon_xoff = (attrs.c_iflag & (IXON | IXOFF)) != 0;
    }
    std::uint32_t rate = 0;
    if (detail::get_exact_baud(master_fd, rate) == 0) {
        settings.baud = rate;
    }
    return settings;
}

std::string describe(const DeviceLine& settings) {
    std::string flow(display_word(FlowControl::None));
    if (settings.rts_cts && settings.xon_xoff) {
        flow = std::string(display_word(FlowControl::Hardware)) + " и " +
               std::string(display_word(FlowControl::Software));
    } else if (settings.rts_cts) {
        flow = display_word(FlowControl::Hardware);
    } else if (settings.xon_xoff) {
        flow = display_word(FlowControl::Software);
    }
    return std::to_string(settings.baud) + " " + std::string(row(settings.data_bits).code) +
           std::string(row(settings.parity).code) + std::string(row(settings.stop_bits).code) +
           ", поток: " + flow;
}

std::chrono::microseconds frame_silence(const DeviceLine& settings) {
    if (settings.baud == 0 || settings.baud > kFixedSilenceAbove) {
        return kFixedSilence;
    }
    const unsigned bits =
        detail::frame_bits(settings.data_bits, settings.parity, settings.stop_bits);
    const double micros = 3.5 * bits * 1e6 / settings.baud;
    return std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(micros)));
}

}  // namespace portavik::device
