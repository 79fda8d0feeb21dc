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

// A failed read-back, or a value other than `wanted`, which `describe` names.
template <class T, class Describe>
SerialResult<void> expect_value(const SerialResult<LineSettings>& in_force, T LineSettings::*field,
                                const T& wanted, Describe describe) {
    if (!in_force) {
        return std::unexpected(in_force.error());
    }
    if ((*in_force).*field != wanted) {
        return std::unexpected(describe((*in_force).*field));
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
    return expect_value(in_force, &LineSettings::data_bits, wanted, [wanted](DataBits now) {
        return not_taken(digits(wanted) + " бит данных", digits(now));
    });
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, StopBits wanted) {
    return expect_value(in_force, &LineSettings::stop_bits, wanted, [wanted](StopBits now) {
        return not_taken(wanted == StopBits::Two ? "2 стоп-бита" : "1 стоп-бит",
                         now == StopBits::Two ? "2" : "1");
    });
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, Parity wanted) {
    return expect_value(in_force, &LineSettings::parity, wanted, [wanted](Parity now) {
        return not_taken("контроль чётности " + parity_word(wanted), parity_word(now));
    });
}

SerialResult<void> confirm(const SerialResult<LineSettings>& in_force, FlowControl wanted) {
    return expect_value(in_force, &LineSettings::flow_control, wanted, [wanted](FlowControl now) {
        return not_taken("управление потоком " + flow_word(wanted), flow_word(now));
    });
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
