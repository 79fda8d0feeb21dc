// SPDX-License-Identifier: MIT

#include "serial/termios_line.hpp"

#include <cstddef>
#include <iterator>

namespace portavik::detail {

namespace {

// The character size flag of each DataBits value, in declared order.
constexpr tcflag_t kCharacterSizes[] = {CS5, CS6, CS7, CS8};
static_assert(std::size(kCharacterSizes) == std::size(kDataBitsRows));

void put_data_bits(termios& attrs, DataBits value) {
    attrs.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    const auto index = static_cast<std::size_t>(value);
    attrs.c_cflag |= index < std::size(kCharacterSizes) ? kCharacterSizes[index] : CS8;
}

void put_parity(termios& attrs, Parity value) {
    attrs.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
    if (value == Parity::Odd) {
        attrs.c_cflag |= static_cast<tcflag_t>(PARENB | PARODD);
    } else if (value == Parity::Even) {
        attrs.c_cflag |= static_cast<tcflag_t>(PARENB);
    }
}

void put_stop_bits(termios& attrs, StopBits value) {
    if (value == StopBits::Two) {
        attrs.c_cflag |= static_cast<tcflag_t>(CSTOPB);
    } else {
        attrs.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    }
}

void put_flow_control(termios& attrs, FlowControl value) {
    attrs.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    attrs.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (value == FlowControl::Software) {
        attrs.c_iflag |= static_cast<tcflag_t>(IXON | IXOFF);
    } else if (value == FlowControl::Hardware) {
        attrs.c_cflag |= static_cast<tcflag_t>(CRTSCTS);
    }
}

DataBits data_bits_of(const termios& attrs) {
    for (std::size_t i = 0; i < std::size(kCharacterSizes); ++i) {
        if ((attrs.c_cflag & CSIZE) == kCharacterSizes[i]) {
            return kDataBitsRows[i].value;
        }
    }
    return DataBits::Eight;
}

Parity parity_of(const termios& attrs) {
    if ((attrs.c_cflag & PARENB) == 0) {
        return Parity::None;
    }
    return (attrs.c_cflag & PARODD) != 0 ? Parity::Odd : Parity::Even;
}

StopBits stop_bits_of(const termios& attrs) {
    return (attrs.c_cflag & CSTOPB) != 0 ? StopBits::Two : StopBits::One;
}

FlowControl flow_control_of(const termios& attrs) {
    if ((attrs.c_cflag & CRTSCTS) != 0) {
        return FlowControl::Hardware;
    }
    if ((attrs.c_iflag & (IXON | IXOFF)) != 0) {
        return FlowControl::Software;
    }
    return FlowControl::None;
}

}  // namespace

void make_raw(termios& attrs) {
    attrs.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                            ICRNL | IXON | IXOFF | IXANY | INPCK);
    attrs.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    attrs.c_cflag |= static_cast<tcflag_t>(CREAD | CLOCAL);
    // poll reports data as soon as one byte is there (n_tty: VMIN 1, VTIME 0).
    attrs.c_cc[VMIN] = 1;
    attrs.c_cc[VTIME] = 0;
}

void put_line(termios& attrs, const LineSettings& line) {
    put_data_bits(attrs, line.data_bits);
    put_parity(attrs, line.parity);
    put_stop_bits(attrs, line.stop_bits);
    put_flow_control(attrs, line.flow_control);
}

LineSettings line_of(const termios& attrs, std::uint32_t baud) {
    return {baud, data_bits_of(attrs), stop_bits_of(attrs), parity_of(attrs),
            flow_control_of(attrs)};
}

}  // namespace portavik::detail
