// SPDX-License-Identifier: MIT

#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "app/arguments.hpp"
#include "app/mode_menu.hpp"
#include "interrupt/ctrl_c.hpp"

namespace {

// Another way out (the Ctrl+C handler) has claimed the end and is ending the
// process: ending it here too would race it.
[[noreturn]] void leave_the_end_to_its_claimant() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace portavik;
    if (const auto answer =
            answer_command_line(command_line_arguments(argc, argv), PORTAVIK_VERSION)) {
        return print_answer(*answer, standard_output(), standard_error(), restore_console_now);
    }
    // Never destroyed: the Ctrl+C thread may print through it up to the very end.
    static Console& console = *new Console(standard_input(), standard_output(), standard_error());
    console.set_clear_action(standard_clear_action());
    Platform platform{
        console,
        standard_terminal(),
        &list_ports,
        &open_port,
        &set_ctrl_c_handler,
        [](int status) {
            restore_terminal_now();
            restore_console_now();
            release_ports_now();
            std::_Exit(status);
        },
    };
    try {
        portavik::main(platform);
    } catch (const std::exception& failure) {
        restore_terminal_now();
        if (!console.claim_end(std::string("portavik: ") + failure.what() + "\n", Channel::Error)) {
            leave_the_end_to_its_claimant();
        }
        restore_console_now();
        std::_Exit(EXIT_FAILURE);
    }
    if (!console.claim_end()) {
        leave_the_end_to_its_claimant();
    }
    restore_console_now();
    return EXIT_SUCCESS;
}
