#include <cstdlib>
#include <exception>
#include <string>

#include "app/arguments.hpp"
#include "app/mode_menu.hpp"
#include "interrupt/ctrl_c.hpp"

int main(int argc, char** argv) {
    using namespace portavik;
    if (const auto answer =
            answer_command_line(command_line_arguments(argc, argv), PORTAVIK_VERSION)) {
        return print_answer(*answer);
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
            release_ports_now();
            std::_Exit(status);
        },
    };
    try {
        portavik::main(platform);
    } catch (const std::exception& failure) {
        restore_terminal_now();
        standard_error().write(std::string("portavik: ") + failure.what() + "\n");
        std::_Exit(EXIT_FAILURE);
    }
    return EXIT_SUCCESS;
}
