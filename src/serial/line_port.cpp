// SPDX-License-Identifier: MIT

#include "serial/line_port.hpp"

#include "serial/line_timing.hpp"
#include "serial/readback.hpp"

namespace portavik {

SerialResult<void> LinePort::set_line_settings(const LineSettings& line) {
    if (line.baud_rate == 0) {
        return std::unexpected(detail::zero_baud_error());
    }
    const auto written = write_line(line);
    if (!written && written.error().kind != ErrorKind::InvalidInput) {
        return written;
    }
    return detail::settle(written, detail::confirm(read_line(), line));
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
    if (settings.line().baud_rate == 0) {
        return std::unexpected(detail::zero_baud_error());
    }
    auto port = open_device(settings.path(), settings.timeout());
    if (!port) {
        return std::unexpected(port.error());
    }
    if (auto started = (*port)->set_line_settings(settings.line()); !started) {
        return std::unexpected(started.error());
    }
    return std::unique_ptr<SerialPort>(std::move(*port));
}

}  // namespace portavik
