#include "line_settings.hpp"

#include <termios.h>

#include <cmath>

#include "serial/custom_baud.hpp"

namespace portavik::device {

namespace {

constexpr std::uint32_t kFixedSilenceAbove = 19200;
constexpr std::chrono::microseconds kFixedSilence{1750};

int data_bits_of(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

}  // namespace

LineSettings read_line_settings(int master_fd) {
    LineSettings settings;
    termios attrs{};
    if (::tcgetattr(master_fd, &attrs) == 0) {
        settings.data_bits = data_bits_of(attrs.c_cflag);
        if ((attrs.c_cflag & PARENB) != 0) {
            settings.parity = (attrs.c_cflag & PARODD) != 0 ? 'O' : 'E';
        }
        settings.stop_bits = (attrs.c_cflag & CSTOPB) != 0 ? 2 : 1;
        settings.rts_cts = (attrs.c_cflag & CRTSCTS) != 0;
        settings.xon_xoff = (attrs.c_iflag & (IXON | IXOFF)) != 0;
    }
    std::uint32_t rate = 0;
    if (detail::get_exact_baud(master_fd, rate) == 0) {
        settings.baud = rate;
    }
    return settings;
}

std::string describe(const LineSettings& settings) {
    std::string flow = "нет";
    if (settings.rts_cts && settings.xon_xoff) {
        flow = "аппаратное и программное";
    } else if (settings.rts_cts) {
        flow = "аппаратное";
    } else if (settings.xon_xoff) {
        flow = "программное";
    }
    return std::to_string(settings.baud) + " " + std::to_string(settings.data_bits) +
           settings.parity + std::to_string(settings.stop_bits) + ", поток: " + flow;
}

std::chrono::microseconds frame_silence(const LineSettings& settings) {
    if (settings.baud == 0 || settings.baud > kFixedSilenceAbove) {
        return kFixedSilence;
    }
    // Start bit, data bits, parity bit, stop bits.
    const int bits = 1 + settings.data_bits + (settings.parity != 'N' ? 1 : 0) + settings.stop_bits;
    const double micros = 3.5 * bits * 1e6 / settings.baud;
    return std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(micros)));
}

}  // namespace portavik::device
