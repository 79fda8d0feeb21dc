// SPDX-License-Identifier: MIT
#include "app/arguments.hpp"

namespace portavik {

std::vector<std::string> command_line_arguments(int argc, char** argv) {
    if (argc < 1) {
        return {};
    }
    return {argv + 1, argv + argc};
}

}  // namespace portavik
