// SPDX-License-Identifier: MIT

#pragma once

#include <stdexcept>

namespace portavik {

// A failed write to standard output or standard error. Fatal on the main
// thread; a receiver thread ends with it and reports it at the join.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A stop where the program cannot go on; `what()` carries the quoted text
// ("Failed to enable raw mode", "Failed to clone port: ...", ...). Thrown, so
// that scopes on the way out (raw mode, the receiver thread) are undone
// before the process ends with a non-zero status.
struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace portavik
