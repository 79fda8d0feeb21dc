// SPDX-License-Identifier: MIT
#pragma once

// The command line. Portavik is driven by its dialogue alone: it answers
// --help and --version, refuses any other argument, and does both before the
// console or a port is touched.

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace portavik {

class ByteSink;

// Texts for standard output and standard error, and the exit status.
struct CommandLineAnswer {
    int status = 0;
    std::string out;
    std::string err;
};

// `args` without the program's name. Nothing when the dialogue should run
// (no arguments); --help wins over --version; the first unknown argument
// is named in the error.
std::optional<CommandLineAnswer> answer_command_line(std::span<const std::string> args,
                                                     std::string_view version);

// Prints the answer on `out` and `err`, then calls `put_back`: a console
// stream changes the console's output mode when it is made (console.hpp),
// and a program that answers and ends must leave the console as it found
// it. The answer's status, or 1 when it could not be written.
int print_answer(const CommandLineAnswer& answer, ByteSink& out, ByteSink& err,
                 const std::function<void()>& put_back);

// This process's arguments after the program's name, as UTF-8. On Windows
// they come from the wide command line, so no character is lost to the
// ANSI code page.
std::vector<std::string> command_line_arguments(int argc, char** argv);

}  // namespace portavik
