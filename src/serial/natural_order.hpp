// SPDX-License-Identifier: MIT

#pragma once

#include <string_view>

namespace portavik {

// "ttyS2" before "ttyS10": runs of digits compare as numbers.
bool natural_less(std::string_view a, std::string_view b);

}  // namespace portavik
