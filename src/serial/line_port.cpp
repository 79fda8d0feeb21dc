// SPDX-License-Identifier: MIT

#include "serial/line_port.hpp"

#include "serial/line_timing.hpp"
#include "serial/readback.hpp"

namespace portavik {

template <class T>
SerialResult<T> LinePort::query(T LineSettings::*field) const {
    const auto line = read_line();
    if (!line) {
        return std::unexpected(line.error());
    }
    return (*line).*field;
}

template <class T>
SerialResult<void> LinePort::change(T LineSettings::*field, T value) {
    auto line = read_line();
    if (!line) {
        return std::unexpected(line.error());
    }
    (*line).*field = value;
    const auto written = write_line(*line);
    return detail::settle(written, detail::confirm(read_line(), value));
}

SerialResult<std::uint32_t> LinePort::baud_rate() const {
    return query(&LineSettings::baud_rate);
}
SerialResult<DataBits> LinePort::data_bits() const {
    return query(&LineSettings::data_bits);
}
SerialResult<StopBits> LinePort::stop_bits() const {
    return query(&LineSettings::stop_bits);
}
SerialResult<Parity> LinePort::parity() const {
    return query(&LineSettings::parity);
}
SerialResult<FlowControl> LinePort::flow_control() const {
    return query(&LineSettings::flow_control);
}

SerialResult<void> LinePort::set_baud_rate(std::uint32_t value) {
    if (value == 0) {
        return std::unexpected(detail::zero_baud_error());
    }
    return change(&LineSettings::baud_rate, value);
}
SerialResult<void> LinePort::set_data_bits(DataBits value) {
    return change(&LineSettings::data_bits, value);
}
SerialResult<void> LinePort::set_stop_bits(StopBits value) {
    return change(&LineSettings::stop_bits, value);
}
SerialResult<void> LinePort::set_parity(Parity value) {
    return change(&LineSettings::parity, value);
}
SerialResult<void> LinePort::set_flow_control(FlowControl value) {
    return change(&LineSettings::flow_control, value);
}

SerialResult<void> LinePort::start(const LineSettings& wanted) {
    const auto written = write_line(wanted);
    if (!written && written.error().kind != ErrorKind::InvalidInput) {
        return written;
    }
    return detail::settle(written, detail::confirm_all(read_line(), wanted));
}

IoResult<std::size_t> LinePort::read(std::span<std::uint8_t> buffer) {
    if (buffer.empty()) {
        return 0;
    }
    return read_bytes(buffer, Clock::now() + timeout());
}

IoResult<void> LinePort::write_all(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return {};
    }
    // The line as the device reports it now; a failed read leaves the bytes
    // queued in the driver out of the allowance (baud 0).
    std::uint32_t baud = 0;
    unsigned bits = 10;
    if (const auto line = read_line()) {
        baud = line->baud_rate;
        bits = detail::frame_bits(line->data_bits, line->parity, line->stop_bits);
    }
    detail::WriteStall stall(baud, bits, Clock::now());
    return write_bytes(bytes, stall);
}

SerialResult<std::unique_ptr<SerialPort>> open_port(const PortSettings& settings) {
    if (settings.baud_rate() == 0) {
        return std::unexpected(detail::zero_baud_error());
    }
    auto port = open_device(settings.path(), settings.timeout());
    if (!port) {
        return std::unexpected(port.error());
    }
    const LineSettings wanted{settings.baud_rate(), settings.data_bits(), settings.stop_bits(),
                              settings.parity(), settings.flow_control()};
    if (auto started = (*port)->start(wanted); !started) {
        return std::unexpected(started.error());
    }
    return std::unique_ptr<SerialPort>(std::move(*port));
}

}  // namespace portavik
