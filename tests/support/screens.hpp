// SPDX-License-Identifier: MIT

#pragma once

// The program's screens from tests/screens.txt (built into the test program),
// as the end-to-end tests read them too.

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace portavik::testing {

using ScreenFields = std::initializer_list<std::pair<std::string_view, std::string_view>>;

// The screen `name` with its {field}s filled in. A name that is not in the
// file, a field left unfilled or a field the screen does not have throws
// std::logic_error, which fails the test that asked.
std::string screen(std::string_view name, ScreenFields fields = {});

// The "line_settings" fragment: "38400 бод, 8 бит данных, 1 стоп-бит, нет
// четность, нет поток" for line_settings("38400").
std::string line_settings(std::string_view baud, std::string_view bits = "8",
                          std::string_view stop = "1", std::string_view parity = "нет",
                          std::string_view flow = "нет");

}  // namespace portavik::testing
