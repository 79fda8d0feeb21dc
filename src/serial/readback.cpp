// SPDX-License-Identifier: MIT

#include "serial/readback.hpp"

#include <optional>
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

// A rate other than `wanted`, beyond what a divisor's rounding explains.
std::optional<SerialError> refused_baud(std::uint32_t now, std::uint32_t wanted) {
    // A driver may round to what its divisor can make; within 2 % the line
    // works (a UART receiver tolerates about that much), beyond it the device
    // is not running at the rate asked for.
    const std::uint64_t deviation = now > wanted ? now - wanted : wanted - now;
    if (deviation * 50 > wanted) {
        return not_taken("скорость " + std::to_string(wanted) + " бод", std::to_string(now));
    }
    return std::nullopt;
}

// A value other than `wanted`, both named as their setting's table has it.
template <class T>
std::optional<SerialError> refused(T now, T wanted) {
    if (now != wanted) {
        return not_taken(row(wanted).refused, row(now).kept);
    }
    return std::nullopt;
}

}  // namespace

SerialError zero_baud_error() {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       "скорость 0 бод недопустима (в POSIX она означает разрыв линии)"};
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, const LineSettings& wanted) {
    if (!in_force) {
        return std::unexpected(in_force.error());
    }
    const LineSettings& now = *in_force;
    for (const auto& refusal : {refused_baud(now.baud_rate, wanted.baud_rate),
                                refused(now.data_bits, wanted.data_bits),
                                refused(now.parity, wanted.parity),
                                refused(now.stop_bits, wanted.stop_bits),
                                refused(now.flow_control, wanted.flow_control)}) {
        if (refusal) {
            return std::unexpected(*refusal);
        }
    }
    return {};
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
