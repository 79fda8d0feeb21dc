// SPDX-License-Identifier: MIT

#pragma once

// Everything the program logic takes from the machine, passed in so tests
// can run the logic against fakes.

#include <functional>
#include <memory>

#include "console/console.hpp"
#include "serial/serial_port.hpp"
#include "terminal/terminal.hpp"

namespace portavik {

using PortLister = std::function<SerialResult<PortList>()>;
using PortOpener = std::function<SerialResult<std::unique_ptr<SerialPort>>(const PortSettings&)>;

struct Platform {
    Console& console;
    Terminal& terminal;
    PortLister list_ports;
    PortOpener open_port;
    std::function<bool(std::function<void()>)> set_ctrl_c_handler;
    // Ends the process at once (no destructors), terminal restored first.
    std::function<void(int status)> exit_process;
};

}  // namespace portavik
