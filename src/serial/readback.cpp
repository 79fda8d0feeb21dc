// SPDX-License-Identifier: MIT

#include "serial/readback.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace portavik::detail {

namespace {

SerialError not_taken(std::string_view wanted, std::string_view in_force) {
    std::string text = "устройство не приняло ";
    text += wanted;
    text += " (действует ";
    text += in_force;
    text += ')';
    return SerialError{ErrorKind::InvalidInput, IoKind::Other, std::move(text)};
}

// A failed read-back, or a value other than `wanted`, both named as their
// setting's table has it.
template <class T>
SerialResult<void> expect_value(const SerialResult<LineSettings>& in_force, T LineSettings::*field,
                                T wanted) {
    if (!in_force) {
        return std::unexpected(in_force.error());
    }
    if (const T now = (*in_force).*field; now != wanted) {
        return std::unexpected(not_taken(row(wanted).refused, row(now).kept));
    }
    return {};
}

}  // namespace

SerialError zero_baud_error() {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       "скорость 0 бод недопустима (в POSIX она означает разрыв линии)"};
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, std::uint32_t wanted_baud) {
    if (!in_force) {
        return std::unexpected(in_force.error());
    }
    const std::uint32_t now = in_force->baud_rate;
    // A driver may round to what its divisor can make; within 2 % the line
    // works (a UART receiver tolerates about that much), beyond it the device
    // is not running at the rate asked for.
    const std::uint64_t deviation = now > wanted_baud ? now - wanted_baud : wanted_baud - now;
    if (deviation * 50 > wanted_baud) {
        return std::unexpected(
            not_taken("скорость " + std::to_string(wanted_baud) + " бод", std::to_string(now)));
    }
    return {};
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, DataBits wanted) {
    return expect_value(in_force, &LineSettings::data_bits, wanted);
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, StopBits wanted) {
    return expect_value(in_force, &LineSettings::stop_bits, wanted);
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, Parity wanted) {
    return expect_value(in_force, &LineSettings::parity, wanted);
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, FlowControl wanted) {
    return expect_value(in_force, &LineSettings::flow_control, wanted);
}

SerialResult<void> confirm_all(const SerialResult<LineSettings>& in_force,
                               const LineSettings& wanted) {
    if (auto ok = confirm(in_force, wanted.baud_rate); !ok) {
        return ok;
    }
    if (auto ok = confirm(in_force, wanted.data_bits); !ok) {
        return ok;
    }
    if (auto ok = confirm(in_force, wanted.parity); !ok) {
        return ok;
    }
    if (auto ok = confirm(in_force, wanted.stop_bits); !ok) {
        return ok;
    }
    return confirm(in_force, wanted.flow_control);
}

SerialResult<void> settle(const SerialResult<void>& written, const SerialResult<void>& confirmed) {
    if (!written && written.error().kind != ErrorKind::InvalidInput) {
        return written;
    }
    if (!confirmed) {
        return confirmed;
    }
    return written;
}

}  // namespace portavik::detail
