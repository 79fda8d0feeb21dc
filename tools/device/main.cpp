// SPDX-License-Identifier: MIT

// portavik-device: a simulated device on a virtual serial port, for trying
// Portavik (and testing it) without hardware.

#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "behaviour.hpp"
#include "device_log.hpp"
#include "device_loop.hpp"
#include "options.hpp"
#include "serial_line.hpp"
#include "stop_signals.hpp"
#include "virtual_port.hpp"

namespace {

constexpr int kUsageError = 2;

// The port, and with it the link, is gone when this returns.
int serve(portavik::device::VirtualPort port, int signals, portavik::device::Behaviour& behaviour,
          const portavik::device::Options& options) {
    return portavik::device::run_device(port.master(), port.opens(), signals, behaviour,
                                        options.uart, options.xoff_when_full);
}

std::string banner(const portavik::device::Options& options,
                   const portavik::device::Behaviour& behaviour) {
    return "portavik-device " PORTAVIK_VERSION ", режим " +
           std::string(portavik::device::mode_name(options.mode)) + ": " + behaviour.summary() +
           (options.uart ? "; как UART: что порт не принял сразу, теряется" : "");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace portavik::device;

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto options = parse_options(args);
    if (!options) {
        print_error("portavik-device: " + options.error() + " (справка: portavik-device --help)");
        return kUsageError;
    }
    if (options->help) {
        print_line(usage_text(PORTAVIK_VERSION));
        return 0;
    }
    if (options->version) {
        print_line("portavik-device " PORTAVIK_VERSION);
        return 0;
    }

    // Signals wait from here on, so one that comes during start-up still
    // ends the program through the path that removes the link.
    const auto signals = open_stop_signals();
    if (!signals) {
        print_error("portavik-device: " + signals.error());
        return 1;
    }
    auto behaviour = make_behaviour(*options);
    if (!behaviour) {
        print_error("portavik-device: " + behaviour.error());
        return 1;
    }
    if (!options->port.empty()) {
        auto line = SerialLine::open(options->port);
        if (!line) {
            print_error("portavik-device: " + line.error());
            return 1;
        }
        print_line(banner(*options, **behaviour));
        print_line("🔌 Устройство на порту " + options->port + ". Остановка: Ctrl+C.");
        const int signo = run_device(line->fd(), -1, *signals, **behaviour, options->uart,
                                     options->xoff_when_full);
        print_line("portavik-device остановлен (" + signal_name(signo) + ").");
        return 0;
    }
    auto port = VirtualPort::create(options->link);
    if (!port) {
        print_error("portavik-device: " + port.error());
        return 1;
    }

    const std::string link = port->link();
    print_line(banner(*options, **behaviour));
    print_line("🔌 Выберите в Portavik порт " + link + " (" + port->slave() +
               "). Остановка: Ctrl+C.");

    const int signo = serve(std::move(*port), *signals, **behaviour, *options);
    print_line("portavik-device остановлен (" + signal_name(signo) + "), ссылка " + link +
               " удалена.");
    return 0;
}
