// SPDX-License-Identifier: MIT

#pragma once

#include <cstdint>
#include <vector>

#include "serial/line_settings.hpp"

namespace portavik::testing {

// Every combination of the four enumerated settings, at `baud`.
inline std::vector<LineSettings> every_line(std::uint32_t baud) {
    std::vector<LineSettings> lines;
    for (const auto data : {DataBits::Five, DataBits::Six, DataBits::Seven, DataBits::Eight}) {
        for (const auto stop : {StopBits::One, StopBits::Two}) {
            for (const auto parity : {Parity::None, Parity::Odd, Parity::Even}) {
                for (const auto flow :
                     {FlowControl::None, FlowControl::Software, FlowControl::Hardware}) {
                    lines.push_back({baud, data, stop, parity, flow});
                }
            }
        }
    }
    return lines;
}

}  // namespace portavik::testing
