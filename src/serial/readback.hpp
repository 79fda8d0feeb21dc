#pragma once

// Checks, shared by every backend, that a device runs with what was asked of
// it: a driver may keep another value without reporting an error, so each
// opening and each setter reads the line back.

#include <cstdint>

#include "serial/serial_port.hpp"

namespace portavik::detail {

// Baud rate 0 is not a rate (POSIX uses it to hang up the line).
SerialError zero_baud_error();

SerialResult<void> confirm_baud(const SerialPort& port, std::uint32_t wanted);
SerialResult<void> confirm_data_bits(const SerialPort& port, DataBits wanted);
SerialResult<void> confirm_stop_bits(const SerialPort& port, StopBits wanted);
SerialResult<void> confirm_parity(const SerialPort& port, Parity wanted);
SerialResult<void> confirm_flow_control(const SerialPort& port, FlowControl wanted);
// All five settings of `settings`, in the order the settings dialog lists them.
SerialResult<void> confirm_all(const SerialPort& port, const PortSettings& settings);

// The outcome of a change: a refusal as the read-back names it, otherwise the
// write's own failure. A write that failed with InvalidInput (the driver took
// none of the change) is reported through the read-back, which says which
// value the device kept.
SerialResult<void> settle(const SerialResult<void>& written, const SerialResult<void>& confirmed);

}  // namespace portavik::detail
