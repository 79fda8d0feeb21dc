#include "serial/readback.hpp"

#include <string>

namespace portavik::detail {

namespace {

SerialError not_taken(const std::string& wanted, const std::string& in_force) {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       "устройство не приняло " + wanted + " (действует " + in_force + ")"};
}

std::string digits(DataBits value) {
    switch (value) {
        case DataBits::Five:
            return "5";
        case DataBits::Six:
            return "6";
        case DataBits::Seven:
            return "7";
        case DataBits::Eight:
            return "8";
    }
    return "8";
}

std::string parity_word(Parity value) {
    switch (value) {
        case Parity::None:
            return "«нет»";
        case Parity::Odd:
            return "«нечётный»";
        case Parity::Even:
            return "«чётный»";
    }
    return "«нет»";
}

std::string flow_word(FlowControl value) {
    switch (value) {
        case FlowControl::None:
            return "«нет»";
        case FlowControl::Software:
            return "«программное»";
        case FlowControl::Hardware:
            return "«аппаратное»";
    }
    return "«нет»";
}

// A failed query, or a value other than `wanted`, which `describe` names.
template <class T, class Describe>
SerialResult<void> expect_value(const SerialResult<T>& now, const T& wanted, Describe describe) {
    if (!now) {
        return std::unexpected(now.error());
    }
    if (*now != wanted) {
        return std::unexpected(describe(*now));
    }
    return {};
}

}  // namespace

SerialError zero_baud_error() {
    return SerialError{ErrorKind::InvalidInput, IoKind::Other,
                       "скорость 0 бод недопустима (в POSIX она означает разрыв линии)"};
}

SerialResult<void> confirm_baud(const SerialPort& port, std::uint32_t wanted) {
    const auto now = port.baud_rate();
    if (!now) {
        return std::unexpected(now.error());
    }
    // A driver may round to what its divisor can make; within 2 % the line
    // works (a UART receiver tolerates about that much), beyond it the device
    // is not running at the rate asked for.
    const std::uint64_t deviation = *now > wanted ? *now - wanted : wanted - *now;
    if (deviation * 50 > wanted) {
        return std::unexpected(
            not_taken("скорость " + std::to_string(wanted) + " бод", std::to_string(*now)));
    }
    return {};
}

SerialResult<void> confirm_data_bits(const SerialPort& port, DataBits wanted) {
    return expect_value(port.data_bits(), wanted, [wanted](DataBits now) {
        return not_taken(digits(wanted) + " бит данных", digits(now));
    });
}

SerialResult<void> confirm_stop_bits(const SerialPort& port, StopBits wanted) {
    return expect_value(port.stop_bits(), wanted, [wanted](StopBits now) {
        return not_taken(wanted == StopBits::Two ? "2 стоп-бита" : "1 стоп-бит",
                         now == StopBits::Two ? "2" : "1");
    });
}

SerialResult<void> confirm_parity(const SerialPort& port, Parity wanted) {
    return expect_value(port.parity(), wanted, [wanted](Parity now) {
        return not_taken("контроль чётности " + parity_word(wanted), parity_word(now));
    });
}

SerialResult<void> confirm_flow_control(const SerialPort& port, FlowControl wanted) {
    return expect_value(port.flow_control(), wanted, [wanted](FlowControl now) {
        return not_taken("управление потоком " + flow_word(wanted), flow_word(now));
    });
}

SerialResult<void> confirm_all(const SerialPort& port, const PortSettings& settings) {
    if (auto ok = confirm_baud(port, settings.baud_rate()); !ok) {
        return ok;
    }
    if (auto ok = confirm_data_bits(port, settings.data_bits()); !ok) {
        return ok;
    }
    if (auto ok = confirm_parity(port, settings.parity()); !ok) {
        return ok;
    }
    if (auto ok = confirm_stop_bits(port, settings.stop_bits()); !ok) {
        return ok;
    }
    return confirm_flow_control(port, settings.flow_control());
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
