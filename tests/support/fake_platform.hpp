// SPDX-License-Identifier: MIT

#pragma once

// A platform of fakes: scripted console, a port list, an opener that hands
// out fake ports (or scripted failures), and a recorded Ctrl+C handler.

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "link/platform.hpp"
#include "support/fake_port.hpp"
#include "support/fake_terminal.hpp"
#include "support/test_console.hpp"

namespace portavik::testing {

struct FakePlatform {
    explicit FakePlatform(std::string script, std::vector<std::string> port_names = {"COM3"})
        : io(std::move(script)) {
        for (auto& port_name : port_names) {
            ports.push_back({port_name});
        }
    }

    Platform platform() {
        return Platform{
            io.console,
            terminal,
            [this]() -> SerialResult<PortList> { return ports; },
            [this](const PortSettings& settings) -> SerialResult<std::unique_ptr<SerialPort>> {
                opened_with.push_back(settings);
                if (!open_failures.empty()) {
                    SerialError error = open_failures.front();
                    open_failures.pop_front();
                    return std::unexpected(error);
                }
                device->name = settings.path();
                device->line = settings.line();
                device->timeout = settings.timeout();
                return std::make_unique<FakePort>(device);
            },
            [this](std::function<void()> handler) {
                if (!accept_ctrl_c) {
                    return false;
                }
                ctrl_c_handler = std::move(handler);
                return true;
            },
            [this](int status) { exit_statuses.push_back(status); },
        };
    }

    std::string output() const { return io.output(); }

    TestConsole io;
    FakeTerminal terminal;
    PortList ports;
    std::shared_ptr<FakeDevice> device = std::make_shared<FakeDevice>();
    std::deque<SerialError> open_failures;
    std::vector<PortSettings> opened_with;
    bool accept_ctrl_c = true;
    std::function<void()> ctrl_c_handler;
    std::vector<int> exit_statuses;
};

inline SerialError no_such_file() {
    return {ErrorKind::Io, IoKind::NotFound, "No such file or directory"};
}

}  // namespace portavik::testing
